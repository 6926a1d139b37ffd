#include "FakeApis.h"
#include "TestEnv.h"
#include "foundation/ComPtr.h"
#include "process/SessionApi.h"

#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/SystemQueries.h>

#include <exdisp.h>
#include <objbase.h>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <stdexcept>
#include <thread>

using qkztest::LogCapture;
using ZelUt::Process;

namespace {

const wchar_t kWinlogon[] = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon";

std::wstring readShellValue()
{
    wchar_t value[MAX_PATH] = {};
    DWORD size = sizeof(value);
    RegGetValueW(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

void writeShellValue(const std::wstring& shell)
{
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, kWinlogon, L"Shell", REG_SZ, shell.c_str(),
                    static_cast<DWORD>((shell.size() + 1) * sizeof(wchar_t)));
}

// A run killed while a ShellValue lived left a copy of the test child as the
// prefix's shell: put back the prefix's own before any test, or every later
// run would find no user at the desktop.
const bool g_shellRepaired = [] {
    if (WinPath(readShellValue()).getFileName().str().compare(0, 15, L"qkz_interactive") == 0)
        writeShellValue(L"explorer.exe");
    return true;
}();

// Points the Winlogon "Shell" value elsewhere while it lives.
class ShellValue {
public:
    explicit ShellValue(const std::wstring& shell) : m_previous(readShellValue()) { writeShellValue(shell); }
    ~ShellValue() { writeShellValue(m_previous); }
    ShellValue(const ShellValue&) = delete;
    ShellValue& operator=(const ShellValue&) = delete;

private:
    std::wstring m_previous;
};

// The test child under a name of its own, so that attaching by image name
// finds only the process this test started.
class ChildCopy {
public:
    ChildCopy() : m_path(qkztest::binDir() / (qkztest::uniqueName(L"qkz_interactive") + L".exe"))
    {
        CopyFileW(qkztest::testChild().str().c_str(), m_path.str().c_str(), FALSE);
    }
    ~ChildCopy()
    {
        for (int i = 0; i < 50 && !DeleteFileW(m_path.str().c_str()); ++i)
            Sleep(100);  // until the copy's process has ended
    }
    const WinPath& path() const { return m_path; }

private:
    WinPath m_path;
};

// A logged-on desktop whose shell is a running copy of the test child: Wine's
// own shell comes and goes with its desktop, so no test relies on it.
class RunningShell {
public:
    RunningShell() : m_program(m_copy.path(), L"sleep 60000", WinPath()), m_value(m_copy.path().str())
    {
        m_program.start(true);
    }
    ~RunningShell() { m_program.terminate(0, false); }
    unsigned long processId() const { return m_program.getProcessId(); }

private:
    ChildCopy m_copy;
    Process m_program;
    ShellValue m_value;
};

// A new thread has not initialised COM, so the shell automation start fails there.
void onThreadWithoutCom(const std::function<void()>& body)
{
    std::thread(body).join();
}

bool threadImpersonates()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return GetLastError() != ERROR_NO_TOKEN;
    CloseHandle(token);
    return true;
}

// The identity of the thread's token (zero when it has none): the same token
// put back has the same id.
ULONGLONG threadTokenId()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return 0;
    TOKEN_STATISTICS statistics = {};
    DWORD size = 0;
    GetTokenInformation(token, TokenStatistics, &statistics, sizeof statistics, &size);
    CloseHandle(token);
    return (ULONGLONG(statistics.TokenId.HighPart) << 32) | statistics.TokenId.LowPart;
}

// Runs the body on a thread without COM, once as itself and once impersonating
// itself; the thread must come back with what it had.
void inBothStartingStates(const std::function<void()>& body)
{
    for (bool impersonating : {false, true}) {
        onThreadWithoutCom([&] {
            if (impersonating)
                ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
            const ULONGLONG before = threadTokenId();
            body();
            EXPECT_EQ(before, threadTokenId()) << (impersonating ? "impersonating" : "as itself");
            RevertToSelf();
        });
    }
}

// Wine's desktop shell starts with the first window of the prefix and serves
// its window list a little later: the automation test waits for that first.
bool shellWindowsServed()
{
    GetDesktopWindow();
    for (int attempt = 0; attempt < 100; ++attempt, Sleep(200)) {
        ZelUt::detail::ComPtr<IShellWindows> windows;
        if (SUCCEEDED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                       windows.putVoid())))
            return true;
    }
    return false;
}

TEST(InteractiveStart, ShellAutomationStartsTheProgramWithItsArgumentsAndAttaches)
{
    ZelUt::detail::ComApartment com;
    ASSERT_TRUE(shellWindowsServed()) << "the desktop shell of the prefix serves no window list";
    ChildCopy copy;
    qkztest::TempDir dir;
    const WinPath marker = dir.path() / L"held by the child";
    const std::wstring event = qkztest::uniqueName(L"qkz.interactive");
    WinAPI::FileHandle ready(CreateEventW(nullptr, TRUE, FALSE, event.c_str()));
    // Another instance of the program, running already, is not taken for the one started.
    ZelUt::AutoTerminateProcess earlier(copy.path(), L"sleep 30000", WinPath());
    earlier.start(true);
    // Nor are programs of the same file name from elsewhere, started all the while.
    const WinPath decoy = dir.path() / copy.path().getFileName();
    ASSERT_TRUE(CopyFileW(copy.path().str().c_str(), decoy.str().c_str(), TRUE));
    std::vector<std::unique_ptr<qkztest::Child>> decoys;
    std::atomic<bool> started{false};
    std::thread spawner([&] {
        while (!started && decoys.size() < 40)
            decoys.push_back(std::make_unique<qkztest::Child>(L"sleep 30000", false, decoy));
    });
    // A command line: split, and joined again with the blanks intact.
    Process p(L"\"" + copy.path().str() + L"\" hold \"" + marker.str() + L"\" 3000 " + event);
    LogCapture log;
    const bool startedAsUser = p.startAsInteractiveUser(false);
    started = true;
    spawner.join();
    ASSERT_TRUE(startedAsUser);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, 30000));
    EXPECT_TRUE(marker.exists());
    ASSERT_TRUE(p);
    EXPECT_NE(0u, p.getProcessId());
    EXPECT_NE(earlier.getProcessId(), p.getProcessId());
    for (const auto& other : decoys)
        ASSERT_NE(GetProcessId(other->handle()), p.getProcessId()) << "a program of the same name from elsewhere";
    EXPECT_TRUE(p.wait(30000));
    EXPECT_EQ(0u, p.getExitCode());
    EXPECT_TRUE(log.contains(L"> as interactive user"));
    EXPECT_FALSE(log.contains(L"Starting via explorer automation failed: "));

    // A script runs in a process of another image: none is found, and the object
    // keeps no process from before either.
    const WinPath script = dir.write(L"ends at once.bat", "@exit 0\r\n");
    Process scripted(script, WinPath());
    scripted.attach(GetCurrentProcessId(), SYNCHRONIZE);
    ASSERT_TRUE(scripted.startAsInteractiveUser(true));
    EXPECT_FALSE(static_cast<bool>(scripted));
    EXPECT_EQ(0u, scripted.getProcessId());
}

// Without the shell's automation the program starts with the token of the
// running shell program, here a program of the test's own.
TEST(InteractiveStart, FallsBackToTheShellsTokenAndCollectsOutput)
{
    RunningShell shell;
    inBothStartingStates([&] {
        Process p(qkztest::testChild(), L"print fallback-output", qkztest::binDir());
        LogCapture log;
        ASSERT_TRUE(p.startAsInteractiveUser(true));
        ASSERT_TRUE(p.wait(30000));
        EXPECT_EQ(L"fallback-output", p.getOutputA());
        EXPECT_TRUE(log.contains(L"Starting via explorer automation failed: "));
        EXPECT_TRUE(log.contains(L"CoCreateInstance(ShellWindows) failed"));
        EXPECT_TRUE(log.contains(L"> with working directory " + qkztest::binDir().str() + L" as interactive user"));
        // It inherits its pipes, not a handle the caller made inheritable.
        SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
        WinAPI::FileHandle event(CreateEventW(&inheritable, TRUE, FALSE, nullptr));
        Process setter(qkztest::testChild(), L"setevent " + std::to_wstring(reinterpret_cast<ULONG_PTR>(event.get())),
                       WinPath());
        ASSERT_TRUE(setter.startAsInteractiveUser(true));
        ASSERT_TRUE(setter.wait(30000));
        EXPECT_EQ(1ul, setter.getExitCode());
        // It gets the user's environment (here the same user's), not this process's.
        SetEnvironmentVariableW(L"QKZ_ONLY_HERE", L"inherited");
        Process echo(WinAPI::getSystemDirectory() / L"cmd.exe", L"/c echo [%QKZ_ONLY_HERE%][%USERPROFILE%]", WinPath());
        ASSERT_TRUE(echo.startAsInteractiveUser(true));
        SetEnvironmentVariableW(L"QKZ_ONLY_HERE", nullptr);
        ASSERT_TRUE(echo.wait(30000));
        EXPECT_EQ(L"[%QKZ_ONLY_HERE%][" + WinAPI::getEnvironmentVariable(L"USERPROFILE") + L"]\r\n", echo.getOutputA());
    });
}

TEST(InteractiveStart, NoLogonSessionAddressesAndMissingPrograms)
{
    qkztest::TempDir dir;
    {
        ShellValue shell(L"qkz-no-such-shell.exe");
        LogCapture log;
        Process address(std::wstring(L"http://localhost/qkz index"));
        EXPECT_FALSE(address.startAsInteractiveUser(false));  // an address is not checked for existence
        Process browser(ATL::CComBSTR(L"https://localhost/"));
        EXPECT_FALSE(browser.startAsInteractiveUserOpenBrowser());
        EXPECT_TRUE(log.contains(L"There seems to be no interactive user"));
        EXPECT_FALSE(log.contains(L"Executing <"));
        EXPECT_FALSE(address);
    }
    const WinPath missing = dir.path() / L"missing.exe";
    auto expectMissing = [&](const std::function<void()>& start, const std::wstring& text) {
        EXPECT_EQ(qkztest::failureOf([&] { start(); }), (qkztest::Failure{ERROR_FILE_NOT_FOUND, text}));
    };
    Process byPath(missing, L"a b", WinPath());
    expectMissing([&] { byPath.startAsInteractiveUser(false); },
                  L"startAsInteractiveUser() failed: '" + missing.str() + L"' does not exist.");
    expectMissing([&] { byPath.startElevated(false); }, L"startElevated() failed: '" + missing.str() + L"' does not exist.");
    Process byCommandLine(L"\"" + missing.str() + L"\" a");
    expectMissing([&] { byCommandLine.startAsInteractiveUser(true); },
                  L"startAsInteractiveUser() failed: '" + missing.str() + L"' does not exist.");
    EXPECT_TRUE(qkztest::filesIn(dir.path()).empty());

    // No program is not this program: nothing starts, nothing attaches.
    for (Process empty : {Process(std::wstring()), Process(WinPath()), Process(ATL::CComBSTR(L""))}) {
        expectMissing([&] { empty.startAsInteractiveUser(false); }, L"startAsInteractiveUser() failed: '' does not exist.");
        expectMissing([&] { empty.startElevated(false); }, L"startElevated() failed: '' does not exist.");
        EXPECT_FALSE(empty.open(PROCESS_QUERY_INFORMATION));
    }
    Process noTarget(ATL::CComBSTR(L""));
    expectMissing([&] { noTarget.startAsInteractiveUserOpenBrowser(); },
                  L"startAsInteractiveUserOpenBrowser() failed: '' does not exist.");
}

// Each step of the token start failing, or throwing: the exception says which,
// and the thread does not go on impersonating.
struct FailingTokenSteps : ZelUt::SessionApi {
    enum Step { None, Open, Duplicate, Impersonate, Create, CreateThrows } failAt = None;
    bool impersonatingAtCreate = false;
    bool openProcessToken(HANDLE process, unsigned long access, HANDLE& token) override
    {
        return fail(Open) && SessionApi::openProcessToken(process, access, token);
    }
    bool duplicatePrimaryToken(HANDLE token, HANDLE& duplicate) override
    {
        return fail(Duplicate) && SessionApi::duplicatePrimaryToken(token, duplicate);
    }
    bool impersonateLoggedOnUser(HANDLE token) override
    {
        return fail(Impersonate) && SessionApi::impersonateLoggedOnUser(token);
    }
    bool createProcessAsUser(HANDLE, const wchar_t*, wchar_t*, unsigned long, void*, const wchar_t*, STARTUPINFOW&,
                             PROCESS_INFORMATION&) override
    {
        impersonatingAtCreate = threadImpersonates();
        if (failAt == CreateThrows)
            throw std::runtime_error("out of the seam");
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    bool fail(Step step)
    {
        if (failAt != step)
            return true;
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
};

TEST(InteractiveStart, EveryFailingTokenStepLeavesTheThreadAsItWas)
{
    RunningShell shell;
    FailingTokenSteps fake;
    qkztest::InFront<ZelUt::SessionApi> inFront(fake);
    const struct {
        FailingTokenSteps::Step step;
        unsigned long code;
        std::wstring text;
    } cases[] = {
        {FailingTokenSteps::Open, ERROR_ACCESS_DENIED, L"Could not open process token of " + CZelTools::getInteractiveShellPath().str()},
        {FailingTokenSteps::Duplicate, ERROR_ACCESS_DENIED, L"Could not duplicate shell token."},
        {FailingTokenSteps::Impersonate, ERROR_ACCESS_DENIED, L"ImpersonateLoggedOnUser() failed."},
        {FailingTokenSteps::Create, ERROR_NOT_ENOUGH_MEMORY, L"CreateProcessAsUser() failed"},
    };
    const DWORD handlesBefore = qkztest::openHandleCount();
    for (const auto& c : cases) {
        fake.failAt = c.step;
        inBothStartingStates([&] {
            Process p(qkztest::testChild(), L"exit 3", WinPath());
            EXPECT_EQ(qkztest::failureOf([&] { p.startAsInteractiveUser(true); }), (qkztest::Failure{c.code, c.text}));
            EXPECT_FALSE(p);
        });
    }
    EXPECT_TRUE(fake.impersonatingAtCreate);
    fake.failAt = FailingTokenSteps::CreateThrows;
    inBothStartingStates([&] {
        Process p(qkztest::testChild(), L"exit 3", WinPath());
        EXPECT_THROW(p.startAsInteractiveUser(true), std::runtime_error);
    });
    EXPECT_LE(qkztest::openHandleCount(), handlesBefore + 2);  // neither tokens nor pipe ends left behind
}

// A shell of the same file runs for every user of a terminal server: the token
// is the one of this program's session, or, from the services' session 0, of
// the console's; never another user's.
struct ShellsInSessions : FailingTokenSteps {
    std::map<unsigned long, unsigned long> sessions;  // process id -> session
    unsigned long tokenOf = 0;
    bool processIdToSessionId(unsigned long pid, unsigned long& session, unsigned long& error) override
    {
        auto found = sessions.find(pid);
        if (found == sessions.end())
            return SessionApi::processIdToSessionId(pid, session, error);
        session = found->second;
        return true;
    }
    bool openProcessToken(HANDLE process, unsigned long access, HANDLE& token) override
    {
        tokenOf = GetProcessId(process);
        return FailingTokenSteps::openProcessToken(process, access, token);
    }
};

TEST(InteractiveStart, TheTokenIsTheShellsOfTheInteractiveSession)
{
    RunningShell shell;
    const WinPath shellPath = CZelTools::getInteractiveShellPath();
    ZelUt::AutoTerminateProcess other(shellPath, L"sleep 60000", WinPath());
    other.start(true);
    ShellsInSessions fake;
    fake.failAt = FailingTokenSteps::Open;
    qkztest::InFront<ZelUt::SessionApi> inFront(fake);
    const unsigned long self = GetCurrentProcessId(), first = shell.processId(), second = other.getProcessId();
    const unsigned long console = WTSGetActiveConsoleSessionId(), elsewhere = console + 1;
    const struct {
        unsigned long own, firstIn, secondIn, taken;
    } cases[] = {
        {0, elsewhere, console, second}, {0, console, elsewhere, first},
        {elsewhere, console, elsewhere, second}, {0, elsewhere, elsewhere + 1, 0},
    };
    for (const auto& c : cases) {
        fake.sessions = {{self, c.own}, {first, c.firstIn}, {second, c.secondIn}};
        fake.tokenOf = 0;
        onThreadWithoutCom([&] {
            Process p(qkztest::testChild(), L"exit 3", WinPath());
            EXPECT_EQ((c.taken ? L"Could not open process token of " : L"Could not open process handle of ") + shellPath.str(),
                      qkztest::failureOf([&] { p.startAsInteractiveUser(true); }).message);
        });
        EXPECT_EQ(c.taken, fake.tokenOf) << "own session " << c.own;
    }
}

// The real call refusing a program that is not one.
TEST(InteractiveStart, TokenStartReportsTheSystemsRefusal)
{
    RunningShell shell;
    qkztest::TempDir dir;
    const WinPath garbage = dir.write(L"garbage.exe", "MZ this is no program");
    onThreadWithoutCom([&] {
        Process p(garbage, L"", WinPath());
        const unsigned long before = qkztest::openHandleCount();
        qkztest::Failure failure = qkztest::failureOf([&] { p.startAsInteractiveUser(true); });
        EXPECT_NE(0u, failure.code);
        EXPECT_EQ(L"CreateProcessAsUser() failed", failure.message);
        EXPECT_EQ(before, qkztest::openHandleCount()) << "the pipes of a start that failed are closed";
        EXPECT_FALSE(threadImpersonates());
    });
}

TEST(ElevatedStart, WaitableWithTheExitCodeAndAPlainStartWithoutAccountControl)
{
    Process elevated(qkztest::testChild(), L"exit 7", WinPath());
    elevated.attach(GetCurrentProcessId(), SYNCHRONIZE);  // no id of this one is kept
    LogCapture log;
    elevated.startElevated(true);
    ASSERT_TRUE(elevated);
    EXPECT_EQ(0u, elevated.getProcessId());
    ASSERT_TRUE(elevated.wait(30000));
    EXPECT_EQ(7u, elevated.getExitCode());
    EXPECT_TRUE(log.contains(L"> in elevated mode"));

    struct OldWindows : ZelUt::SessionApi {
        WinAPI::WindowsVersion windowsVersion() override { return WinAPI::WindowsVersion::WindowsXP; }
    } xp;
    Process plain(qkztest::testChild(), L"print plain", WinPath());
    {
        qkztest::InFront<ZelUt::SessionApi> inFront(xp);
        plain.startElevated(true);
    }
    EXPECT_NE(0u, plain.getProcessId());
    ASSERT_TRUE(plain.wait(30000));
    EXPECT_EQ(L"plain", plain.getOutputA());  // pipes, as a plain start has
}

} // namespace
