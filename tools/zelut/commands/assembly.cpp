#include "../Command.h"

#include <QoKivZelUt/DotNetResolver.h>

namespace zelut {
namespace {

int run(const Args& args)
{
    if (args.size() != 2 || (args[0] != L"name" && args[0] != L"refs"))
        throw UsageError{L"expected name or refs and one file"};
    ZelUt::DotNetResolver resolver{WinPath(args[1])};
    if (args[0] == L"name") {
        std::wstring name = resolver.getAssemblyName();
        if (name.empty()) {
            err(L"zelut assembly: " + resolver.getDotNetUtils().str() + L" gave no name (see the log)\n");
            return kError;
        }
        out(name + L"\n");
        return kTrue;
    }
    bool allResolved = resolver.resolveReferences();
    if (resolver.getRequiredAssemblies().empty() && !allResolved) {
        err(L"zelut assembly: " + resolver.getDotNetUtils().str() + L" gave no references (see the log)\n");
        return kError;
    }
    for (const auto& reference : resolver.getRequiredAssemblies())
        out(reference.first + L"\n    " + (reference.second.empty() ? L"(missing)" : reference.second.str()) + L"\n");
    return allResolved ? kTrue : kFalse;
}

const Registration registration{
    {L"assembly", L"a .NET assembly's full name and where its references resolve",
     L"usage: zelut assembly name FILE   the full assembly name\n"
     L"       zelut assembly refs FILE   each reference and the file it resolves to;\n"
     L"                                  exit 1 when one is missing\n"
     L"Both ask DotNetUtils20.exe (DotNetUtils40.exe with .NET 4) beside zelut.exe.\n",
     run}};

} // namespace
} // namespace zelut
