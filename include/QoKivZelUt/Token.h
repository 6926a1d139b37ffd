// Access tokens, privileges, account rights and membership of the local
// Administrators group.
#pragma once

#include "Export.h"
#include "Security.h"
#include "WinAPI.h"

#include <string>
#include <vector>

class QOKIVZELUT_API CZelToken {
public:
    CZelToken() = default;
    ~CZelToken();

    // Closes any token held, then opens the process's (INVALID_HANDLE_VALUE: this process).
    bool OpenProcessToken(HANDLE process = INVALID_HANDLE_VALUE, unsigned long access = TOKEN_QUERY);
    // The thread's token (INVALID_HANDLE_VALUE: this thread); a thread that does
    // not impersonate gives the process's token.
    bool OpenThreadToken(HANDLE thread = INVALID_HANDLE_VALUE, unsigned long access = TOKEN_QUERY);
    void Close();
    HANDLE GetHandle() const { return m_token.get(); }

    CZelSid GetOwner() const;
    int GetGroupCount();
    CZelSid GetGroupAt(int index);
    bool IsImpersonation() const;
    // True unless the token is known to be an impersonation token.
    bool IsPrimary() const { return !IsImpersonation(); }
    bool GetImpersonationLevel(SECURITY_IMPERSONATION_LEVEL* level) const;
    bool IsPrivilegeEnabled(const std::wstring& name) const;
    // Owner, groups and privileges as trace entries.
    void DumpToLog(const std::wstring& title = std::wstring());

private:
    const TOKEN_GROUPS* groups();

    WinAPI::FileHandle m_token;
    std::vector<BYTE> m_groups;
};

// A privilege enabled for the lifetime of the object; the destructor puts
// back the state it found (one already enabled stays enabled).
class QOKIVZELUT_API CZelPrivilege {
public:
    // On the process's token, or on the current (impersonating) thread's.
    CZelPrivilege(const std::wstring& name, bool process);
    // On the caller's token, which must outlive the object.
    CZelPrivilege(HANDLE token, const std::wstring& name);
    ~CZelPrivilege();
    CZelPrivilege(const CZelPrivilege&) = delete;
    CZelPrivilege& operator=(const CZelPrivilege&) = delete;

    bool Granted() const { return m_granted; }

private:
    bool openOwnTarget();

    std::wstring m_name;
    bool m_granted = false;
    bool m_wasEnabled = false;
    bool m_process = false;
    HANDLE m_token = nullptr;         // the caller's
    WinAPI::FileHandle m_ownToken;    // the process's or thread's, opened by the object
};

// Grants an account right ("SeServiceLogonRight", ...) on the computer (empty: this one).
QOKIVZELUT_API bool ZelAddAccountPrivilege(const std::wstring& system, const std::wstring& account,
                                           const std::wstring& right);

// Membership of the local Administrators group; results are HRESULT-style.
class QOKIVZELUT_API CZelNetGroupMembership {
public:
    // 0 member, 1 not a member, E_FAIL when the groups cannot be read.
    static long IsUserLocalAdmin(const std::wstring& computer, const std::wstring& user);
    static long MakeUserLocalAdmin(const std::wstring& computer, const std::wstring& user);
    static long RemoveUserLocalAdmin(const std::wstring& computer, const std::wstring& user);
};
