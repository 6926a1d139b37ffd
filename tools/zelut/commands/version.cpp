#include "../Command.h"

#include <QoKivZelUt/ProductVersion.h>

#include <typeinfo>

namespace zelut {
namespace {

KivSetup::ProductVersion parse(const std::wstring& text)
{
    try {
        return KivSetup::ProductVersion(text);
    } catch (const std::bad_cast&) {
        throw UsageError{L"not a product version (no digits): " + text};
    }
}

int run(const Args& args)
{
    if (args.size() != 3 || args[0] != L"compare")
        throw UsageError{L"bad arguments"};
    KivSetup::ProductVersion a = parse(args[1]), b = parse(args[2]);
    const wchar_t* relation = a < b ? L" < " : b < a ? L" > " : L" = ";
    out(a.toString() + relation + b.toString() + L"\n");
    return kTrue;
}

const Registration registration{{L"version", L"compare product versions",
                                 L"usage: zelut version compare A B\n"
                                 L"  prints A and B as product versions with <, = or > between them\n",
                                 run}};

} // namespace
} // namespace zelut
