#include "../Command.h"

#include <QoKivZelUt/SystemQueries.h>
#include <QoKivZelUt/WinAPI.h>

namespace zelut {
namespace {

std::wstring elevation()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return L"unknown";
    WinAPI::FileHandle token(raw);
    TOKEN_ELEVATION elevated = {};
    DWORD size = 0;
    if (!GetTokenInformation(token, TokenElevation, &elevated, sizeof(elevated), &size))
        return L"unknown";
    return elevated.TokenIsElevated ? L"elevated" : L"not elevated";
}

int run(const Args& args)
{
    if (!args.empty())
        throw UsageError{L"no arguments expected"};
    CZelSid user = CZelSid::FromProcessUser();
    std::wstring text = L"user: " + user.GetFQName() + L" " + user.toString() + L"\n";
    try {
        text += L"session: " + std::to_wstring(WtsHelper::getSessionId(GetCurrentProcessId())) + L"\n";
    } catch (const CZelException& e) {
        text += L"session: unknown (" + e.getMessage() + L")\n";
    }
    text += L"token: " + elevation() + L"\n";
    text += L"administrators member: ";
    BOOL member = FALSE;
    text += CheckTokenMembership(nullptr, CZelSid(CZelSid::Administrators), &member) ? (member ? L"yes\n" : L"no\n")
                                                                                        : L"unknown\n";
    WinPath shell;
    try {
        shell = CZelTools::getInteractiveShellPath();
    } catch (const CZelException&) {
    }
    text += L"interactive shell: " + (shell.empty() ? std::wstring(L"(none configured)") : shell.str()) + L"\n";
    text += L"interactive user logged on: " + std::wstring(CZelTools::IsAnyLogonSessionActive() ? L"yes" : L"no") + L"\n";
    text += L"terminal server: " + std::wstring(WtsHelper::isTerminalServer() ? L"yes" : L"no") + L"\n";
    out(text);
    return kTrue;
}

const Registration registration{{L"whoami", L"user SID, session, elevation and interactive-user facts",
                                 L"usage: zelut whoami\n", run}};

} // namespace
} // namespace zelut
