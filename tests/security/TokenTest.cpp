#include "FakeNetworkApi.h"
#include "TestEnv.h"

#include <QoKivZelUt/Token.h>

#include <gtest/gtest.h>

using qkztest::LogCapture;

namespace {

std::vector<BYTE> privilegesOf(HANDLE token)
{
    DWORD size = 0;
    GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
    std::vector<BYTE> data(size);
    GetTokenInformation(token, TokenPrivileges, data.data(), size, &size);
    return data;
}

TEST(CZelToken, ProcessAndThreadTokens)
{
    CZelToken none;
    EXPECT_TRUE(none.IsPrimary());
    EXPECT_FALSE(none.IsImpersonation());
    EXPECT_EQ(0, none.GetGroupCount());

    CZelToken process;
    ASSERT_TRUE(process.OpenProcessToken());
    EXPECT_TRUE(process.IsPrimary());
    EXPECT_EQ(CZelSid::FromProcessUser(), process.GetOwner());
    SECURITY_IMPERSONATION_LEVEL level;
    EXPECT_FALSE(process.GetImpersonationLevel(&level));
    bool administrators = false;
    for (int i = 0; i < process.GetGroupCount(); ++i)
        administrators |= process.GetGroupAt(i) == CZelSid(CZelSid::Administrators);
    EXPECT_TRUE(administrators);
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
    EXPECT_TRUE(log.contains(L"Process access token at 0x"));
    EXPECT_TRUE(log.contains(L"Token owner: "));
    EXPECT_TRUE(log.contains(L"Group entry "));
    EXPECT_TRUE(log.contains(L"Privilege SeShutdownPrivilege is "));
}

TEST(CZelPrivilege, EnabledForTheObjectsLifetime)
{
    CZelToken token;
    ASSERT_TRUE(token.OpenProcessToken());
    {
        CZelPrivilege off(L"SeBackupPrivilege", true);  // start from a known state
    }
    ASSERT_FALSE(token.IsPrivilegeEnabled(L"SeBackupPrivilege"));
    {
        CZelPrivilege backup(L"SeBackupPrivilege", true);
        EXPECT_TRUE(backup.Granted());
        EXPECT_TRUE(token.IsPrivilegeEnabled(L"SeBackupPrivilege"));
    }
    EXPECT_FALSE(token.IsPrivilegeEnabled(L"SeBackupPrivilege"));

    // Not held: not granted, and the token is as it was.
    std::vector<BYTE> before = privilegesOf(token.GetHandle());
    {
        LogCapture log;
        CZelPrivilege create(L"SeCreateTokenPrivilege", true);
        EXPECT_FALSE(create.Granted());
        EXPECT_TRUE(log.contains(L"Security : failed to set privilege. "));
    }
    EXPECT_EQ(before, privilegesOf(token.GetHandle()));

    // A thread that does not impersonate has no token of its own to change.
    {
        LogCapture log;
        CZelPrivilege thread(L"SeBackupPrivilege", false);
        EXPECT_FALSE(thread.Granted());
        EXPECT_TRUE(log.contains(L"Security : cannot set privilege for thread (not impersonating)"));
    }
    ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
    {
        CZelPrivilege thread(L"SeBackupPrivilege", false);
        EXPECT_TRUE(thread.Granted());
        CZelToken own;
        own.OpenThreadToken();
        EXPECT_TRUE(own.IsPrivilegeEnabled(L"SeBackupPrivilege"));
        EXPECT_FALSE(token.IsPrivilegeEnabled(L"SeBackupPrivilege"));  // the process's token is untouched
    }
    RevertToSelf();
}

struct AccountRights : ::testing::Test {
    qkztest::FakeNetworkApi fake;
    qkztest::NetworkSeam seam{fake};
    std::wstring user = CZelSid::FromProcessUser().GetName();
};

TEST_F(AccountRights, GrantedOrRefusedAsThePolicyAnswers)
{
    EXPECT_TRUE(ZelAddAccountPrivilege(L"", user, L"SeServiceLogonRight"));
    fake.rightStatus[L"SeTcbPrivilege"] = static_cast<long>(0xC0000022);  // access denied
    LogCapture log;
    EXPECT_FALSE(ZelAddAccountPrivilege(L"", user, L"SeTcbPrivilege"));
    EXPECT_TRUE(log.contains(L"Failed to add account right: "));
    fake.openPolicyStatus = static_cast<long>(0xC0000022);
    EXPECT_FALSE(ZelAddAccountPrivilege(L"", user, L"SeServiceLogonRight"));
    EXPECT_TRUE(log.contains(L"Failed to open security policy: "));
    EXPECT_EQ((std::vector<std::wstring>{L"SeServiceLogonRight", L"SeTcbPrivilege"}), fake.rightsAdded);
}

TEST_F(AccountRights, LocalAdministratorsMembership)
{
    const std::wstring group = CZelSid(CZelSid::Administrators).GetName();
    fake.groups = {L"Users", L"ADMINISTRATORS"};
    EXPECT_EQ(S_OK, CZelNetGroupMembership::IsUserLocalAdmin(L"", user));
    LogCapture log;
    EXPECT_EQ(S_OK, CZelNetGroupMembership::MakeUserLocalAdmin(L"", user));
    EXPECT_TRUE(log.contains(L"User is already an admin on this wksta"));
    EXPECT_TRUE(fake.memberCalls.empty());
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
              fake.memberCalls);

    fake.groupsStatus = 2221;  // user not found
    EXPECT_EQ(E_FAIL, CZelNetGroupMembership::IsUserLocalAdmin(L"", user));
    EXPECT_TRUE(log.contains(L"NetUserGetLocalGroups(, " + user + L") returned 2221"));
    EXPECT_EQ(E_FAIL, CZelNetGroupMembership::MakeUserLocalAdmin(L"", user));
    EXPECT_TRUE(log.contains(L"MakeUserLocalAdmin: Failed to check if user is local admin."));
}

} // namespace
