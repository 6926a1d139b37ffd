#include "TokenPrivilege.h"

#include "foundation/Log.h"

#include <QoKivZelUt/WinAPI.h>

namespace ZelUt {
namespace detail {

bool enableOwnPrivilege(const wchar_t* privilegeName)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw)) {
        ZEL_LOG_WARNING << L"OpenProcessToken failed: " << ErrorW32(GetLastError());
        return false;
    }
    WinAPI::FileHandle token(raw);
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, privilegeName, &privileges.Privileges[0].Luid)) {
        ZEL_LOG_WARNING << L"LookupPrivilegeValue failed: " << ErrorW32(GetLastError());
        return false;
    }
    if (!AdjustTokenPrivileges(token, FALSE, &privileges, sizeof(privileges), nullptr, nullptr) ||
        GetLastError() == ERROR_NOT_ALL_ASSIGNED) {
        ZEL_LOG_WARNING << L"AdjustTokenPrivileges failed: " << ErrorW32(GetLastError());
        return false;
    }
    ZEL_LOG_TRACE << L"Enabled privilege " << privilegeName;
    return true;
}

} // namespace detail
} // namespace ZelUt
