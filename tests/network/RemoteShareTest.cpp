#include "FakeNetworkApi.h"
#include "TestEnv.h"

#include <QoKivZelUt/RemoteShare.h>
#include <QoKivZelUt/Service.h>

#include <gtest/gtest.h>

#include <cwctype>

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
    qkztest::FakeNetworkApi fake;
    qkztest::NetworkSeam seam{fake};
    void SetUp() override
    {
        fake.remoteMachine = registry.key();
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
            const auto& added = fake.remoteShares.at(c.name);
            EXPECT_EQ(c.path, added.path);
            EXPECT_EQ(L"Kiv Zel", added.remark);
            EXPECT_EQ(0u, added.type);
            EXPECT_EQ(0u, added.permissions);
            EXPECT_EQ(0xFFFFFFFFu, added.maxUses);
            EXPECT_EQ(L"", fake.remoteSddl.at(c.name));  // default rights: no descriptor
            LogCapture log;
            EXPECT_TRUE(share.OpenShare());
            EXPECT_TRUE(log.contains(L"OpenShare: Share was already opened"));
        }
        EXPECT_TRUE(fake.remoteShares.empty()) << c.name;  // removed by the destructor
    }
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
        EXPECT_EQ(L"D:(A;;0x1200a9;;;WD)", fake.remoteSddl.at(name));
    }
    EXPECT_EQ(1u, fake.remoteShares.size());  // kept

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
    CZelRemoteShare localPath(L"", L"E:\\x", false, CZelRemoteShare::eRightsDefault);  // configured as well
    localPath.SetShareName(L"QKZ$");
    EXPECT_EQ(L"\\\\" + computer + L"\\QKZ$", localPath.GetUNCPath().str());
}

TEST_F(RemoteMachine, ExistingShareIsReopenedAndFailedCallsRetriedOnce)
{
    // Gone when looked for, there when added: deleted, a second later added again.
    fake.addAnswers = {2118};
    {
        CZelRemoteShare share(L"remotebox", CZelRemoteShare::eDirProgramFiles, false);
        LogCapture log;
        const ULONGLONG start = GetTickCount64();
        ASSERT_TRUE(share.OpenShare());
        EXPECT_GE(GetTickCount64() - start, 950u);  // a second, as the tick count measures it
        EXPECT_TRUE(log.contains(L"OpenShare: Share already exists; going to reopen: 2118"));
        EXPECT_TRUE(log.contains(L"Successfully reopened share"));
        EXPECT_EQ(L"D:\\Programs", fake.remoteShares.at(L"KIV_PF$").path);
        EXPECT_EQ((std::vector<std::wstring>{L"add \\\\remotebox KIV_PF$", L"add \\\\remotebox KIV_PF$"}),
                  fake.shareCalls);
    }
    fake.shareCalls.clear();
    fake.addAnswers = {1726};
    {
        CZelRemoteShare share(L"remotebox", CZelRemoteShare::eDirCommonFiles, false);
        EXPECT_TRUE(share.OpenShare());
        EXPECT_EQ(2u, fake.shareCalls.size());
    }
    fake.addAnswers = {1726, 1726};
    {
        CZelRemoteShare share(L"remotebox", CZelRemoteShare::eDirCommonFiles, false);
        LogCapture log;
        EXPECT_FALSE(share.OpenShare());
        EXPECT_TRUE(log.contains(L"OpenShare: Failed to open share. "));
        EXPECT_TRUE(log.contains(L"(1726)"));
    }
    fake.addAnswers = {2118, ERROR_ACCESS_DENIED};
    {
        CZelRemoteShare share(L"remotebox", CZelRemoteShare::eDirSystemRoot, false);
        LogCapture log;
        EXPECT_FALSE(share.OpenShare());
        EXPECT_TRUE(log.contains(L"Unable to reopen share. "));
        EXPECT_TRUE(log.contains(L"(5)"));
    }
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

    RegDeleteKeyValueW(registry.key(), kVersion, L"ProgramFilesDir");
    CZelRemoteShare noProgramFiles(L"remotebox", CZelRemoteShare::eDirProgramFiles, false);
    EXPECT_FALSE(noProgramFiles.OpenShare());
    EXPECT_TRUE(log.contains(L"OpenShare: Could not read ProgramFilesDir from remote registry."));
    RegDeleteKeyValueW(registry.key(), kVersion, L"CommonFilesDir");
    CZelRemoteShare noCommonFiles(L"remotebox", CZelRemoteShare::eDirCommonFiles, false);
    EXPECT_FALSE(noCommonFiles.OpenShare());
    EXPECT_TRUE(log.contains(L"OpenShare: Could not read CommonFilesDir from remote registry."));
    CZelRemoteShare wrongKind(L"remotebox", static_cast<CZelRemoteShare::enumDirToShare>(7), false);
    EXPECT_FALSE(wrongKind.OpenShare());
    EXPECT_TRUE(log.contains(L"OpenShare: wrong value for directory to share"));
    RegDeleteKeyValueW(registry.key(), kNtVersion, L"SystemRoot");
    CZelRemoteShare noSystemRoot(L"remotebox", CZelRemoteShare::eDirCustom, false);
    EXPECT_FALSE(noSystemRoot.OpenShare());  // a custom share without a path is not configured
    CZelRemoteShare custom(L"remotebox", L"E:\\x", false, CZelRemoteShare::eRightsDefault);
    EXPECT_THROW(custom.OpenShare(), CZelException);  // no system root: the caller hears of it
    EXPECT_TRUE(fake.remoteShares.empty());

    CZelRemoteShare tooLong(std::wstring(261, L'c'), CZelRemoteShare::eDirSystemRoot, false);
    EXPECT_TRUE(log.contains(L"CZelRemoteShare::SetTargetComputer: No valid computername given"));
    EXPECT_FALSE(tooLong.OpenShare());
    EXPECT_TRUE(log.contains(L"OpenShare: Class was not initialized"));
    try {
        tooLong.GetUNCPath();
        ADD_FAILURE() << "no exception";
    } catch (const CZelException& e) {
        EXPECT_EQ(0u, e.getErrorCode());
        EXPECT_EQ(L"Class not initialized", e.getMessage());
    }
    EXPECT_TRUE(log.contains(L"GetUNCName: Class was not initialized"));
    EXPECT_THROW(tooLong.GetLocalPath(), CZelException);
    EXPECT_TRUE(log.contains(L"GetLocalPath: Class was not initialized"));
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
    EXPECT_TRUE(log.contains(L"Share will be opened locally"));
    EXPECT_TRUE(log.contains(L"Try to create share KIV_SR$ on " + target));
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
    void SetUp() override
    {
        ASSERT_FALSE(manager.serviceExists(L"RemoteRegistry")) << "a real remote registry service";
        service = manager.createService(L"RemoteRegistry", L"QKZ remote registry", SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                        L"\"" + (qkztest::binDir() / L"qkz_testservice.exe").str() + L"\"", L"", L"",
                                        L"");
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
    qkztest::FakeNetworkApi fake;
    fake.remoteMachine = registry.key();
    qkztest::NetworkSeam seam(fake);
    CZelRemoteShare share(L"remotebox", CZelRemoteShare::eDirSystemRoot, false);
    EXPECT_TRUE(share.OpenShare());
    EXPECT_EQ(ZelUt::CNtService::Status::Stopped, service.getStatus());
}

} // namespace
