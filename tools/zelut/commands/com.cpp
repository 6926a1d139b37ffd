#include "../Command.h"

#include <QoKivZelUt/ZelDLL.h>

#include <cwchar>

namespace zelut {
namespace {

const wchar_t* syskindText(tagSYSKIND kind)
{
    switch (kind) {
    case SYS_WIN16: return L"win16";
    case SYS_WIN32: return L"win32";
    case SYS_MAC: return L"mac";
    case SYS_WIN64: return L"win64";
    default: return L"unknown";
    }
}

int typelib(const Args& args)
{
    if (args.size() != 2)
        throw UsageError{L"expected an action and one file"};
    WinPath path(args[1]);
    ZelTypeLib tlb(path);
    if (args[0] == L"register")
        return tlb.RegisterTypeLib() ? kTrue : kFalse;
    if (args[0] == L"unregister")
        return tlb.UnRegisterTypeLib() ? kTrue : kFalse;
    if (args[0] != L"info")
        throw UsageError{L"unknown action: " + args[0]};
    wchar_t lcid[16];
    swprintf(lcid, 16, L"0x%lx", tlb.GetLcid());
    out(L"library: " + tlb.GetGuid().toString() + L"\nversion: " + std::to_wstring(tlb.GetMajorVersion()) + L"." +
        std::to_wstring(tlb.GetMinorVersion()) + L"\nlcid: " + lcid + L"\nsyskind: " + syskindText(tlb.GetSyskind()) +
        L"\n");
    std::vector<CGuid> classes = tlb.GetComClassGuids();
    out(L"coclasses: " + std::to_wstring(classes.size()) + L"\n");
    for (const CGuid& guid : classes)
        out(L"  " + guid.toString() + L"\n");
    return kTrue;
}

int dll(const Args& args)
{
    if (args.size() < 2 || args.size() > 3 || args[0] != L"load")
        throw UsageError{L"expected: load NAME [FUNCTION]"};
    ZelDLL library(args[1].c_str());
    out(L"loaded: " + library.path().str() + L"\n");
    if (args.size() == 3) {
        void (*function)() = nullptr;
        library.getFunction(args[2], function);
        out(L"found: " + args[2] + L"\n");
    }
    return kTrue;
}

const Registration typelibCommand{
    {L"typelib", L"read, register or unregister a type library",
     L"usage: zelut typelib info FILE         library GUID, version, locale, system kind, coclasses\n"
     L"       zelut typelib register FILE     exit 0 when registered, 1 when the system refused\n"
     L"       zelut typelib unregister FILE\n",
     typelib}};
const Registration dllCommand{
    {L"dll", L"load a library as the installers do (the copy beside the program first)",
     L"usage: zelut dll load NAME [FUNCTION]\n"
     L"       prints the file loaded and whether the library exports FUNCTION\n",
     dll}};

} // namespace
} // namespace zelut
