#include "FakeApis.h"
#include "TestEnv.h"

#include <QoKivZelUt/Token.h>

#include <gtest/gtest.h>

using qkztest::LogCapture;

namespace {

std::vector<BYTE> informationOf(HANDLE token, TOKEN_INFORMATION_CLASS what = TokenPrivileges)
{
    DWORD size = 0;
    GetTokenInformation(token, what, nullptr, 0, &size);
    std::vector<BYTE> data(size);
    GetTokenInformation(token, what, data.data(), size, &size);
    return data;
}

struct OwnToken {
    HANDLE handle = nullptr;
    explicit OwnToken(bool thread)
    {
        const DWORD access = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
        if (thread)
            OpenThreadToken(GetCurrentThread(), access, FALSE, &handle);
        else
            OpenProcessToken(GetCurrentProcess(), access, &handle);
    }
    ~OwnToken() { CloseHandle(handle); }
    bool enabled(const wchar_t* name) const
    {
        LUID luid;
        LookupPrivilegeValueW(nullptr, name, &luid);
        std::vector<BYTE> data = informationOf(handle);
        auto* list = reinterpret_cast<const TOKEN_PRIVILEGES*>(data.data());
        for (DWORD i = 0; i < list->PrivilegeCount; ++i)
            if (list->Privileges[i].Luid.LowPart == luid.LowPart && list->Privileges[i].Luid.HighPart == luid.HighPart)
                return (list->Privileges[i].Attributes & SE_PRIVILEGE_ENABLED) != 0;
        return false;
    }
};

TEST(CZelToken, ProcessAndThreadTokens)
{
    CZelToken none;
    EXPECT_TRUE(none.IsPrimary() && !none.IsImpersonation() && none.GetGroupCount() == 0);

    CZelToken process;
    ASSERT_TRUE(process.OpenProcessToken());
    EXPECT_TRUE(process.IsPrimary());
    EXPECT_EQ(CZelSid::FromProcessUser(), process.GetOwner());
    SECURITY_IMPERSONATION_LEVEL level;
    EXPECT_FALSE(process.GetImpersonationLevel(&level));
    // Every group, in the order the token lists them.
    const std::vector<BYTE> listed = informationOf(OwnToken(false).handle, TokenGroups);
    ASSERT_GE(listed.size(), sizeof(TOKEN_GROUPS));
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(listed.data());
    ASSERT_EQ(static_cast<int>(groups->GroupCount), process.GetGroupCount());
    for (DWORD i = 0; i < groups->GroupCount; ++i)
        EXPECT_EQ(CZelSid(groups->Groups[i].Sid), process.GetGroupAt(static_cast<int>(i))) << i;
    EXPECT_FALSE(process.GetGroupAt(-1).IsValid());
    EXPECT_FALSE(process.GetGroupAt(process.GetGroupCount()).IsValid());

    CZelToken thread;
    ASSERT_TRUE(thread.OpenThreadToken());  // not impersonating: the process's token
    EXPECT_TRUE(thread.IsPrimary());
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    ASSERT_TRUE(thread.OpenThreadToken());
    EXPECT_TRUE(thread.IsImpersonation());
    ASSERT_TRUE(thread.GetImpersonationLevel(&level));
    EXPECT_EQ(SecurityImpersonation, level);
    RevertToSelf();

    LogCapture log;
    process.DumpToLog(L"Process");
    EXPECT_EQ(L"", log.missing({L"Process access token at 0x", L"Token owner: ", L"Group entry ",
                                L"Privilege SeShutdownPrivilege is "}));
}

// Sets a privilege behind the library's back.
void setPrivilege(HANDLE token, const wchar_t* name, bool enable)
{
    TOKEN_PRIVILEGES change = {1, {{{0, 0}, enable ? DWORD(SE_PRIVILEGE_ENABLED) : 0}}};
    ASSERT_TRUE(LookupPrivilegeValueW(nullptr, name, &change.Privileges[0].Luid));
    ASSERT_TRUE(AdjustTokenPrivileges(token, FALSE, &change, 0, nullptr, nullptr));
}

// The state found is the state left: nested objects compose, and a privilege
// enabled before an object stays enabled after it.
TEST(CZelPrivilege, PutsBackTheStateItFound)
{
    const wchar_t* name = L"SeBackupPrivilege";
    OwnToken process(false);
    setPrivilege(process.handle, name, false);
    {
        CZelPrivilege outer(name, true);
        EXPECT_TRUE(outer.Granted());
        {
            CZelPrivilege inner(name, true);
            EXPECT_TRUE(inner.Granted());
        }
        EXPECT_TRUE(process.enabled(name));  // the inner object found it enabled
    }
    EXPECT_FALSE(process.enabled(name));

    setPrivilege(process.handle, name, true);
    { CZelPrivilege again(process.handle, name); }
    EXPECT_TRUE(process.enabled(name));
    setPrivilege(process.handle, name, false);

    // A token that cannot be queried: the state found is unknown, so the object disables what it enabled.
    HANDLE adjustOnly = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &adjustOnly));
    WinAPI::FileHandle adjustOnlyGuard(adjustOnly);
    {
        CZelPrivilege blind(adjustOnly, name);
        EXPECT_TRUE(blind.Granted());
        EXPECT_TRUE(process.enabled(name));
    }
    EXPECT_FALSE(process.enabled(name));

    // Not held: not granted, and the token is as it was.
    std::vector<BYTE> before = informationOf(process.handle);
    {
        LogCapture log;
        CZelPrivilege create(L"SeCreateTokenPrivilege", true);
        EXPECT_FALSE(create.Granted());
        EXPECT_TRUE(log.contains(L"Security : failed to set privilege. "));
    }
    EXPECT_EQ(before, informationOf(process.handle));
}

// A thread privilege acts on the thread's own token, and a failed one never
// touches a token the thread gets later.
TEST(CZelPrivilege, ThreadTokenOnly)
{
    const wchar_t* name = L"SeBackupPrivilege";
    OwnToken process(false);
    LogCapture log;
    {
        CZelPrivilege notImpersonating(name, false);
        EXPECT_FALSE(notImpersonating.Granted());
        EXPECT_TRUE(log.contains(L"Security : cannot set privilege for thread (not impersonating)"));
        ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
        setPrivilege(OwnToken(true).handle, name, true);
    }
    EXPECT_TRUE(OwnToken(true).enabled(name));
    setPrivilege(OwnToken(true).handle, name, false);
    {
        CZelPrivilege thread(name, false);
        EXPECT_TRUE(thread.Granted());
        EXPECT_TRUE(OwnToken(true).enabled(name));
        EXPECT_FALSE(process.enabled(name));
    }
    EXPECT_FALSE(OwnToken(true).enabled(name));
    RevertToSelf();
}

TEST(AccountRights, GrantedOrRefusedAsThePolicyAnswers)
{
    qkztest::FakeAccountRights rights;
    const std::wstring user = CZelSid::FromProcessUser().GetName();
    EXPECT_TRUE(ZelAddAccountPrivilege(L"", user, L"SeServiceLogonRight"));
    rights.status[L"SeTcbPrivilege"] = static_cast<long>(0xC0000022);  // access denied
    LogCapture log;
    EXPECT_FALSE(ZelAddAccountPrivilege(L"", user, L"SeTcbPrivilege"));
    EXPECT_FALSE(ZelAddAccountPrivilege(L"\\\\qkz-no-such-host", user, L"SeServiceLogonRight"));
    EXPECT_EQ(L"", log.missing({L"Failed to add account right: ", L"Failed to open security policy: "}));
    EXPECT_EQ((std::vector<std::wstring>{L"SeServiceLogonRight", L"SeTcbPrivilege"}), rights.added);
}

TEST(LocalGroups, AdministratorsMembership)
{
    qkztest::FakeLocalGroups fake;
    const std::wstring user = CZelSid::FromProcessUser().GetName();
    const std::wstring group = CZelSid(CZelSid::Administrators).GetName();
    fake.groups = {L"Users", L"ADMINISTRATORS"};
    EXPECT_EQ(S_OK, CZelNetGroupMembership::IsUserLocalAdmin(L"", user));
    LogCapture log;
    EXPECT_EQ(S_OK, CZelNetGroupMembership::MakeUserLocalAdmin(L"", user));
    EXPECT_TRUE(log.contains(L"User is already an admin on this wksta"));
    EXPECT_TRUE(fake.calls.empty());
    EXPECT_EQ(S_OK, CZelNetGroupMembership::RemoveUserLocalAdmin(L"", user));
    EXPECT_TRUE(log.contains(L"Trying to remove user '" + user + L"' from local admin group of '' (group '" + group + L"')"));

    fake.groups = {L"Users"};
    EXPECT_EQ(S_FALSE, CZelNetGroupMembership::IsUserLocalAdmin(L"", user));
    EXPECT_EQ(S_OK, CZelNetGroupMembership::RemoveUserLocalAdmin(L"", user));
    EXPECT_TRUE(log.contains(L"User is not an admin on this wksta, ok"));
    EXPECT_EQ(S_OK, CZelNetGroupMembership::MakeUserLocalAdmin(L"", user));
    fake.memberStatus = ERROR_ACCESS_DENIED;
    EXPECT_EQ(long(0x80070005), CZelNetGroupMembership::MakeUserLocalAdmin(L"", user));
    EXPECT_TRUE(log.contains(L"Could not make user member of local admins of the wksta "));
    EXPECT_EQ((std::vector<std::wstring>{L"remove " + group + L" " + user, L"add " + group + L" " + user,
                                         L"add " + group + L" " + user}),
              fake.calls);

    fake.groupsStatus = 2221;  // user not found
    EXPECT_EQ(E_FAIL, CZelNetGroupMembership::IsUserLocalAdmin(L"", user));
    EXPECT_TRUE(log.contains(L"NetUserGetLocalGroups(, " + user + L") returned 2221"));
    EXPECT_EQ(E_FAIL, CZelNetGroupMembership::MakeUserLocalAdmin(L"", user));
    EXPECT_TRUE(log.contains(L"MakeUserLocalAdmin: Failed to check if user is local admin."));
}

} // namespace
