#include "FakeApis.h"
#include "TestEnv.h"

#include <QoKivZelUt/Credentials.h>
#include <QoKivZelUt/Crypto.h>
#include <QoKivZelUt/Security.h>

#include <gtest/gtest.h>

using ZelUt::Credentials;
using ZelUt::CredentialsManager;

namespace {

// A root of its own under HKLM, never the default one, removed afterwards.
class CredentialsStore : public ::testing::Test {
protected:
    void SetUp() override
    {
        root = L"Software\\QoKivZelUtTests\\" + qkztest::uniqueName(L"credentials");
        manager.setRootPath(root);
    }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, root.c_str()); }

    bool hasValue(std::wstring_view name) const
    {
        WinAPI::RegKey key = WinAPI::regOpenKeyEx(HKEY_LOCAL_MACHINE, root);
        return RegQueryValueExW(key, std::wstring(name).c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    }

    std::wstring root;
    CredentialsManager manager;
};

std::wstring text(const Credentials& c)
{
    return c.user + L"|" + c.password;
}

void expectEmptyRefused(const std::function<void()>& read)
{
    EXPECT_EQ(qkztest::failureOf([&] { read(); }), (qkztest::Failure{13u, L"IS user or pwd empty"}));
}

TEST_F(CredentialsStore, CurrentAndLegacyStoresRoundTrip)
{
    EXPECT_EQ(L"Software\\KIV\\QoKivSetup\\QoKivSetupDs\\UData", CredentialsManager().getRootPath());
    const Credentials account{L"DOMAIN\\s\u00e9rvice \U0001F600", L"p\u00e4ss w\u20ac rd"};
    manager.storeCredentials(account);
    EXPECT_EQ(text(account), text(manager.getCredentials()));
    WinAPI::RegValue stored = WinAPI::regQueryValueEx(WinAPI::regOpenKeyEx(HKEY_LOCAL_MACHINE, root), L"DsUserCredentials2");
    EXPECT_EQ(DWORD(REG_BINARY), stored.type);
    EXPECT_EQ(account.password, WinAPI::unprotectString({stored.data.begin(), stored.data.end()}));

    CredentialsManager legacyOnly;
    legacyOnly.setRootPath(root + L"\\legacy");
    legacyOnly.storeLegacyCredentials({L"svc", L"s3cret"});
    EXPECT_EQ(L"svc|s3cret", text(legacyOnly.getCredentialsFromLegacyStore()));
    EXPECT_THROW(legacyOnly.getCredentials(), CZelException);  // no current values there
    WinAPI::RegKey key = WinAPI::regOpenKeyEx(HKEY_LOCAL_MACHINE, root + L"\\legacy");
    std::wstring sddl = CZelSecurityDescriptor::fromRegistryKey(key).toSddl();
    EXPECT_EQ(0u, sddl.find(L"O:BA")) << sddl;
    EXPECT_EQ(L"D:(A;OICI;GA;;;BA)", sddl.substr(sddl.find(L"D:"))) << sddl;  // the only entry

    manager.storeCredentials({L"user", L""});
    expectEmptyRefused([&] { manager.getCredentials(); });
    legacyOnly.storeLegacyCredentials({L"", L"pwd"});
    expectEmptyRefused([&] { legacyOnly.getCredentialsFromLegacyStore(); });
}

TEST_F(CredentialsStore, ConversionAndDeletion)
{
    manager.storeLegacyCredentials({L"old user", L"old pwd"});
    manager.convertCredentialsEncryption();
    EXPECT_FALSE(hasValue(CredentialsManager::userValueName));
    EXPECT_FALSE(hasValue(CredentialsManager::pwdValueName));
    EXPECT_EQ(L"old user|old pwd", text(manager.getCredentials()));

    qkztest::LogCapture log;
    manager.convertCredentialsEncryption();  // nothing legacy left
    EXPECT_TRUE(log.contains(L"IS-Cred not updated"));
    EXPECT_EQ(L"old pwd", manager.getCredentials().password);

    CredentialsManager absent;
    absent.setRootPath(root + L"\\never-made");
    absent.deleteLegacyKeyStore();
    EXPECT_FALSE(WinAPI::regKeyExists(root + L"\\never-made"));

    // A password the legacy reading would alter is not converted: its only
    // exact copy stays where it is.
    manager.storeLegacyCredentials({L"svc", L"p\u20acss"});
    manager.convertCredentialsEncryption();
    EXPECT_TRUE(log.contains(L"IS-Cred not converted"));
    EXPECT_TRUE(hasValue(CredentialsManager::pwdValueName));
    EXPECT_EQ(L"old pwd", manager.getCredentials().password);
    manager.storeLegacyCredentials({L"svc", L"p\u00e4ss"});  // characters up to U+00FF read back exactly
    manager.convertCredentialsEncryption();
    EXPECT_EQ(L"p\u00e4ss", manager.getCredentials().password);
    EXPECT_FALSE(hasValue(CredentialsManager::pwdValueName));
}

// Another machine's registry: converting there deletes the legacy values there.
TEST(CredentialsRemote, ConversionWorksOnTheConnectedMachine)
{
    qkztest::TestRegistryKey remoteRegistry;
    qkztest::FakeRemoteMachine remote;
    remote.registry = remoteRegistry.key();
    CredentialsManager manager(L"remotebox");
    manager.setRootPath(L"Software\\QoKivZelUtTests\\remote");
    manager.storeLegacyCredentials({L"far user", L"far pwd"});
    manager.convertCredentialsEncryption();
    EXPECT_EQ(L"far pwd", manager.getCredentials().password);
    WinAPI::RegKey key = WinAPI::regOpenKeyEx(remoteRegistry.key(), L"Software\\QoKivZelUtTests\\remote");
    EXPECT_NE(ERROR_SUCCESS, RegQueryValueExW(key, L"Up", nullptr, nullptr, nullptr, nullptr));
    EXPECT_FALSE(WinAPI::regKeyExists(L"Software\\QoKivZelUtTests\\remote"));
}

TEST(CredentialsRemote, UnreachableMachineFailsWithTheConnectionError)
{
    CredentialsManager remote(L"qkz-no-such-host");
    remote.setRootPath(L"Software\\QoKivZelUtTests\\remote");
    qkztest::Failure failure = qkztest::failureOf([&] { remote.storeCredentials({L"u", L"p"}); });
    EXPECT_EQ(L"regConnectRegistry() failed in ::RegConnectRegistry", failure.message);
    EXPECT_NE(0u, failure.code);
}

} // namespace
