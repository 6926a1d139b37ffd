#include "TokenPrivilege.h"

#include "foundation/Log.h"

#include <QoKivZelUt/WinAPI.h>

namespace ZelUt {
namespace detail {

std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what)
{
    DWORD size = 0;
    ::GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<BYTE> data(size);
    if (size == 0 || !::GetTokenInformation(token, what, data.data(), size, &size))
        data.clear();
    return data;
}

// AdjustTokenPrivileges also succeeds for a privilege the token does not hold,
// telling so only through ERROR_NOT_ALL_ASSIGNED: that is no success.
bool setTokenPrivilege(HANDLE token, const std::wstring& name, bool enable)
{
    ZEL_LOG_TRACE << L"Security : " << (enable ? L"Enabling" : L"Disabling") << L" privilege '" << name << L"'...";
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    bool done = ::LookupPrivilegeValueW(nullptr, name.c_str(), &privileges.Privileges[0].Luid) &&
                ::AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr) &&
                ::GetLastError() != ERROR_NOT_ALL_ASSIGNED;
    if (!done)
        ZEL_LOG_ERROR << L"Security : failed to set privilege. " << ErrorW32(::GetLastError());
    return done;
}

bool enableOwnPrivilege(const wchar_t* privilegeName)
{
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) {
        ZEL_LOG_WARNING << L"OpenProcessToken failed: " << ErrorW32(::GetLastError());
        return false;
    }
    WinAPI::FileHandle token(raw);
    return setTokenPrivilege(token, privilegeName, true);
}

} // namespace detail
} // namespace ZelUt
