#include "../Command.h"

#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/WinAPI.h>

#include <cstdio>

namespace zelut {
namespace {

std::wstring describe(const CZelSid& sid)
{
    std::wstring name = sid.GetName();
    return sid.toString() + (name.empty() ? L"" : L" (" + sid.GetFQName() + L")");
}

std::wstring aceLine(const CZelAce& ace)
{
    static const wchar_t* const kinds[] = {L"allow", L"deny", L"audit", L"alarm"};
    std::wstring kind = ace.GetAceType() < 4 ? kinds[ace.GetAceType()] : L"type " + std::to_wstring(ace.GetAceType());
    std::wstring flags;
    BYTE f = ace.GetAceFlags();
    if (f & OBJECT_INHERIT_ACE)
        flags += L" object-inherit";
    if (f & CONTAINER_INHERIT_ACE)
        flags += L" container-inherit";
    if (f & NO_PROPAGATE_INHERIT_ACE)
        flags += L" no-propagate";
    if (f & INHERIT_ONLY_ACE)
        flags += L" inherit-only";
    if (f & INHERITED_ACE)
        flags += L" inherited";
    wchar_t mask[16];
    swprintf(mask, 16, L"0x%08lx", static_cast<unsigned long>(ace.GetAccessMask()));
    return L"  " + kind + L" " + mask + L" " + describe(ace.GetSid()) + flags + L"\n";
}

int run(const Args& args)
{
    CZelSecurityDescriptor sd;
    if (args.size() == 2 && args[0] == L"--reg")
        sd = CZelSecurityDescriptor::fromRegistryKey(WinAPI::regOpenPath(args[1], READ_CONTROL));
    else if (args.size() == 2 && args[0] == L"--sddl")
        sd = CZelSecurityDescriptor::fromSddl(args[1]);
    else if (args.size() == 1)
        sd = CZelSecurityDescriptor::fromFile(WinPath(args[0]));
    else
        throw UsageError{L"expected PATH, --reg KEY or --sddl TEXT"};
    std::wstring text = sd.toSddl() + L"\n";
    if (sd.getOwner().IsValid())
        text += L"owner: " + describe(sd.getOwner()) + L"\n";
    if (sd.getPrimaryGroup().IsValid())
        text += L"group: " + describe(sd.getPrimaryGroup()) + L"\n";
    CZelAcl dacl = sd.getDacl();
    text += L"dacl: " + std::to_wstring(dacl.GetAceCount()) + L" entries\n";
    for (int i = 0; i < dacl.GetAceCount(); ++i)
        text += aceLine(dacl.GetAceAt(i));
    out(text);
    return kTrue;
}

const Registration registration{{L"sd", L"print a security descriptor as SDDL and readable entries",
                                 L"usage: zelut sd PATH | --reg HIVE\\KEY | --sddl TEXT\n", run}};

} // namespace
} // namespace zelut
