#include "TokenPrivilege.h"

#include <QoKivZelUt/Token.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"

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

namespace {

bool sameLuid(const LUID& a, const LUID& b)
{
    return a.LowPart == b.LowPart && a.HighPart == b.HighPart;
}

// AdjustTokenPrivileges also succeeds for a privilege the token does not hold,
// telling so only through ERROR_NOT_ALL_ASSIGNED: that is no success.
bool adjusted(BOOL result)
{
    return result && ::GetLastError() != ERROR_NOT_ALL_ASSIGNED;
}

} // namespace

bool setTokenPrivilege(HANDLE token, const std::wstring& name, bool enable, bool* wasEnabled)
{
    ZEL_LOG_TRACE << L"Security : " << (enable ? L"Enabling" : L"Disabling") << L" privilege '" << name << L"'...";
    TOKEN_PRIVILEGES change = {};
    change.PrivilegeCount = 1;
    change.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    bool done = ::LookupPrivilegeValueW(nullptr, name.c_str(), &change.Privileges[0].Luid);
    if (done) {
        // The previous state lists the privilege only when the call changed it.
        TOKEN_PRIVILEGES previous = {};
        DWORD size = 0;
        bool known = adjusted(::AdjustTokenPrivileges(token, FALSE, &change, sizeof previous, &previous, &size));
        done = known || (::GetLastError() == ERROR_ACCESS_DENIED &&  // no TOKEN_QUERY: the state cannot be read
                         adjusted(::AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr)));
        if (done && wasEnabled) {
            bool changed = known && previous.PrivilegeCount == 1 &&
                           sameLuid(previous.Privileges[0].Luid, change.Privileges[0].Luid);
            *wasEnabled = known && (changed ? (previous.Privileges[0].Attributes & SE_PRIVILEGE_ENABLED) != 0 : enable);
        }
    }
    if (!done)
        ZEL_LOG_ERROR << L"Security : failed to set privilege. " << ErrorW32(::GetLastError());
    return done;
}

// A thread whose token cannot be read is left alone: what it had could not be put back.
void ThreadImpersonation::savePrevious()
{
    HANDLE previous = nullptr;
    if (::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, TRUE, &previous) ||
        ::OpenThreadToken(::GetCurrentThread(), TOKEN_IMPERSONATE, FALSE, &previous)) {
        m_previous = previous;
        return;
    }
    if (::GetLastError() != ERROR_NO_TOKEN)
        throwLastError(L"The thread's own token cannot be kept for later.");
}

[[noreturn]] void ThreadImpersonation::throwFailure(const wchar_t* failure)
{
    DWORD error = ::GetLastError();
    restore();
    throw CZelException(error, failure);
}

// No token to put back means no impersonation (a null token reverts).
void ThreadImpersonation::restore()
{
    if (!::SetThreadToken(nullptr, m_previous.valid() ? m_previous.get() : nullptr))
        ZEL_LOG_ERROR << L"Security : the thread's previous token could not be restored. " << ErrorW32(::GetLastError());
}

ThreadImpersonation::~ThreadImpersonation()
{
    restore();
}

} // namespace detail
} // namespace ZelUt

// ---------------------------------------------------------------- CZelPrivilege

CZelPrivilege::CZelPrivilege(const std::wstring& name, bool process) : m_name(name), m_process(process)
{
    m_granted = openOwnTarget() && ZelUt::detail::setTokenPrivilege(m_ownToken, m_name, true, &m_wasEnabled);
}

CZelPrivilege::CZelPrivilege(HANDLE token, const std::wstring& name) : m_name(name), m_token(token)
{
    m_granted = ZelUt::detail::setTokenPrivilege(m_token, m_name, true, &m_wasEnabled);
}

// What was enabled before stays enabled, so that nested objects compose.
CZelPrivilege::~CZelPrivilege()
{
    if (m_granted && !m_wasEnabled)
        ZelUt::detail::setTokenPrivilege(m_token ? m_token : m_ownToken.get(), m_name, false);
}

// The token is held for the object's lifetime: the destructor puts the state
// back on that token, whatever the thread impersonates by then.
bool CZelPrivilege::openOwnTarget()
{
    const DWORD access = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
    HANDLE raw = nullptr;
    if (m_process && !::OpenProcessToken(::GetCurrentProcess(), access, &raw)) {
        ZEL_LOG_ERROR << L"Security : failed to open process token. " << ErrorW32(::GetLastError());
        return false;
    }
    if (!m_process && !::OpenThreadToken(::GetCurrentThread(), access, FALSE, &raw)) {
        ZEL_LOG_ERROR << L"Security : cannot set privilege for thread (not impersonating)" << ErrorW32(::GetLastError());
        return false;
    }
    m_ownToken = raw;
    return true;
}

