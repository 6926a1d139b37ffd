#include "FakeApis.h"
#include "TestEnv.h"

#include <QoKivZelUt/RemoteShare.h>
#include <QoKivZelUt/Service.h>

#include <gtest/gtest.h>

#include <tuple>

using qkztest::LogCapture;

namespace {

const wchar_t kNtVersion[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion";
const wchar_t kVersion[] = L"Software\\Microsoft\\Windows\\CurrentVersion";

void setString(HKEY root, const wchar_t* subkey, const wchar_t* name, const std::wstring& value)
{
    RegSetKeyValueW(root, subkey, name, REG_SZ, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Another computer behind the network seam: shares in a table, its registry
// in a test key.
struct RemoteMachine : ::testing::Test {
    qkztest::TestRegistryKey registry;
    qkztest::FakeRemoteMachine fake;
    void SetUp() override
    {
        fake.registry = registry.key();
        setString(registry.key(), kNtVersion, L"SystemRoot", L"D:\\WinRemote");
        setString(registry.key(), kVersion, L"ProgramFilesDir", L"D:\\Programs");
        setString(registry.key(), kVersion, L"CommonFilesDir", L"D:\\Programs\\Common");
    }
};

TEST_F(RemoteMachine, WellKnownDirectoriesAreSharedAndRemovedAgain)
{
    const struct {
        CZelRemoteShare::enumDirToShare dir;
        const wchar_t* name;
        const wchar_t* path;
    } cases[] = {
        {CZelRemoteShare::eDirSystemRoot, L"KIV_SR$", L"D:\\WinRemote"},
        {CZelRemoteShare::eDirSystem, L"KIV_SD$", L"D:\\WinRemote\\System32"},
        {CZelRemoteShare::eDirProgramFiles, L"KIV_PF$", L"D:\\Programs"},
        {CZelRemoteShare::eDirCommonFiles, L"KIV_CF$", L"D:\\Programs\\Common"},
    };
    for (const auto& c : cases) {
        {
            CZelRemoteShare share(L"remotebox", c.dir, false);
            ASSERT_TRUE(share.OpenShare()) << c.name;
            EXPECT_TRUE(share.isOpen());
            EXPECT_EQ(std::wstring(L"\\\\remotebox\\") + c.name, share.GetUNCPath().str());
            EXPECT_EQ(c.path, share.GetLocalPath().str());
            const auto& added = fake.shares.at(c.name);
            EXPECT_EQ(std::make_tuple(std::wstring(c.path), std::wstring(L"Kiv Zel"), 0ul, 0ul, 0xFFFFFFFFul),
                      std::make_tuple(added.path, added.remark, (unsigned long)added.type,
                                      (unsigned long)added.permissions, (unsigned long)added.maxUses));
            EXPECT_EQ(L"", fake.sddl.at(c.name));  // default rights: no descriptor
        }
        EXPECT_TRUE(fake.shares.empty()) << c.name;  // removed by the destructor

        // One an earlier run kept: used, its directory known, and left in place.
        fake.plant(c.name, c.path, L"Kiv Zel");
        {
            CZelRemoteShare found(L"remotebox", c.dir, false);
            LogCapture log;
            EXPECT_TRUE(found.OpenShare());
            EXPECT_TRUE(log.contains(L"OpenShare: Share was already opened"));
            EXPECT_EQ(c.path, found.GetLocalPath().str());
        }
        EXPECT_EQ(1u, fake.shares.erase(c.name)) << c.name;
    }
}

// A share of the same name that is not this object's own is never deleted or
// re-pointed: not by the destructor, not by a reopen.
TEST_F(RemoteMachine, SharesOfOthersAreLeftAlone)
{
    fake.plant(L"KIV_SR$", L"D:\\Elsewhere", L"Kiv Zel");
    fake.plant(L"ADMIN$", L"D:\\WinRemote", L"Remote Admin");
    LogCapture log;
    {
        CZelRemoteShare elsewhere(L"remotebox", CZelRemoteShare::eDirSystemRoot, false);
        EXPECT_FALSE(elsewhere.OpenShare());
        EXPECT_TRUE(log.contains(L"shares 'D:\\Elsewhere', not 'D:\\WinRemote'"));
        CZelRemoteShare admin(L"remotebox", L"D:\\Data", false, CZelRemoteShare::eRightsDefault);
        admin.SetShareName(L"ADMIN$");
        EXPECT_FALSE(admin.OpenShare());
        admin.CloseShare();
        EXPECT_TRUE(log.contains(L"CloseShare: the share ADMIN$ was not created here; it is left in place."));
    }
    EXPECT_EQ(2u, fake.shares.size());
    EXPECT_EQ(L"D:\\Elsewhere", fake.shares.at(L"KIV_SR$").path);
    EXPECT_TRUE(fake.calls.empty());

    // Seen only once the addition says it exists (made between the two calls):
    // replaced when it is this library's share of the same directory, else kept.
    const struct {
        const wchar_t* path;
        const wchar_t* remark;
        bool replaced;
    } cases[] = {{L"D:\\Programs", L"Kiv Zel", true}, {L"D:\\Programs", L"Business", false},
                 {L"D:\\Other", L"Kiv Zel", false}};
    for (const auto& c : cases) {
        fake.shares.clear();
        fake.calls.clear();
        fake.plant(L"KIV_PF$", c.path, c.remark);
        fake.infoMisses = 1;
        CZelRemoteShare share(L"remotebox", CZelRemoteShare::eDirProgramFiles, false);
        EXPECT_EQ(c.replaced, share.OpenShare()) << c.remark << c.path;
        EXPECT_EQ(c.path, fake.shares.at(L"KIV_PF$").path);
        EXPECT_EQ(c.replaced ? L"Kiv Zel" : c.remark, fake.shares.at(L"KIV_PF$").remark);
        EXPECT_EQ(c.replaced ? 3u : 1u, fake.calls.size());  // add, del, add
    }
    EXPECT_TRUE(log.contains(L" is not one this library made for 'D:\\Programs'; it is left alone."));
}

TEST_F(RemoteMachine, ChosenDirectoryNamesRightsAndKeptShares)
{
    const ULONGLONG before = GetTickCount64();
    {
        CZelRemoteShare share(L"\\remotebox", L"E:\\Data dir", true, CZelRemoteShare::eRightsReadExecute);
        ASSERT_TRUE(share.OpenShare());
        const std::wstring name = share.GetUNCPath().str().substr(std::wstring(L"\\\\remotebox\\").size());
        ASSERT_EQ(0u, name.find(L"KIV_AS$_"));
        const ULONGLONG tick = std::stoull(name.substr(8));
        EXPECT_LE(before, tick);
        EXPECT_LE(tick, GetTickCount64());
        EXPECT_EQ(L"E:\\Data dir", share.GetLocalPath().str());
        EXPECT_EQ(L"D:(A;;0x1200a9;;;WD)", fake.sddl.at(name));
    }
    EXPECT_EQ(1u, fake.shares.size());  // kept

    CZelRemoteShare named(L"\\\\remotebox", L"E:\\x", false, CZelRemoteShare::eRightsDefault);
    const WinPath longest(L"\\\\remotebox\\" + std::wstring(259, L'n'));
    named.SetShareName(std::wstring(259, L'n'));
    EXPECT_EQ(longest, named.GetUNCPath());
    named.SetShareName(std::wstring(260, L'm'));  // too long: unchanged
    EXPECT_EQ(longest, named.GetUNCPath());
    named.SetShareName(L"QKZ$");
    ASSERT_TRUE(named.OpenShare());
    EXPECT_EQ(L"\\\\remotebox\\QKZ$", named.GetUNCPath().str());

    std::wstring computer = WinAPI::getComputerName();
    CZelRemoteShare local(L"", CZelRemoteShare::eDirSystemRoot, false);
    EXPECT_EQ(L"\\\\" + computer + L"\\KIV_SR$", local.GetUNCPath().str());
    CZelRemoteShare noComputer(L"", L"E:\\x", false, CZelRemoteShare::eRightsDefault);  // an empty variable, say
    EXPECT_THROW(noComputer.GetUNCPath(), CZelException);
    EXPECT_FALSE(noComputer.OpenShare());
}

TEST_F(RemoteMachine, ExistingShareIsReopenedAndFailedCallsRetriedOnce)
{
    // Gone when looked for, there when added: deleted, a second later added again.
    fake.plant(L"KIV_PF$", L"D:\\Programs", L"Kiv Zel");
    fake.infoMisses = 1;
    {
        CZelRemoteShare share(L"remotebox", CZelRemoteShare::eDirProgramFiles, false);
        LogCapture log;
        const ULONGLONG start = GetTickCount64();
        ASSERT_TRUE(share.OpenShare());
        EXPECT_GE(GetTickCount64() - start, 950u);  // a second, as the tick count measures it
        EXPECT_TRUE(log.contains(L"OpenShare: Share already exists; going to reopen: 2118"));
        EXPECT_TRUE(log.contains(L"Successfully reopened share"));
        EXPECT_EQ(L"D:\\Programs", fake.shares.at(L"KIV_PF$").path);
        EXPECT_EQ((std::vector<std::wstring>{L"add \\\\remotebox KIV_PF$", L"del \\\\remotebox KIV_PF$",
                                             L"add \\\\remotebox KIV_PF$"}),
                  fake.calls);
    }
    fake.calls.clear();
    fake.addAnswers = {1726};
    {
        CZelRemoteShare share(L"remotebox", CZelRemoteShare::eDirCommonFiles, false);
        EXPECT_TRUE(share.OpenShare());
        EXPECT_EQ(2u, fake.calls.size());
    }
    LogCapture log;
    fake.addAnswers = {1726, 1726};
    EXPECT_FALSE(CZelRemoteShare(L"remotebox", CZelRemoteShare::eDirCommonFiles, false).OpenShare());
    fake.plant(L"KIV_SR$", L"D:\\WinRemote", L"Kiv Zel");
    fake.infoMisses = 1;
    fake.addAnswers = {0, ERROR_ACCESS_DENIED};
    EXPECT_FALSE(CZelRemoteShare(L"remotebox", CZelRemoteShare::eDirSystemRoot, false).OpenShare());
    EXPECT_EQ(L"", log.missing({L"OpenShare: Failed to open share. ", L"(1726)", L"Unable to reopen share. ", L"(5)"}));
}

TEST_F(RemoteMachine, EveryFailureIsReportedAndNothingIsShared)
{
    fake.registryFailures = 1;
    CZelRemoteShare once(L"remotebox", CZelRemoteShare::eDirSystemRoot, false);
    EXPECT_TRUE(once.OpenShare());  // the second connection succeeds
    EXPECT_EQ(2, fake.registryConnections);
    once.CloseShare();

    LogCapture log;
    fake.registryFailures = 2;
    CZelRemoteShare twice(L"remotebox", CZelRemoteShare::eDirSystemRoot, false);
    EXPECT_FALSE(twice.OpenShare());
    EXPECT_TRUE(log.contains(L"OpenShare: Could not open remote registry: regConnectRegistry() failed"));
    fake.plant(L"KIV_SR$", L"D:\\WinRemote", L"Kiv Zel");
    fake.registryFailures = 2;
    EXPECT_FALSE(CZelRemoteShare(L"remotebox", CZelRemoteShare::eDirSystemRoot, false).OpenShare())
        << "a share already there is not taken while its directory cannot be read";
    fake.shares.clear();

    const struct {
        const wchar_t* value;
        CZelRemoteShare::enumDirToShare dir;
        const wchar_t* logged;
    } unreadable[] = {
        {L"ProgramFilesDir", CZelRemoteShare::eDirProgramFiles, L"Could not read ProgramFilesDir from remote registry."},
        {L"CommonFilesDir", CZelRemoteShare::eDirCommonFiles, L"Could not read CommonFilesDir from remote registry."},
        {nullptr, static_cast<CZelRemoteShare::enumDirToShare>(7), L"wrong value for directory to share"},
    };
    for (const auto& c : unreadable) {
        if (c.value)
            RegDeleteKeyValueW(registry.key(), kVersion, c.value);
        EXPECT_FALSE(CZelRemoteShare(L"remotebox", c.dir, false).OpenShare()) << c.logged;
        EXPECT_TRUE(log.contains(std::wstring(L"OpenShare: ") + c.logged));
    }
    RegDeleteKeyValueW(registry.key(), kNtVersion, L"SystemRoot");
    // a custom share without a path is not configured
    EXPECT_FALSE(CZelRemoteShare(L"remotebox", CZelRemoteShare::eDirCustom, false).OpenShare());
    EXPECT_THROW(CZelRemoteShare(L"remotebox", L"E:\\x", false, CZelRemoteShare::eRightsDefault).OpenShare(),
                 CZelException);  // no system root: the caller hears of it
    EXPECT_TRUE(fake.shares.empty());

    CZelRemoteShare tooLong(std::wstring(261, L'c'), CZelRemoteShare::eDirSystemRoot, false);
    EXPECT_TRUE(log.contains(L"CZelRemoteShare::SetTargetComputer: No valid computername given"));
    EXPECT_FALSE(tooLong.OpenShare());
    EXPECT_EQ(qkztest::failureOf([&] { tooLong.GetUNCPath(); }), (qkztest::Failure{0u, L"Class not initialized"}));
    EXPECT_THROW(tooLong.GetLocalPath(), CZelException);
    EXPECT_EQ(L"", log.missing({L"OpenShare: Class was not initialized", L"GetUNCName: Class was not initialized",
                                L"GetLocalPath: Class was not initialized"}));
    CZelRemoteShare longestName(std::wstring(260, L'c'), CZelRemoteShare::eDirSystemRoot, false);
    EXPECT_EQ(WinPath(L"\\\\" + std::wstring(260, L'c') + L"\\KIV_SR$"), longestName.GetUNCPath());

    tooLong.CloseShare();
    EXPECT_TRUE(log.contains(L"CloseShare: share is not open."));
    setString(registry.key(), kNtVersion, L"SystemRoot", L"D:\\WinRemote");
    CZelRemoteShare stuck(L"remotebox", CZelRemoteShare::eDirSystem, true);
    ASSERT_TRUE(stuck.OpenShare());
    fake.deleteStatus = ERROR_ACCESS_DENIED;
    stuck.CloseShare();
    EXPECT_TRUE(log.contains(L"CloseShare: NetShareDel failed: "));
    fake.deleteStatus = 0;
}

// This computer under its own name: the registry step is real, share
// creation is refused by the system here.
TEST(RemoteShare, ThisComputerUnderItsOwnName)
{
    const std::wstring target = L"\\\\" + WinAPI::getComputerName();
    LogCapture log;
    CZelRemoteShare share(L"", CZelRemoteShare::eDirSystemRoot, false);
    const bool opened = share.OpenShare();
    EXPECT_EQ(L"", log.missing({L"Share will be opened locally", L"Try to create share KIV_SR$ on " + target}));
    EXPECT_EQ(WinAPI::getWindowsDirectory(), share.GetLocalPath());
    if (!opened)
        EXPECT_TRUE(log.contains(L"OpenShare: Failed to open share. "));
    share.CloseShare();

    CZelRemoteShare unreachable(L"qkz-no-such-host", CZelRemoteShare::eDirProgramFiles, false);
    EXPECT_FALSE(unreachable.OpenShare());
    EXPECT_TRUE(log.contains(L"OpenShare: Could not open remote registry: "));
}

// A stand-in for the remote registry service: the test service under its name.
struct RemoteRegistryService : ::testing::Test {
    ZelUt::CServiceControlManager manager{L"", SC_MANAGER_ALL_ACCESS};
    ZelUt::CNtService service;
    const std::wstring binary = L"\"" + (qkztest::binDir() / L"qkz_testservice.exe").str() + L"\"";
    void SetUp() override
    {
        ASSERT_FALSE(manager.serviceExists(L"RemoteRegistry")) << "a real remote registry service";
        service = manager.createService(L"RemoteRegistry", L"QKZ remote registry", SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary, L"", L"", L"");
        ASSERT_TRUE(service);
    }
    void TearDown() override
    {
        service.terminate();
        service.close();
        manager.deleteServiceAndWait(L"RemoteRegistry");
    }
};

TEST_F(RemoteRegistryService, StartedWhenStoppedAndStoppedAgainLeftAloneWhenRunning)
{
    LogCapture log;
    {
        CMakeRemoteRegistryAvailable available(L"\\\\remotebox");
        EXPECT_TRUE(available.startedService());
        EXPECT_EQ(ZelUt::CNtService::Status::Running, service.getStatus());
    }
    EXPECT_EQ(ZelUt::CNtService::Status::Stopped, service.getStatus());
    EXPECT_TRUE(log.contains(L"remote registry service is stopped... Starting service..."));

    ASSERT_TRUE(service.start(std::vector<std::wstring>()));
    ASSERT_TRUE(service.waitForStart(10000));
    {
        CMakeRemoteRegistryAvailable available(L"\\\\remotebox");
        EXPECT_FALSE(available.startedService());
    }
    EXPECT_EQ(ZelUt::CNtService::Status::Running, service.getStatus());
    EXPECT_TRUE(log.contains(L"Found remote registry service in running state"));
    ASSERT_TRUE(service.stop());
    ASSERT_TRUE(service.waitForStop(10000));

    // Through a share: running while the registry is read, stopped afterwards.
    qkztest::TestRegistryKey registry;
    setString(registry.key(), kNtVersion, L"SystemRoot", L"D:\\WinRemote");
    qkztest::FakeRemoteMachine fake;
    fake.registry = registry.key();
    ZelUt::CNtService::Status whileRead = ZelUt::CNtService::Status::Stopped;
    fake.onRegistryConnect = [&] { whileRead = service.getStatus(); };
    CZelRemoteShare share(L"remotebox", CZelRemoteShare::eDirSystemRoot, false);
    EXPECT_TRUE(share.OpenShare());
    EXPECT_EQ(ZelUt::CNtService::Status::Running, whileRead);
    EXPECT_EQ(ZelUt::CNtService::Status::Stopped, service.getStatus());
}

// Started is ours to stop, also when the start outlasts the ten seconds waited
// for it; and stopped means stopped, not stop pending, when it is over.
TEST_F(RemoteRegistryService, StoppedAgainAfterAStartSlowerThanTheWait)
{
    service.changeConfig(binary + L" slow-start=11000 slow-stop=1500", SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, L"",
                         L"", L"", L"");
    LogCapture log;
    {
        CMakeRemoteRegistryAvailable available(L"\\\\remotebox");
        EXPECT_TRUE(available.startedService());
        EXPECT_TRUE(log.contains(L"Wait for service start up timed out"));
    }
    EXPECT_EQ(ZelUt::CNtService::Status::Stopped, service.getStatus());
}

} // namespace
