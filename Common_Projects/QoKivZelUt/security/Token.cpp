#include <QoKivZelUt/Token.h>

#include "security/AccountApis.h"

#include "foundation/Log.h"
#include "security/TokenPrivilege.h"

#include <ntsecapi.h>

#include <cwctype>

using ZelUt::detail::setTokenPrivilege;
using ZelUt::detail::tokenInformation;

// ---------------------------------------------------------------- CZelToken

CZelToken::~CZelToken() = default;

bool CZelToken::OpenProcessToken(HANDLE process, unsigned long access)
{
    Close();
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(process == INVALID_HANDLE_VALUE ? ::GetCurrentProcess() : process, access, &raw))
        return false;
    m_token = raw;
    return true;
}

bool CZelToken::OpenThreadToken(HANDLE thread, unsigned long access)
{
    Close();
    HANDLE target = thread == INVALID_HANDLE_VALUE ? ::GetCurrentThread() : thread;
    HANDLE raw = nullptr;
    if (!::OpenThreadToken(target, access, TRUE, &raw)) {
        DWORD error = ::GetLastError();
        if (error != ERROR_NO_TOKEN && !::OpenThreadToken(target, access, FALSE, &raw))
            error = ::GetLastError();
        if (!raw)
            return error == ERROR_NO_TOKEN && OpenProcessToken(INVALID_HANDLE_VALUE, access);
    }
    m_token = raw;
    return true;
}

void CZelToken::Close()
{
    m_token = WinAPI::FileHandle();
    m_groups.clear();
}

CZelSid CZelToken::GetOwner() const
{
    return m_token ? CZelSid::FromTokenUser(m_token) : CZelSid();
}

const TOKEN_GROUPS* CZelToken::groups()
{
    if (m_groups.empty() && m_token)
        m_groups = tokenInformation(m_token, TokenGroups);
    return m_groups.empty() ? nullptr : reinterpret_cast<const TOKEN_GROUPS*>(m_groups.data());
}

int CZelToken::GetGroupCount()
{
    const TOKEN_GROUPS* list = groups();
    return list ? static_cast<int>(list->GroupCount) : 0;
}

CZelSid CZelToken::GetGroupAt(int index)
{
    const TOKEN_GROUPS* list = groups();
    if (!list || index < 0 || static_cast<DWORD>(index) >= list->GroupCount)
        return CZelSid();
    return CZelSid(list->Groups[index].Sid);
}

bool CZelToken::IsImpersonation() const
{
    TOKEN_TYPE type = TokenPrimary;
    DWORD size = 0;
    return m_token && ::GetTokenInformation(m_token, TokenType, &type, sizeof type, &size) && type == TokenImpersonation;
}

bool CZelToken::GetImpersonationLevel(SECURITY_IMPERSONATION_LEVEL* level) const
{
    DWORD size = 0;
    return m_token && level && ::GetTokenInformation(m_token, TokenImpersonationLevel, level, sizeof *level, &size);
}

bool CZelToken::IsPrivilegeEnabled(const std::wstring& name) const
{
    LUID luid;
    if (!m_token || !::LookupPrivilegeValueW(nullptr, name.c_str(), &luid))
        return false;
    std::vector<BYTE> data = tokenInformation(m_token, TokenPrivileges);
    if (data.empty())
        return false;
    const TOKEN_PRIVILEGES* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(data.data());
    for (DWORD i = 0; i < list->PrivilegeCount; ++i)
        if (list->Privileges[i].Luid.LowPart == luid.LowPart && list->Privileges[i].Luid.HighPart == luid.HighPart)
            return (list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
    return false;
}

namespace {

std::wstring describe(const CZelSid& sid)
{
    return sid.GetFQName() + L" (" + sid.toString() + L")";
}

std::wstring privilegeName(LUID luid)
{
    wchar_t name[128];
    DWORD size = sizeof name / sizeof name[0];
    return ::LookupPrivilegeNameW(nullptr, &luid, name, &size) ? std::wstring(name) : std::wstring(L"?");
}

} // namespace

void CZelToken::DumpToLog(const std::wstring& title)
{
    wchar_t address[32];
    swprintf(address, 32, L"%p", static_cast<void*>(m_token.get()));
    ZEL_LOG_TRACE << std::wstring(60, L'=');
    ZEL_LOG_TRACE << (title.empty() ? L"A" : title + L" a") << L"ccess token at 0x" << address;
    ZEL_LOG_TRACE << L"Token owner: " << describe(GetOwner());
    for (int i = 0; i < GetGroupCount(); ++i)
        ZEL_LOG_TRACE << L"Group entry " << describe(GetGroupAt(i));
    std::vector<BYTE> data = m_token ? tokenInformation(m_token, TokenPrivileges) : std::vector<BYTE>();
    const TOKEN_PRIVILEGES* list = data.empty() ? nullptr : reinterpret_cast<const TOKEN_PRIVILEGES*>(data.data());
    for (DWORD i = 0; list && i < list->PrivilegeCount; ++i)
        ZEL_LOG_TRACE << L"Privilege " << privilegeName(list->Privileges[i].Luid) << L" is "
                      << ((list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) ? L"enabled" : L"disabled");
    ZEL_LOG_TRACE << std::wstring(60, L'=');
}

// ---------------------------------------------------------------- account rights

namespace {

struct LsaCloseClass {
    static void close(LSA_HANDLE policy) { ::LsaClose(policy); }
};
using PolicyHandle = WinAPI::AutoHandle<LsaCloseClass, LSA_HANDLE>;

// LsaOpenPolicy with full access on the computer (empty: this one); an NTSTATUS.
NTSTATUS openPolicy(const std::wstring& system, PolicyHandle& policy)
{
    LSA_OBJECT_ATTRIBUTES attributes = {};
    LSA_UNICODE_STRING name;
    name.Buffer = const_cast<wchar_t*>(system.c_str());
    name.Length = static_cast<USHORT>(system.size() * sizeof(wchar_t));
    name.MaximumLength = static_cast<USHORT>(name.Length + sizeof(wchar_t));
    LSA_HANDLE handle = nullptr;
    NTSTATUS status = ::LsaOpenPolicy(system.empty() ? nullptr : &name, &attributes, POLICY_ALL_ACCESS, &handle);
    policy = handle;
    return status;
}

// The account's SID as that computer knows it (size query first); empty when unknown.
std::vector<BYTE> accountSid(const std::wstring& system, const std::wstring& account)
{
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    const wchar_t* computer = system.empty() ? nullptr : system.c_str();
    ::LookupAccountNameW(computer, account.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    std::vector<BYTE> sid(sidSize);
    std::wstring domain(domainSize + 1, L'\0');
    if (sidSize == 0 || !::LookupAccountNameW(computer, account.c_str(), sid.data(), &sidSize, &domain[0], &domainSize, &use))
        sid.clear();
    return sid;
}

} // namespace

bool ZelAddAccountPrivilege(const std::wstring& system, const std::wstring& account, const std::wstring& right)
{
    PolicyHandle policy;
    NTSTATUS status = openPolicy(system, policy);
    if (status != 0) {
        ZEL_LOG_ERROR << L"Failed to open security policy: " << ErrorW32(::LsaNtStatusToWinError(status));
        return false;
    }
    std::vector<BYTE> sid = accountSid(system, account);
    if (sid.empty()) {
        ZEL_LOG_ERROR << L"Failed to look up account " << account << L": " << ErrorW32(::GetLastError());
        return false;
    }
    status = ZelUt::accountRightsApi().addAccountRight(policy.get(), sid.data(), right);
    if (status != 0) {
        ZEL_LOG_ERROR << L"Failed to add account right: " << ErrorW32(::LsaNtStatusToWinError(status));
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- local administrators

namespace {

std::wstring lowered(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// The local name of the Administrators group on the computer; empty when it cannot be looked up.
std::wstring administratorsGroup(const std::wstring& computer)
{
    return CZelSid(CZelSid::Administrators).GetName(computer);
}

long fromWin32(unsigned long error)
{
    return static_cast<long>(0x80070000ul | (error & 0xFFFF));
}

} // namespace

long CZelNetGroupMembership::IsUserLocalAdmin(const std::wstring& computer, const std::wstring& user)
{
    std::wstring group = administratorsGroup(computer);
    if (group.empty()) {
        ZEL_LOG_ERROR << L"IsUserLocalAdmin: Failed to lookup group account. " << ErrorW32(::GetLastError());
        return E_FAIL;
    }
    std::vector<std::wstring> groups;
    unsigned long status = ZelUt::localGroupApi().userLocalGroups(computer, user, groups);
    if (status != 0) {
        ZEL_LOG_ERROR << L"NetUserGetLocalGroups(" << computer << L", " << user << L") returned " << status;
        return E_FAIL;
    }
    for (const std::wstring& name : groups)
        if (lowered(name) == lowered(group))
            return S_OK;
    return S_FALSE;
}

namespace {

// What differs between joining and leaving the group: the calls' texts and direction.
struct MembershipChange {
    bool add;
    const wchar_t* lookupFailed;
    const wchar_t* trying;
    const wchar_t* trying2;
    const wchar_t* nothingToDo;
    const wchar_t* checkFailed;
    const wchar_t* changeFailed;
};

long changeMembership(const MembershipChange& change, const std::wstring& computer, const std::wstring& user)
{
    std::wstring group = administratorsGroup(computer);
    if (group.empty()) {
        DWORD error = ::GetLastError();
        ZEL_LOG_ERROR << change.lookupFailed << ErrorW32(error);
        return fromWin32(error);
    }
    ZEL_LOG_INFO << L"Trying to " << change.trying << user << change.trying2 << computer << L"' (group '" << group
                 << L"')";
    long member = CZelNetGroupMembership::IsUserLocalAdmin(computer, user);
    if (member == (change.add ? S_OK : S_FALSE)) {
        ZEL_LOG_INFO << change.nothingToDo;
        return S_OK;
    }
    if (member != S_OK && member != S_FALSE) {
        ZEL_LOG_ERROR << change.checkFailed;
        return member;
    }
    unsigned long status = change.add ? ZelUt::localGroupApi().addLocalGroupMember(computer, group, user)
                                      : ZelUt::localGroupApi().removeLocalGroupMember(computer, group, user);
    if (status != 0) {
        ZEL_LOG_ERROR << change.changeFailed << ErrorW32(status);
        return fromWin32(status);
    }
    return S_OK;
}

} // namespace

long CZelNetGroupMembership::MakeUserLocalAdmin(const std::wstring& computer, const std::wstring& user)
{
    static const MembershipChange join = {
        true, L"MakeUserLocalAdmin: Failed to lookup group account. ", L"make user '", L"' local admin of '",
        L"User is already an admin on this wksta", L"MakeUserLocalAdmin: Failed to check if user is local admin.",
        L"Could not make user member of local admins of the wksta "};
    return changeMembership(join, computer, user);
}

long CZelNetGroupMembership::RemoveUserLocalAdmin(const std::wstring& computer, const std::wstring& user)
{
    static const MembershipChange leave = {
        false, L"removeUserLocalAdmin: Failed to lookup group account. ", L"remove user '",
        L"' from local admin group of '", L"User is not an admin on this wksta, ok",
        L"removeUserLocalAdmin: Failed to check if user is local admin.",
        L"Could not remove user from local admin group of the wksta "};
    return changeMembership(leave, computer, user);
}
