#include "TestEnv.h"
#include "WineDifferences.h"

#include <QoKivZelUt/FileHasher.h>
#include <QoKivZelUt/MsiProduct.h>
#include <QoKivZelUt/SystemQueries.h>
#include <QoKivZelUt/ZelLog.h>

#include "installer/MsiRetry.h"

#include <gtest/gtest.h>

#include <shlwapi.h>

#include <map>
#include <memory>
#include <thread>

using ATL::CComBSTR;
using qkztest::LogCapture;
using qkztest::TempDir;

namespace {

const wchar_t kTwoFilesCode[] = L"{6C1A5B2E-3F4D-4E7A-9B21-0D5E8A7C1F01}";
const wchar_t kFirstFileComponent[] = L"{6C1A5B2E-3F4D-4E7A-9B21-0D5E8A7C1F03}";
const wchar_t kSecondFileComponent[] = L"{6C1A5B2E-3F4D-4E7A-9B21-0D5E8A7C1F04}";

WinPath package(const wchar_t* name)
{
    return qkztest::binDir().getParent() / L"test-packages" / name;
}

struct Step {
    int current, total;
    bool waiting;
};

class RecordingCallback : public ZelMsiProduct::IProgressCallback {
public:
    void step(int currentStep, int numberOfSteps, bool waiting) override
    {
        steps.push_back({currentStep, numberOfSteps, waiting});
    }
    int filesInUse(const std::wstring& program, const std::wstring& windowTitle) override
    {
        asked.push_back(program + L"|" + windowTitle);
        auto found = answers.find(program);
        return found == answers.end() ? 0 : found->second;
    }
    std::vector<Step> steps;
    std::vector<std::wstring> asked;
    std::map<std::wstring, int> answers;
};

WinPath componentPath(const wchar_t* component)
{
    wchar_t path[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    INSTALLSTATE state = MsiGetComponentPathW(kTwoFilesCode, component, path, &size);
    return state == INSTALLSTATE_LOCAL ? WinPath(path) : WinPath();
}

std::wstring installedGreeting()
{
    // The package's architecture decides the registry view it writes to.
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\QoKivTests\\TwoFiles", 0, KEY_READ | view, &key) == 0) {
            WinAPI::RegKey guard(key);
            return WinAPI::regQueryValueEx(key, L"Greeting").toString();
        }
    }
    return L"<no key>";
}

void expectStepsCountUpTo(const std::vector<Step>& steps, int total)
{
    ASSERT_FALSE(steps.empty());
    for (size_t i = 0; i < steps.size(); ++i) {
        EXPECT_EQ(static_cast<int>(i) + 1, steps[i].current);
        EXPECT_EQ(total, steps[i].total);
    }
    EXPECT_EQ(total, steps.back().current);
}

// Removes the two-file product even when a test fails half-way, and first
// what a run killed half-way left installed.
struct TwoFilesRemover {
    TwoFilesRemover() { remove(); }
    ~TwoFilesRemover() { remove(); }
    static void remove() { MsiConfigureProductExW(kTwoFilesCode, 0, INSTALLSTATE_ABSENT, L"REBOOT=ReallySuppress"); }
};

void CALLBACK doNothing(ULONG_PTR) {}

// Another "installation": a thread owning the execution mutex for a while
// (and posting WM_APP to the window given once it owns it, then queueing an
// APC to the thread that made the holder, which waits alertably).
class MutexHolder {
public:
    explicit MutexHolder(DWORD holdMs, HWND notify = nullptr)
        : m_owned(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_waiter(OpenThread(THREAD_SET_CONTEXT, FALSE, GetCurrentThreadId())),
          m_thread([this, holdMs, notify] {
              WinAPI::FileHandle mutex(CreateMutexW(nullptr, TRUE, ZelMsiProduct::MSIMutexName));
              SetEvent(m_owned);
              if (notify)
                  PostMessageW(notify, WM_APP, 0, 0);
              Sleep(holdMs / 2);
              QueueUserAPC(doNothing, m_waiter, 0);
              Sleep(holdMs / 2);
              ReleaseMutex(mutex);
          })
    {
        WaitForSingleObject(m_owned, 10000);
    }
    ~MutexHolder() { m_thread.join(); }

private:
    WinAPI::FileHandle m_owned, m_waiter;
    std::thread m_thread;
};

int g_appMessagesServed = 0;

LRESULT CALLBACK countingWindowProc(HWND window, UINT message, WPARAM w, LPARAM l)
{
    g_appMessagesServed += message == WM_APP;
    return DefWindowProcW(window, message, w, l);
}

// The record handler the Installer holds now (asking takes it away).
INSTALLUI_HANDLER_RECORD takeInstallerHandler()
{
    INSTALLUI_HANDLER_RECORD previous = nullptr;
    MsiSetExternalUIRecord(nullptr, 0, nullptr, &previous);
    return previous;
}

} // namespace

// While it waits for another installation, the program's window is served;
// the Installer never keeps the handler of a product object that is gone.
TEST(MsiProduct, WaitServesTheWindowAndTheHandlerGoesWithItsProduct)
{
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = countingWindowProc;
    windowClass.lpszClassName = L"QkzMsiWaitWindow";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowW(L"QkzMsiWaitWindow", L"setup", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(window, CZelTools::GetMyHWND());
    {
        MutexHolder other(700, window);
        ZelMsiProduct waited(package(L"TwoFiles.msi"), {}, nullptr);
        EXPECT_EQ(1, g_appMessagesServed);
    }
    // A pause serves the window too, and lasts its time.
    PostMessageW(window, WM_APP, 0, 0);
    const ULONGLONG pauseStart = GetTickCount64();
    ZelMsiProduct::pauseWhileBusy(150);
    EXPECT_EQ(2, g_appMessagesServed);
    EXPECT_LE(pauseStart + 150, GetTickCount64());
    DestroyWindow(window);
    EXPECT_EQ(nullptr, takeInstallerHandler());

    // The user-interface level is the process's: the caller's comes back with the last product.
    const INSTALLUILEVEL callers = INSTALLUILEVEL_BASIC, lowered = static_cast<INSTALLUILEVEL>(0x102);
    const INSTALLUILEVEL before = MsiSetInternalUI(callers, nullptr);
    const WinPath secondLog = WinPath(ZelGetLogDir()) / L"QoKiv Test Two Files.log";
    {
        auto first = std::make_unique<ZelMsiProduct>(package(L"TenComponents.msi"), std::vector<WinPath>{}, nullptr);
        ZelMsiProduct second(package(L"TwoFiles.msi"), {}, nullptr);
        first.reset();
        EXPECT_NE(nullptr, takeInstallerHandler()) << "the second product's handler stays";
        EXPECT_EQ(lowered, MsiSetInternalUI(INSTALLUILEVEL_NOCHANGE, nullptr));
        // So is the log: the second product's is still written to.
        const uint64_t logged = secondLog.getFileSize();
        second.getProductProperty(L"Manufacturer");
        EXPECT_LT(logged, secondLog.getFileSize());
    }
    EXPECT_EQ(callers, MsiSetInternalUI(before, nullptr));
    const uint64_t logged = secondLog.getFileSize();
    MSIHANDLE opened = 0;
    ASSERT_EQ(0u, MsiOpenPackageExW(package(L"TwoFiles.msi").str().c_str(), MSIOPENPACKAGEFLAGS_IGNOREMACHINESTATE,
                                    &opened));
    ZelUt::MsiHandle session(opened);
    EXPECT_EQ(logged, secondLog.getFileSize()) << "the log ends with the last product";
}

// Run by the test below under a parent named msiexec.exe: the Installer runs
// already, so there is no other installation to wait for and no removal.
TEST(MsiProduct, DISABLED_StartedByTheInstaller)
{
    LogCapture log;
    RecordingCallback callback;
    MutexHolder other(1500);
    ZelMsiProduct product(package(L"TwoFiles.msi"), {}, &callback);
    EXPECT_TRUE(log.contains(L"QoKivSetup has been started by msiexec. Skipping check for concurrent installations."));
    EXPECT_FALSE(log.contains(L"Another installation is already in progress"));
    EXPECT_FALSE(log.contains(L"MSI has to be installed as prerequisite")) << "nothing was waited for";
    product.uninstall();
    EXPECT_TRUE(log.contains(L"MsiAction: QoKivSetup has been started by msiexec. Skipping uninstallation of "
                             L"QoKiv Test Two Files"));
    expectStepsCountUpTo(callback.steps, 4);
}

TEST(MsiProduct, StartedByTheInstallerNeitherWaitsNorRemoves)
{
    TempDir dir;
    const WinPath msiexec = dir.path() / L"msiexec.exe";
    WinAPI::copyFile(qkztest::testChild(), msiexec);
    const std::wstring suite = ZelUt::quoteArgument(WinAPI::getModuleFileName(nullptr).str()) +
                               L" --gtest_also_run_disabled_tests --gtest_filter=MsiProduct.DISABLED_StartedByTheInstaller";
    ZelUt::Process installer(msiexec, L"run " + ZelUt::quoteArgument(suite), WinPath());
    installer.start(true);
    ASSERT_TRUE(installer.wait(120000));
    EXPECT_EQ(0u, installer.getExitCode()) << WinAPI::toUtf8(installer.getOutputA());
    EXPECT_NE(std::wstring::npos, installer.getOutputA().find(L"[  PASSED  ] 1 test."));
}

// A value's quotes stay in the value: none can end it and set other properties.
TEST(MsiProduct, CommandLineQuotesEveryProperty)
{
    EXPECT_EQ(L"REBOOT=ReallySuppress ALLUSERS=1", ZelMsiProduct::getCommandLine({}));
    EXPECT_EQ(L"REBOOT=ReallySuppress ALLUSERS=1 GREETING=\"hello there\" EMPTY=\"\" _a.1=\"x\"\"\" Q=\"\"\"\"\"\"",
              ZelMsiProduct::getCommandLine({{L"GREETING", L"hello there"}, {L"EMPTY", L""}, {L"_a.1", L"x\""}, {L"Q", L"\"\""}}));
    EXPECT_EQ(L"REBOOT=ReallySuppress ALLUSERS=1 DIR=\"C:\\a\"\" ALLUSERS=\"\"\"\" X=\"\"y\"",
              ZelMsiProduct::getCommandLine({{L"DIR", L"C:\\a\" ALLUSERS=\"\" X=\"y"}}));
    for (const wchar_t* name : {L"", L"A B", L"A=B", L"A\"", L"1A", L".A", L"A-B"})
        EXPECT_EQ(qkztest::failureOf([&] { ZelMsiProduct::getCommandLine({{name, L"v"}}); }),
                  (qkztest::Failure{ERROR_INVALID_PARAMETER, L"MsiProduct: '" + std::wstring(name) + L"' is not a property name."}));
    EXPECT_EQ(qkztest::failureOf([&] { ZelMsiProduct::getCommandLine({{L"A", CComBSTR(std::wstring(L"a\0b", 3))}}); }).code,
              DWORD(ERROR_INVALID_PARAMETER));
}

TEST(MsiProduct, InstallCheckAndRemoveARealPackage)
{
    TwoFilesRemover remover;
    LogCapture log;
    RecordingCallback callback;
    const WinPath productLog = WinPath(ZelGetLogDir()) / L"QoKiv Test Two Files.log";
    const WinPath keptLog(productLog.str() + L".bak");
    DeleteFileW(productLog.str().c_str());  // an earlier run's
    DeleteFileW(keptLog.str().c_str());
    ZelMsiProduct product(package(L"TwoFiles.msi"), {}, &callback);
    EXPECT_EQ(std::wstring(kTwoFilesCode), product.getProductCode().m_str);
    EXPECT_EQ(L"QoKiv Test Two Files", std::wstring(product.getProductName().m_str));
    EXPECT_EQ(3u, product.numberOfComponents());
    EXPECT_EQ(4, product.numberOfSteps());
    EXPECT_EQ(73ul, product.getUnpackedSizeInKBytes());  // 3775 + 72000 bytes, a byte short of 74 KiB
    EXPECT_EQ(L"QoKiv Tests", std::wstring(product.getProductProperty(L"Manufacturer").m_str));
    EXPECT_EQ(package(L"TwoFiles.msi"), product.getLocalPath());
    EXPECT_TRUE(log.contains(L"MsiAction: QoKiv Test Two Files contains 3 components"));
    EXPECT_FALSE(product.check());

    {
        // Another installation holds the Installer until shortly after install() starts.
        MutexHolder other(700);
        product.install({{L"GREETING", L"hello \"from\" the suite"}});
    }
    EXPECT_TRUE(product.check());
    EXPECT_TRUE(log.contains(L"MsiAction: product QoKiv Test Two Files is installed"));
    EXPECT_TRUE(log.contains(L"Another installation is already in progress. Waiting for that installation..."));
    EXPECT_TRUE(log.contains(L"Other installation has finished"));
    EXPECT_TRUE(log.contains(L"with commandline 'REBOOT=ReallySuppress ALLUSERS=1 GREETING=\"hello \"\"from\"\" the suite\"'"));
    expectStepsCountUpTo(callback.steps, 4);
    std::wstring waiting;  // the first step waits for the other installation, no later one
    for (const Step& step : callback.steps)
        waiting += step.waiting ? L'w' : L'-';
    EXPECT_EQ(L"w---", waiting);

    EXPECT_EQ(3775u, qkztest::bytesOf(componentPath(kFirstFileComponent)).size());
    EXPECT_EQ(0u, qkztest::bytesOf(componentPath(kFirstFileComponent)).find("first file of the two-file package\r\n"));
    EXPECT_EQ(72000u, qkztest::bytesOf(componentPath(kSecondFileComponent)).size());
    EXPECT_EQ(L"hello \"from\" the suite", installedGreeting());

    ASSERT_TRUE(productLog.exists());
    EXPECT_GT(productLog.getFileSize(), 0u);

    // The installed product opens by its code, once another installation has ended.
    std::unique_ptr<MutexHolder> other = std::make_unique<MutexHolder>(400);
    ZelMsiProduct installed(CComBSTR(kTwoFilesCode), nullptr);
    other.reset();
    EXPECT_EQ(2, log.count(L"Other installation has finished"));
    EXPECT_FALSE(log.contains(L"waitForMutex() caught exception")) << "an APC does not end the wait";
    EXPECT_TRUE(keptLog.exists()) << "its own log keeps the installation's";
    EXPECT_EQ(L"QoKiv Test Two Files", std::wstring(installed.getProductName().m_str));
    EXPECT_EQ(3u, installed.numberOfComponents());

    WinPath firstFile = componentPath(kFirstFileComponent);
    product.uninstall();
    EXPECT_FALSE(product.check());
    EXPECT_FALSE(firstFile.exists());
    EXPECT_EQ(L"<no key>", installedGreeting());
    EXPECT_TRUE(log.contains(L"MsiAction: deinstallation of product QoKiv Test Two Files ends"));

    // Removing what is not installed is reported, not thrown.
    product.uninstall();
    EXPECT_TRUE(log.contains(L"MsiAction: product QoKiv Test Two Files was not installed"));
    EXPECT_EQ(qkztest::failureOf([&] { ZelMsiProduct gone(CComBSTR(kTwoFilesCode), nullptr); }).code, static_cast<unsigned long>(ERROR_UNKNOWN_PRODUCT));
}

TEST(MsiProduct, FailingPackageCarriesTheInstallersText)
{
    LogCapture log;
    qkztest::TempDir dir;
    const WinPath refused = dir.path() / L"Refused.msi";
    WinAPI::copyFile(package(L"Refused.msi"), refused);
    ZelMsiProduct product(refused, {}, nullptr);
    qkztest::Failure failure = qkztest::failureOf([&] { product.install({}); });
    EXPECT_EQ(static_cast<unsigned long>(ERROR_INSTALL_FAILURE), failure.code);
    EXPECT_EQ(0u, failure.message.find(L"::MsiInstallProduct() failed: "));
    EXPECT_NE(std::wstring::npos, failure.message.find(L"QoKiv test condition refuses this machine")) << failure;
    EXPECT_TRUE(log.contains(L"MsiAction: installation of product QoKiv Test Refused failed: 1603"));
    EXPECT_FALSE(log.contains(L"waitForMutex() caught exception")) << "no other installation is no failure";
    EXPECT_FALSE(product.check());
    // A later failure without a text of its own does not carry the earlier one.
    WinAPI::deleteFile(refused);
    failure = qkztest::failureOf([&] { product.install({}); });
    EXPECT_EQ((qkztest::Failure{qkztest::missingPackageInstallCode(), L"::MsiInstallProduct() failed: "}), failure);
}

INT WINAPI IgnoreEveryRecord(void*, UINT, MSIHANDLE)
{
    return 0;
}

TEST(MsiProduct, CorruptOrMissingPackagesAreRefused)
{
    TempDir dir;
    std::string bytes = qkztest::bytesOf(package(L"TwoFiles.msi"));
    std::string flipped = bytes;
    for (size_t i = 0; i < 512; ++i)
        flipped[i] ^= 0x5A;  // the compound-file header
    const std::pair<const wchar_t*, std::string> corrupt[] = {
        {L"truncated.msi", bytes.substr(0, 4096)},
        {L"header.msi", flipped},
        {L"text.msi", "not a package at all"},
        {L"empty.msi", ""},
    };
    // A constructor that throws leaves the Installer's record handler as it was.
    INSTALLUI_HANDLER_RECORD ours = &IgnoreEveryRecord;
    MsiSetExternalUIRecord(ours, 0, nullptr, nullptr);
    EXPECT_THROW(ZelMsiProduct(dir.path() / L"missing.msi", {}, nullptr), CZelException);
    const unsigned long handlesBefore = qkztest::openHandleCount();
    for (const auto& c : corrupt) {
        WinPath path = dir.write(c.first, c.second);
        qkztest::Failure failure = qkztest::failureOf([&] { ZelMsiProduct product(path, {}, nullptr); });
        EXPECT_NE(0ul, failure.code) << failure;
        EXPECT_EQ(0u, failure.message.find(L"::MsiOpenPackageEx(" + path.str() + L") failed: ")) << failure;
    }
    EXPECT_EQ(handlesBefore, qkztest::openHandleCount());
    INSTALLUI_HANDLER_RECORD registered = nullptr;
    MsiSetExternalUIRecord(nullptr, 0, nullptr, &registered);
    EXPECT_EQ(ours, registered);

    // A package without a File table opens; its size is a failed query, not a size of 0.
    const WinPath fileless = dir.path() / L"fileless.msi";
    WinAPI::copyFile(package(L"TwoFiles.msi"), fileless);
    {
        MSIHANDLE database = 0, drop = 0;
        ASSERT_EQ(0u, MsiOpenDatabaseW(fileless.str().c_str(), MSIDBOPEN_TRANSACT, &database));
        ZelUt::MsiHandle databaseGuard(database);
        ASSERT_EQ(0u, MsiDatabaseOpenViewW(database, L"DROP TABLE `File`", &drop));
        ZelUt::MsiHandle dropGuard(drop);
        ASSERT_EQ(0u, MsiViewExecute(drop, 0));
        ASSERT_EQ(0u, MsiDatabaseCommit(database));
    }
    ZelMsiProduct withoutFiles(fileless, {}, nullptr);
    qkztest::Failure noSize = qkztest::failureOf([&] { withoutFiles.getUnpackedSizeInKBytes(); });
    EXPECT_EQ(DWORD(ERROR_BAD_QUERY_SYNTAX), noSize.code) << noSize;
    EXPECT_EQ(0u, noSize.message.find(L"::MsiDatabaseOpenView() failed: ")) << noSize;
}

// 1618 is tried again at once after a wait for the other installation; where
// that wait cannot be done, after growing pauses, and given up after a bound.
TEST(MsiProduct, BusyInstallerIsRetriedWithBackOffAndABound)
{
    using ZelUt::detail::retryWhileInstallerBusy;
    std::vector<DWORD> pauses;
    auto pause = [&](DWORD ms) { pauses.push_back(ms); };
    int calls = 0;
    UINT result = retryWhileInstallerBusy([&] { return ++calls < 4 ? ERROR_INSTALL_ALREADY_RUNNING : ERROR_SUCCESS; },
                                          [] { return true; }, pause);
    EXPECT_EQ(UINT(ERROR_SUCCESS), result);
    EXPECT_EQ(4, calls);
    EXPECT_TRUE(pauses.empty());

    calls = 0;
    result = retryWhileInstallerBusy([&] { ++calls; return UINT(ERROR_INSTALL_ALREADY_RUNNING); },
                                     [] { return false; }, pause, 20000);
    EXPECT_EQ(UINT(ERROR_INSTALL_ALREADY_RUNNING), result);
    EXPECT_EQ((std::vector<DWORD>{250, 500, 1000, 2000, 4000, 5000, 5000, 2250}), pauses);
    EXPECT_EQ(9, calls);
}

// The handler the product registered with the Installer, driven with records
// of our own: files in use, progress, and a message type without a row.
TEST(MsiProduct, RecordHandlerAnswersAndCountsSteps)
{
    LogCapture log;
    RecordingCallback first, second;
    ZelMsiProduct product(package(L"TenComponents.msi"), {}, &first);
    product.registerCallback(&second);
    ASSERT_EQ(10u, product.numberOfComponents());
    INSTALLUI_HANDLER_RECORD handler = takeInstallerHandler();
    ASSERT_NE(nullptr, handler);
    auto send = [&](UINT type, std::vector<int> fields, ZelMsiProduct* to = nullptr) {
        ZelUt::MsiHandle record(MsiCreateRecord(static_cast<UINT>(fields.size())));
        for (size_t i = 0; i < fields.size(); ++i)
            MsiRecordSetInteger(record, static_cast<UINT>(i + 1), fields[i]);
        return handler(to ? to : &product, type, record);
    };

    ZelUt::MsiHandle programs(MsiCreateRecord(4));
    MsiRecordSetStringW(programs, 1, L"editor.exe");
    MsiRecordSetStringW(programs, 2, L"Untitled - Editor");
    MsiRecordSetStringW(programs, 3, L"viewer.exe");
    second.answers[L"viewer.exe"] = IDRETRY;
    EXPECT_EQ(IDRETRY, handler(&product, INSTALLMESSAGE_FILESINUSE | MB_ICONWARNING, programs));
    EXPECT_EQ((std::vector<std::wstring>{L"editor.exe|Untitled - Editor", L"viewer.exe|(null)"}), first.asked);
    EXPECT_EQ(first.asked, second.asked);
    EXPECT_TRUE(log.contains(L"MsiAction: program <viewer.exe> with window title <(null)> has to be stopped"));
    EXPECT_TRUE(log.contains(L"MsiAction: callback returned IDRETRY for handling program <viewer.exe>"));
    first.answers[L"editor.exe"] = 42;
    first.asked.clear();
    EXPECT_EQ(42, handler(&product, INSTALLMESSAGE_FILESINUSE, programs));
    EXPECT_EQ(1u, first.asked.size());  // decided for the first program: the second is not asked
    EXPECT_TRUE(log.contains(L"MsiAction: callback returned 42 for handling program <editor.exe>"));
    ZelUt::MsiHandle none(MsiCreateRecord(0));
    EXPECT_EQ(7, handler(&product, INSTALLMESSAGE_FILESINUSE, none));
    // Whatever a callback throws stays on this side of the Installer.
    struct Throwing : RecordingCallback {
        int filesInUse(const std::wstring&, const std::wstring&) override { throw 42; }
    } throwing;
    ZelMsiProduct asking(package(L"Refused.msi"), {}, &throwing);
    EXPECT_EQ(0, handler(&asking, INSTALLMESSAGE_FILESINUSE, programs));
    EXPECT_TRUE(log.contains(L"failed: an exception of unknown type"));

    // Script generation counts nothing; its end is one step.
    EXPECT_EQ(IDOK, send(INSTALLMESSAGE_PROGRESS, {0, 500, 0, 1}));
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(IDOK, send(INSTALLMESSAGE_PROGRESS, {2, 100, 0, 0}));
    EXPECT_TRUE(first.steps.empty());
    send(INSTALLMESSAGE_PROGRESS, {0, 1000, 0, 0});
    ASSERT_EQ(1u, first.steps.size());
    // 1000 ticks over 10 components: a step per 100 ticks, never past 11;
    // action information with field 2 set moves the bar by field 1 too.
    for (int i = 0; i < 5; ++i)
        send(INSTALLMESSAGE_PROGRESS, {1, 100, 1, 0});
    const size_t afterActionData = first.steps.size();
    for (int i = 0; i < 5; ++i)
        send(INSTALLMESSAGE_PROGRESS, {2, 100, 0, 0});
    EXPECT_EQ(afterActionData + 5, first.steps.size()) << "100 ticks are 100 ticks, whichever record brings them";
    EXPECT_GE(afterActionData, 5u);
    for (int i = 0; i < 50; ++i)
        send(INSTALLMESSAGE_PROGRESS, {2, 100, 0, 0});
    expectStepsCountUpTo(first.steps, 11);
    EXPECT_EQ(11u, second.steps.size());
    // Fewer ticks than components must not stall the handler.
    send(INSTALLMESSAGE_PROGRESS, {0, 3, 0, 0});
    EXPECT_EQ(IDOK, send(INSTALLMESSAGE_PROGRESS, {2, 5000, 0, 0}));
    // A product of one component counts its steps all the same, in a phase of one tick too.
    RecordingCallback single;
    ZelMsiProduct one(package(L"Refused.msi"), {}, &single);
    ASSERT_EQ(1u, one.numberOfComponents());
    for (const std::vector<int>& fields : std::vector<std::vector<int>>{{0, 500, 0, 1}, {0, 1, 0, 0}, {2, 150, 0, 0}})
        send(INSTALLMESSAGE_PROGRESS, fields, &one);
    EXPECT_EQ(2u, single.steps.size());

    EXPECT_EQ(0, send(0x0F000000, {1}));
    EXPECT_TRUE(log.contains(L"No message handler installed for messageType 251658240"));
    EXPECT_EQ(IDOK, send(INSTALLMESSAGE_ACTIONSTART, {}));
    EXPECT_EQ(0, send(INSTALLMESSAGE_INFO, {}));
}

TEST(MsiProduct, RecordFieldsAreRangeChecked)
{
    ZelUt::MsiHandle handle(MsiCreateRecord(2));
    MsiRecordSetStringW(handle, 0, L"[1] and [2]");
    MsiRecordSetStringW(handle, 1, L"one");
    MsiRecordSetInteger(handle, 2, 2);
    ZelMsiRecord record(handle);
    EXPECT_EQ(2u, record.fieldCount());
    EXPECT_EQ(L"one", record[0].asString());
    EXPECT_EQ(2, record[1].asInteger());
    EXPECT_EQ(L"one and 2", record.format());
    EXPECT_EQ(qkztest::failureOf([&] { record[2]; }),
              (qkztest::Failure{2ul, L"ZelMsiRecord::operator[] access out of range"}));
}

// A package on a network drive is installed from a local copy named by its CRC-32.
TEST(MsiProduct, NetworkPackageIsCopiedLocally)
{
    const wchar_t share[] = L"N:\\";
    if (!PathIsNetworkPathW(share) || !WinPath(share).exists())
        GTEST_SKIP() << "no network drive N: in this prefix (scripts/setup.sh maps one)";
    const qkztest::MadeDirectory made(WinPath(share) / qkztest::uniqueName(L"share"));
    const WinPath& folder = made.path();
    WinAPI::copyFile(package(L"TwoFiles.msi"), folder / L"TwoFiles.msi");
    std::string readme = "read me first";
    WinAPI::writeFile(WinAPI::createFile(folder / L"readme.txt"), readme);

    wchar_t crcName[9];
    swprintf(crcName, 9, L"%08lx", ZelUt::crc32(0, qkztest::bytesOf(package(L"TwoFiles.msi")).data(),
                                                 qkztest::bytesOf(package(L"TwoFiles.msi")).size()));
    // What is found under the copy's name already (a copy cut short, or
    // planted by another account) is neither used nor touched.
    const qkztest::MadeDirectory madePlanted(WinAPI::getTempPath() / crcName);
    const WinPath& planted = madePlanted.path();
    WinAPI::writeFile(WinAPI::createFile(planted / L"TwoFiles.msi"), std::string("planted"));
    const WinPath localDir(planted.str() + L".1");
    EXPECT_EQ(qkztest::failureOf([&] { ZelMsiProduct(folder / L"TwoFiles.msi", {folder / L"gone.txt"}, nullptr); }).code,
              static_cast<unsigned long>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(localDir.exists()) << "a copy that failed half-way is removed";

    TwoFilesRemover remover;
    LogCapture log;
    ZelMsiProduct product(folder / L"TwoFiles.msi", {folder / L"readme.txt"}, nullptr);
    EXPECT_EQ(localDir / L"TwoFiles.msi", product.getLocalPath());
    EXPECT_EQ(readme, qkztest::bytesOf(localDir / L"readme.txt"));
    // A service's temporary directory lets every user add files: nobody but this
    // account, the system and the administrators may touch the copy.
    EXPECT_EQ(L"", qkztest::daclUnlessPrivate(localDir));
    EXPECT_TRUE(log.contains(L"MsiProduct: copying " + (folder / L"readme.txt").str() + L" to "));

    product.install({});
    EXPECT_TRUE(product.check());
    EXPECT_FALSE(localDir.exists());
    EXPECT_TRUE(log.contains(L"Deleted local copy of MSI file at " + localDir.str()));
    product.uninstall();
    EXPECT_FALSE(product.check());
    EXPECT_EQ("planted", qkztest::bytesOf(planted / L"TwoFiles.msi"));

    // A network package that cannot be read is not copied: the constructor says so.
    EXPECT_EQ(qkztest::failureOf([&] { ZelMsiProduct missing(folder / L"missing.msi", {}, nullptr); }),
              (qkztest::Failure{ERROR_READ_FAULT, L"Could not read package " + (folder / L"missing.msi").str() +
                                                      L" to copy it locally"}));
}
