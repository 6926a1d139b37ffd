// token, privilege, admin and service: access tokens, privileges, the local
// Administrators group and the service control manager.
#include "../Command.h"

#include <QoKivZelUt/Service.h>
#include <QoKivZelUt/Token.h>
#include <QoKivZelUt/ZelException.h>

#include <sstream>

namespace zelut {
namespace {

std::wstring describe(const CZelSid& sid)
{
    return sid.GetFQName() + L" (" + sid.toString() + L")";
}

int token(const Args& args)
{
    if (args.size() > 1 || (args.size() == 1 && args[0] != L"--thread"))
        throw UsageError{L"expected nothing or --thread"};
    CZelToken t;
    bool opened = args.empty() ? t.OpenProcessToken() : t.OpenThreadToken();
    if (!opened)
        throw CZelException(GetLastError(), L"The token could not be opened.");
    out(L"type: " + std::wstring(t.IsImpersonation() ? L"impersonation" : L"primary") + L"\n");
    out(L"owner: " + describe(t.GetOwner()) + L"\n");
    for (int i = 0; i < t.GetGroupCount(); ++i)
        out(L"group: " + describe(t.GetGroupAt(i)) + L"\n");
    static const wchar_t* const privileges[] = {L"SeShutdownPrivilege", L"SeDebugPrivilege", L"SeBackupPrivilege",
                                                L"SeRestorePrivilege", L"SeTcbPrivilege", L"SeSecurityPrivilege"};
    for (const wchar_t* p : privileges)
        out(L"privilege: " + std::wstring(p) + (t.IsPrivilegeEnabled(p) ? L" enabled\n" : L" disabled\n"));
    t.DumpToLog(L"zelut");
    return kTrue;
}

int privilege(const Args& args)
{
    if (args.size() != 1)
        throw UsageError{L"expected NAME"};
    CZelToken t;
    t.OpenProcessToken();
    out(args[0] + L" before: " + (t.IsPrivilegeEnabled(args[0]) ? L"enabled" : L"disabled") + L"\n");
    {
        CZelPrivilege held(args[0], true);
        out(std::wstring(L"enabling: ") + (held.Granted() ? L"granted" : L"refused") + L"\n");
        out(args[0] + L" while held: " + (t.IsPrivilegeEnabled(args[0]) ? L"enabled" : L"disabled") + L"\n");
    }
    out(args[0] + L" after: " + (t.IsPrivilegeEnabled(args[0]) ? L"enabled" : L"disabled") + L"\n");
    return kTrue;
}

int admin(const Args& args)
{
    if (args.size() != 2 && !(args.size() == 4 && args[2] == L"--computer"))
        throw UsageError{L"expected check|add|remove USER [--computer NAME]"};
    std::wstring computer = args.size() == 4 ? args[3] : L"";
    long result;
    if (args[0] == L"check")
        result = CZelNetGroupMembership::IsUserLocalAdmin(computer, args[1]);
    else if (args[0] == L"add")
        result = CZelNetGroupMembership::MakeUserLocalAdmin(computer, args[1]);
    else if (args[0] == L"remove")
        result = CZelNetGroupMembership::RemoveUserLocalAdmin(computer, args[1]);
    else
        throw UsageError{L"unknown action " + args[0]};
    wchar_t hex[16];
    swprintf(hex, 16, L"0x%08lx", static_cast<unsigned long>(result));
    out(args[0] + L" " + args[1] + L": " + hex + (args[0] == L"check" ? (result == 0 ? L" (member)" : result == 1 ? L" (not a member)" : L"") : L"") + L"\n");
    return result == 0 ? kTrue : result == 1 ? kFalse : kError;
}

// NAME [k=v ...] --computer C; values as sc.exe takes them.
struct ServiceArgs {
    std::wstring name, computer, binPath, displayName, depend, account, password, description, arguments;
    unsigned long timeout = 30000, startType = SERVICE_DEMAND_START;
};

ServiceArgs parseService(const Args& args)
{
    if (args.size() < 2)
        throw UsageError{L"expected an action and NAME"};
    ServiceArgs s;
    s.name = args[1];
    for (size_t i = 2; i < args.size(); ++i) {
        const std::wstring& a = args[i];
        auto value = [&](const wchar_t* key, std::wstring& into) {
            size_t length = std::wcslen(key);
            if (a.compare(0, length, key) != 0)
                return false;
            into = a.substr(length);
            return true;
        };
        std::wstring start, timeout;
        if (a == L"--computer" && i + 1 < args.size())
            s.computer = args[++i];
        else if (value(L"binPath=", s.binPath) || value(L"DisplayName=", s.displayName) ||
                 value(L"depend=", s.depend) || value(L"obj=", s.account) || value(L"args=", s.arguments))
            continue;
        else if (a.compare(0, 9, L"password=") == 0)
            throw UsageError{L"the password is read from standard input, never from the command line"};
        else if (value(L"timeout=", timeout))
            s.timeout = parseNumber(timeout);
        else if (value(L"start=", start))
            s.startType = start == L"auto" ? SERVICE_AUTO_START : start == L"disabled" ? SERVICE_DISABLED
                                                                                        : SERVICE_DEMAND_START;
        else if (s.description.empty() && args[0] == L"describe")
            s.description = a;
        else
            throw UsageError{L"unexpected argument " + a};
    }
    return s;
}

int service(const Args& args)
{
    ServiceArgs s = parseService(args);
    const std::wstring& action = args[0];
    ZelUt::CServiceControlManager manager(s.computer, SC_MANAGER_ALL_ACCESS);
    if (action == L"create" || action == L"config") {
        if (s.binPath.empty())
            throw UsageError{L"expected binPath=PROGRAM"};
        if (!s.account.empty())
            s.password = readSecretLine();
        manager.createService(s.name, s.displayName, SERVICE_WIN32_OWN_PROCESS, s.startType, SERVICE_ERROR_NORMAL,
                              s.binPath, s.depend, s.account, s.password);
        out(L"service " + s.name + L" ready\n");
        return kTrue;
    }
    if (action == L"delete") {
        bool gone = manager.deleteServiceAndWait(s.name);
        out(gone ? L"deleted\n" : L"still there\n");
        return gone ? kTrue : kError;
    }
    ZelUt::CNtService service = manager.openService(s.name, SERVICE_ALL_ACCESS);
    if (!service)
        throw CZelException(manager.getLastError(), L"Service " + s.name + L" cannot be opened.");
    bool ok = true;
    if (action == L"start")
        ok = service.start(s.arguments) && service.waitForStart(s.timeout);
    else if (action == L"stop")
        ok = service.stop() && service.waitForStop(s.timeout);
    else if (action == L"wait")
        ok = service.waitForStart(s.timeout);
    else if (action == L"terminate")
        ok = service.terminate();
    else if (action == L"describe")
        service.setDescription(s.description);
    else if (action != L"status")
        throw UsageError{L"unknown action " + action};
    std::wostringstream status;
    status << service.getStatus();
    out(status.str() + L"\n");
    return ok ? kTrue : kError;
}

const Registration tokenRegistration{{L"token", L"show this process's or thread's access token",
                                      L"usage: zelut token [--thread]\n"
                                      L"  type, owner, groups and some privileges (the full dump goes to the log)\n",
                                      token}};
const Registration privilegeRegistration{{L"privilege", L"enable a privilege for a moment and report it",
                                          L"usage: zelut privilege NAME      e.g. SeBackupPrivilege\n", privilege}};
const Registration adminRegistration{
    {L"admin", L"check or change membership of the local Administrators group",
     L"usage: zelut admin check|add|remove USER [--computer NAME]\n"
     L"  check exits 0 for a member, 1 for none, 2 when the groups cannot be read\n",
     admin}};
const Registration serviceRegistration{
    {L"service", L"create, control and delete services",
     L"usage: zelut service create|config NAME binPath=PROGRAM [DisplayName=TEXT] [start=demand|auto|disabled]\n"
     L"                      [depend=A/B] [obj=ACCOUNT] [--computer NAME]\n"
     L"       zelut service start NAME [args=\"ARGUMENTS\"] [timeout=MS] [--computer NAME]\n"
     L"       zelut service stop|wait NAME [timeout=MS]      zelut service status|terminate NAME\n"
     L"       zelut service describe NAME TEXT               zelut service delete NAME\n"
     L"  with obj=ACCOUNT the account's password is read as one line from standard input\n"
     L"  every action but delete prints the service's status afterwards\n",
     service}};

} // namespace
} // namespace zelut
