#include "../Command.h"

#include <QoKivZelUt/LockedModules.h>

#include <objbase.h>

namespace zelut {
namespace {

int run(const Args& args)
{
    if (args.size() != 1)
        throw UsageError{L"expected one FILE"};
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);  // the 64-bit exchange speaks XML through COM
    ZelLockedModuleInfo query(WinPath(args[0]), true);
    CoUninitialize();
    if (!query.isLocked()) {
        out(L"not locked: " + args[0] + L"\n");
        return kFalse;
    }
    const ZelLockedModuleInfo::ModuleInfo& info = query.getInfo();
    out(L"locked by " + info.m_app + L"\n  window: " + (info.m_title.empty() ? L"(none visible)" : L"\"" + info.m_title + L"\"") +
        L"\n  visible: " + (info.m_visible ? L"yes" : L"no") + L"\n");
    return kTrue;
}

const Registration registration{{L"locks", L"name the program that maps a file",
                                 L"usage: zelut locks FILE\n"
                                 L"  FILE with a directory matches that file; a bare name matches any file of that name.\n"
                                 L"  exit 0 when a program maps it, 1 when none does\n",
                                 run}};

} // namespace
} // namespace zelut
