// Token information, privileges and impersonation: the one implementation the
// token classes, the SID lookups and the process runner share.
#pragma once

#include <QoKivZelUt/WinAPI.h>

#include <windows.h>

#include <string>
#include <vector>

namespace ZelUt {
namespace detail {

// The token's information of one class (size query first); empty on failure.
std::vector<BYTE> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS what);

// Enables or disables one privilege on the token, logging as the token
// classes do; a privilege the token does not hold is a failure. On success
// `wasEnabled` (when given) tells the state before, so that exactly that can
// be put back; a token that cannot tell is taken as having had it disabled.
bool setTokenPrivilege(HANDLE token, const std::wstring& name, bool enable, bool* wasEnabled = nullptr);

// Impersonates a token on the calling thread and, on destruction, puts back
// whatever the thread had before: its own earlier impersonation token, or none.
class ThreadImpersonation {
public:
    // `impersonate` does the impersonating (ImpersonateLoggedOnUser, say) and
    // returns false with the last error set; the constructor then throws
    // CZelException(last error, failure) with the thread as it was.
    template <class Impersonate>
    ThreadImpersonation(Impersonate impersonate, const wchar_t* failure)
    {
        savePrevious();
        if (!impersonate())
            throwFailure(failure);
    }
    ~ThreadImpersonation();
    ThreadImpersonation(const ThreadImpersonation&) = delete;
    ThreadImpersonation& operator=(const ThreadImpersonation&) = delete;

private:
    void savePrevious();
    void restore();
    [[noreturn]] void throwFailure(const wchar_t* failure);

    WinAPI::FileHandle m_previous;  // invalid: the thread was not impersonating
};

} // namespace detail
} // namespace ZelUt
