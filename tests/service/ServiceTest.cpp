#include "FakeApis.h"
#include "TestEnv.h"
#include "WineDifferences.h"

#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/Service.h>

#include <gtest/gtest.h>

#include <sstream>
#include <thread>

using ZelUt::CNtService;
using ZelUt::CServiceControlManager;
using qkztest::LogCapture;

namespace {

using Status = CNtService::Status;

// A test service of its own name, deleted afterwards.
struct ServiceFixture : ::testing::Test {
    CServiceControlManager manager{L"", SC_MANAGER_ALL_ACCESS};
    std::wstring name = qkztest::uniqueName(L"qkz-service");
    std::wstring binary = L"\"" + (qkztest::binDir() / L"qkz_testservice.exe").str() + L"\"";

    // Display names are unique too: a service a killed run left behind keeps its own.
    static std::wstring displayName(const std::wstring& display, const std::wstring& serviceName)
    {
        return display + L" " + serviceName;
    }
    CNtService create(const std::wstring& display = L"QKZ test service") { return createNamed(name, display); }
    CNtService createNamed(const std::wstring& serviceName, const std::wstring& display = L"QKZ test service")
    {
        return manager.createService(serviceName, displayName(display, serviceName), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                     SERVICE_ERROR_NORMAL, binary, L"", L"", L"");
    }
    static DWORD processOf(CNtService& service)
    {
        SERVICE_STATUS_PROCESS info = {};
        DWORD needed = 0;
        QueryServiceStatusEx(service.getHandle(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&info), sizeof info,
                             &needed);
        return info.dwProcessId;
    }
    static bool running(DWORD pid)
    {
        WinAPI::FileHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
        return process.valid() && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    }
    // A value of the service's key (Wine's QueryServiceConfigW leaves the dependencies out).
    static WinAPI::RegValue configured(const std::wstring& serviceName, const wchar_t* value)
    {
        return WinAPI::regQueryValueEx(
            WinAPI::regOpenKeyEx(HKEY_LOCAL_MACHINE, L"System\\CurrentControlSet\\Services\\" + serviceName), value);
    }
    void TearDown() override
    {
        CNtService left = manager.openService(name, SERVICE_ALL_ACCESS);
        if (left) {
            left.terminate();
            left.close();
            manager.deleteServiceAndWait(name);
        }
    }
};

TEST_F(ServiceFixture, CreateStartWithArgumentsStopAndDescribe)
{
    qkztest::TempDir dir;
    WinPath record = dir.path() / L"args.txt";
    CNtService service = create();
    ASSERT_TRUE(service);
    EXPECT_TRUE(manager.serviceExists(name));
    EXPECT_EQ(qkztest::binDir() / L"qkz_testservice.exe", service.getExecutable());
    EXPECT_EQ(Status::Stopped, service.getStatus());
    EXPECT_TRUE(service.stop());  // already stopped: nothing to do

    ASSERT_TRUE(service.start(L"\"record=" + record.str() + L"\" first \"second one\""));
    ASSERT_TRUE(service.waitForStart(20000));
    std::wostringstream text;
    text << service.getStatus();
    EXPECT_EQ(L"CNtService::Status::Running", text.str());
    std::wstring seen = WinAPI::readFileW(WinAPI::openFileReadOnly(record));
    EXPECT_EQ(name + L"|record=" + record.str() + L"|first|second one", seen);

    service.setDescription(L"described by the suite");
    BYTE buffer[1024];
    DWORD needed = 0;
    ASSERT_TRUE(QueryServiceConfig2W(service.getHandle(), SERVICE_CONFIG_DESCRIPTION, buffer, sizeof buffer, &needed));
    EXPECT_STREQ(L"described by the suite", reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer)->lpDescription);

    LogCapture log;
    CNtService again = create(L"QKZ reconfigured");  // exists: stopped, reconfigured, returned
    EXPECT_TRUE(log.contains(L"The service is already installed and will be reconfigured"));
    EXPECT_EQ(Status::Stopped, again.getStatus());
    EXPECT_EQ(displayName(L"QKZ reconfigured", name), configured(name, L"DisplayName").toString());

    ASSERT_TRUE(again.start(L"fail-start=42"));
    EXPECT_FALSE(again.waitForStart(20000));
    EXPECT_TRUE(log.contains(L"Service start failed"));

    // Dependencies as a "/"-separated list, empty parts left out: at creation and when changed.
    const std::wstring dependentName = name + L"-dependent";
    CNtService dependent = manager.createService(dependentName, displayName(L"QKZ dependent", dependentName), SERVICE_WIN32_OWN_PROCESS,
                                                 SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary,
                                                 L"QkzA//QkzB/QkzC/", L"", L"");
    EXPECT_EQ((std::vector<std::wstring>{L"QkzA", L"QkzB", L"QkzC"}), configured(dependentName, L"DependOnService").toStrings());
    dependent.changeConfig(L"", SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, L"QkzD/QkzE/QkzF", L"", L"", L"");
    EXPECT_EQ((std::vector<std::wstring>{L"QkzD", L"QkzE", L"QkzF"}), configured(dependentName, L"DependOnService").toStrings());
    dependent.close();
    manager.deleteServiceAndWait(dependentName);
}

// A state the system does not define is named unknown, not looked up past the names.
TEST(CNtService, StatusNames)
{
    const std::pair<unsigned long, const char*> rows[] = {
        {1, "Stopped"}, {7, "Paused"}, {8, "Unknown"}, {0xFFFFFFFF, "Unknown"}};
    for (const auto& row : rows) {
        std::ostringstream name;
        name << static_cast<Status>(row.first);
        EXPECT_EQ(std::string("CNtService::Status::") + row.second, name.str()) << row.first;
    }
}

// An unquoted program with blanks would let C:\Program.exe run in its place:
// it is stored quoted, at creation and when changed; arguments stay as given.
TEST_F(ServiceFixture, AProgramWithBlanksIsStoredQuoted)
{
    const std::wstring program = L"C:\\Program Files\\qkz app\\svc.EXE";
    const std::pair<std::wstring, std::wstring> lines[] = {
        {L"C:\\qkz a.exe.d\\v.2.exe\t-k", L"\"C:\\qkz a.exe.d\\v.2.exe\"\t-k"},
        {L"C:\\qkz\tdir\\svc.exe", L"\"C:\\qkz\tdir\\svc.exe\""},
        {L"\"C:\\qkz app\\a.exe b\\svc.exe\" -k", L"\"C:\\qkz app\\a.exe b\\svc.exe\" -k"},
        {L"C:\\qkz\\svc.exe -k two words", L"C:\\qkz\\svc.exe -k two words"},
        {L"C:\\qkz app\\svc.exec", L"C:\\qkz app\\svc.exec"},
        {L" C:\\qkz app\\svc.exe", L" C:\\qkz app\\svc.exe"},
        {program, L"\"" + program + L"\""},
        {program + L" -k a.exe b", L"\"" + program + L"\" -k a.exe b"},
    };
    for (const auto& line : lines) {
        CNtService created = manager.createService(name, displayName(L"QKZ quoted", name), SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                                                   SERVICE_ERROR_NORMAL, line.first, L"", L"", L"");
        EXPECT_EQ(line.second, configured(name, L"ImagePath").toString()) << line.first;
        created.changeConfig(binary, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, L"", L"", L"", L"");
        created.changeConfig(line.first, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, L"", L"", L"", L"");
        EXPECT_EQ(line.second, created.getCommandline()) << line.first;
    }
    EXPECT_EQ(WinPath(program), manager.openService(name, SERVICE_ALL_ACCESS).getExecutable());
}

TEST_F(ServiceFixture, ServiceIgnoringStopIsTerminated)
{
    CNtService service = create();
    ASSERT_TRUE(service.start(L"ignore-stop"));
    ASSERT_TRUE(service.waitForStart(20000));
    service.stop();
    EXPECT_FALSE(service.waitForStop(500));
    EXPECT_EQ(unsigned(ERROR_TIMEOUT), service.getLastError());
    LogCapture log;
    EXPECT_TRUE(service.terminate());
    EXPECT_TRUE(log.contains(L"' seems to be running in spite of a STOP command."));
    if (!qkztest::killedServiceStaysStopPending()) {
        EXPECT_TRUE(service.waitForStop(10000));
    }
}

// The service's own process goes, not another of the same program (the
// first one started, which a search by image name finds first).
TEST_F(ServiceFixture, TerminateEndsTheServicesOwnProcessOnly)
{
    const std::wstring otherName = name + L"-other";
    CNtService other = createNamed(otherName, L"QKZ other test service");
    ASSERT_TRUE(other.start(L""));
    ASSERT_TRUE(other.waitForStart(20000));
    CNtService service = create();
    ASSERT_TRUE(service.start(L"ignore-stop"));
    ASSERT_TRUE(service.waitForStart(20000));
    const DWORD own = processOf(service), others = processOf(other);
    service.stop();
    // Without the right to read its status the process is unknown: none is ended by name.
    CNtService blind = manager.openService(name, SERVICE_STOP | SERVICE_QUERY_CONFIG);
    EXPECT_FALSE(blind.terminate());
    EXPECT_EQ(unsigned(ERROR_ACCESS_DENIED), blind.getLastError());
    EXPECT_TRUE(running(own) && running(others));
    EXPECT_TRUE(service.terminate());
    EXPECT_FALSE(running(own));
    EXPECT_TRUE(running(others));
    EXPECT_EQ(Status::Running, other.getStatus());
    other.stop();
    other.waitForStop(20000);
    other.close();
    manager.deleteServiceAndWait(otherName);
}

// A wait whose status cannot be read ends at once, with one error entry; a
// status is logged when it changes, not on every poll.
TEST_F(ServiceFixture, WaitsEndAndLogEachStatusOnce)
{
    LogCapture log;
    EXPECT_FALSE(CNtService().waitForStop(INFINITE));
    EXPECT_FALSE(CNtService().waitForStart(INFINITE));
    EXPECT_EQ(2, log.count(L"Could not determine service status: "));
    // No handle: every call fails with 6 and none reaches the system.
    CNtService none;
    EXPECT_FALSE(none.start(L"x"));
    EXPECT_FALSE(none.stop());
    EXPECT_FALSE(none.terminate());
    EXPECT_EQ(L"", none.getCommandline());
    none.setDescription(L"x");
    EXPECT_EQ(unsigned(ERROR_INVALID_HANDLE), none.getLastError());
    EXPECT_EQ(1, log.count(L"Failed to set service description: "));

    CNtService created = create();
    ASSERT_TRUE(created.start(L"slow-start=3000"));
    EXPECT_FALSE(created.waitForStart(300));
    EXPECT_TRUE(log.contains(L"Wait for service start up timed out"));
    EXPECT_TRUE(created.waitForStart(20000));
    EXPECT_EQ(2, log.count(L"Service status is CNtService"));  // start pending, running
    EXPECT_FALSE(created.waitForStop(500));
    EXPECT_EQ(2, log.count(L"Service status is CNtService"));

    CNtService startOnly = manager.openService(name, SERVICE_START);
    EXPECT_FALSE(startOnly.waitForStop(INFINITE));
    EXPECT_EQ(unsigned(ERROR_ACCESS_DENIED), startOnly.getLastError());
}

// The service goes once its last handle is closed: the wait sees it go.
TEST_F(ServiceFixture, DeleteAndWaitUntilTheLastHandleIsClosed)
{
    CNtService service = create();
    std::thread closer([&] {
        Sleep(500);
        service.close();
    });
    LogCapture log;
    EXPECT_TRUE(manager.deleteServiceAndWait(name));
    closer.join();
    EXPECT_TRUE(log.contains(L"Deleted Service was reopened - going to wait until it is gone"));
    EXPECT_FALSE(manager.serviceExists(name));
}

// A deleted service held open throughout the wait (30 s) is reported as not gone.
TEST_F(ServiceFixture, ADeletedServiceHeldOpenIsReportedNotGone)
{
    CNtService held = create();
    LogCapture log;
    EXPECT_FALSE(manager.deleteServiceAndWait(name));
    EXPECT_TRUE(log.contains(L"Deleted service is not gone."));
    held.close();
    EXPECT_TRUE(manager.deleteServiceAndWait(name));
}

TEST_F(ServiceFixture, DeleteWhileOpenAndCreateAgainWhileMarked)
{
    CNtService service = create();
    // Without the right to delete, the service stays and the error is kept; without a handle, nothing is asked.
    CNtService queryOnly = manager.openService(name, SERVICE_QUERY_STATUS);
    EXPECT_FALSE(queryOnly.deleteService());
    EXPECT_EQ(static_cast<unsigned long>(ERROR_ACCESS_DENIED), queryOnly.getLastError());
    queryOnly.close();
    LogCapture ignored;
    EXPECT_TRUE(CNtService().deleteService());
    EXPECT_TRUE(ignored.contains(L"An attempt to delete a service with an invalid handle was ignored"));

    ASSERT_TRUE(service.deleteService());
    LogCapture log;
    EXPECT_TRUE(service.deleteService());
    EXPECT_TRUE(log.contains(L"Deleted service already marked for deletion"));
    std::thread closer([&] {  // the old instance goes when its last handle does
        Sleep(800);
        service.close();
    });
    CNtService second;
    EXPECT_NO_THROW(second = create());
    closer.join();
    EXPECT_TRUE(second);
    EXPECT_TRUE(log.contains(L"1. attempt to CreateService for service " + name + L" failed: "));
    second.close();
    EXPECT_TRUE(manager.deleteServiceAndWait(name));
    EXPECT_FALSE(manager.serviceExists(name));
}

TEST_F(ServiceFixture, NoHandlesLeakAcrossTheLifecycle)
{
    auto cycle = [&] {
        CNtService service = create();
        service.start(L"");
        service.waitForStart(20000);
        service.stop();
        service.waitForStop(20000);
        service.close();
        manager.deleteServiceAndWait(name);
    };
    cycle();
    const unsigned long before = qkztest::openHandleCount();
    for (int i = 0; i < 3; ++i)
        cycle();
    EXPECT_EQ(before, qkztest::openHandleCount());
}

TEST(ServiceControlManager, ThreeAttemptsWithBackOffThenTheError)
{
    qkztest::FakeRemoteMachine fake;
    fake.managerErrors = {RPC_S_CALL_FAILED, RPC_S_CALL_FAILED, RPC_S_CALL_FAILED};
    LogCapture log;
    DWORD start = GetTickCount();
    EXPECT_EQ(qkztest::failureOf([&] { CServiceControlManager far(L"far-host", SC_MANAGER_CONNECT); }),
              (qkztest::Failure{unsigned(RPC_S_CALL_FAILED), L"Attempt to connect to SCM of far-host failed."}));
    EXPECT_GE(GetTickCount() - start, 600u);  // two back-offs of 333 ms
    EXPECT_EQ(3, fake.managerAttempts);
    EXPECT_TRUE(log.contains(L") " L" on attempt 3 of 3"));

    fake.managerErrors = {ERROR_ACCESS_DENIED};  // then the real manager
    CServiceControlManager second(L"", SC_MANAGER_CONNECT);
    EXPECT_EQ(5, fake.managerAttempts);
}

// With an account and a password, the four rights are asked for; a refused
// one is logged and creation goes on.
TEST_F(ServiceFixture, AccountRightsAreGrantedBeforeCreation)
{
    qkztest::FakeAccountRights rights;
    rights.status[L"SeTcbPrivilege"] = static_cast<long>(0xC0000022);
    std::wstring account = CZelSid::FromProcessUser().GetName();
    LogCapture log;
    CNtService service = manager.createService(name, displayName(L"QKZ with account", name), SERVICE_WIN32_OWN_PROCESS,
                                               SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, binary, L"", account, L"pw");
    EXPECT_TRUE(service);
    EXPECT_EQ((std::vector<std::wstring>{L"SeServiceLogonRight", L"SeInteractiveLogonRight", L"SeTcbPrivilege",
                                         L"SeAssignPrimaryTokenPrivilege"}),
              rights.added);
    EXPECT_TRUE(log.contains(L"Security: allowed " + account + L" to logon as service"));
    EXPECT_TRUE(log.contains(L"Security: failed to allow " + account + L" to act as part of system"));
}

} // namespace
