#include "FakeApis.h"
#include "TestEnv.h"
#include "process/SessionApi.h"

#include <QoKivZelUt/LockedModules.h>
#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/SystemQueries.h>

#include <aclapi.h>

#include <gtest/gtest.h>

#include <map>

namespace {

std::vector<BYTE> blob(const wchar_t* text, unsigned int room = 16)
{
    std::wstring copy(text);
    std::vector<BYTE> buffer(room, 0xEE);
    unsigned int n = CZelTools::StringToBlob(buffer.data(), room, &copy[0]);
    buffer.resize(n <= room ? n : 0);
    return buffer;
}

TEST(CZelTools, HexTextOfBinaryDataBothWays)
{
    BYTE data[] = {0x0A, 0xFF};
    ATL::CComBSTR text = CZelTools::BlobToString(data, 2);
    EXPECT_EQ(L"0x0AFF", std::wstring(text.m_str, text.Length()));
    EXPECT_EQ(nullptr, CZelTools::BlobToString(nullptr, 2).m_str);
    EXPECT_EQ(nullptr, CZelTools::BlobToString(data, 0).m_str);

    const std::pair<const wchar_t*, std::vector<BYTE>> texts[] = {
        {L"0x0aff", {0x0A, 0xFF}}, {L"abc", {0x0A, 0xBC}}, {L"x5", {0x05}},          {L"0x", {0x00}},
        {L"zz", {0x00}},           {L"0X1234", {0x12, 0x34}}, {L"X1234", {0x00, 0x12, 0x34}},  // a lone X is a 0 digit
    };
    for (const auto& t : texts)
        EXPECT_EQ(t.second, blob(t.first)) << WinAPI::toUtf8(t.first);
    std::vector<BYTE> small(1, 0xEE);
    std::wstring text4 = L"0x0aff";
    EXPECT_EQ(2u, CZelTools::StringToBlob(small.data(), 1, &text4[0]));
    EXPECT_EQ(0xEE, small[0]);
    EXPECT_EQ(2u, CZelTools::StringToBlob(nullptr, 0, &text4[0]));
    std::wstring empty;
    empty.push_back(L'\0');
    EXPECT_EQ(0u, CZelTools::StringToBlob(small.data(), 1, &empty[0]));
}

TEST(CZelSystem, ParentProcessOfAChild)
{
    ZelUt::Process child(qkztest::testChild(), L"sleep 20000", WinPath());
    child.start(true);
    WinPath parent;
    unsigned long parentPid = 0;
    EXPECT_EQ(S_OK, CZelSystem::GetParentProcessPathOfPid(child.getProcessId(), parent, parentPid));
    EXPECT_EQ(GetCurrentProcessId(), parentPid);
    // The full path as text: a bare file name would name the same file from the suite's directory.
    EXPECT_EQ(WinAPI::getModuleFileName(nullptr).str(), parent.str());
    child.terminate(0, false);

    WinPath none;
    EXPECT_EQ(E_FAIL, CZelSystem::GetParentProcessPathOfPid(0xFFFFFFF0, none));
    EXPECT_TRUE(none.empty());
    bool service = true;
    CZelSystem::IsRunningAsService(service);  // E_FAIL where the suite's parent is no Windows process
    EXPECT_FALSE(service);
    bool fromMsi = true;
    long first = CZelSystem::IsStartedFromMsiExec(fromMsi);
    if (SUCCEEDED(first)) {
        EXPECT_FALSE(fromMsi);
    }

    qkztest::LogCapture log;
    CZelSystem::broadcastEnvironmentChange();
    EXPECT_TRUE(log.contains(L"Broadcasting environment change to all windows returned"));
}

TEST(CZelTools, OwnWindowShellAndAdminParent)
{
    HWND window = CreateWindowW(L"STATIC", L"mine", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, window);
    EXPECT_EQ(window, CZelTools::GetMyHWND());
    DestroyWindow(window);

    WinPath shell = CZelTools::getInteractiveShellPath();
    EXPECT_FALSE(shell.empty());
    EXPECT_EQ(ZelLockedModuleInfo::IsExeRunning(shell) == S_OK, CZelTools::IsAnyLogonSessionActive());

    struct Recorder : CZelTools {
        mutable int waited = 0;
        bool admin = false;
        void waitForParent(const ProcessInfo&) const override { ++waited; }
        bool parentIsKivSetupAdmin(const ProcessInfo&) const override { return admin; }
    } tools;
    tools.waitForKivSetupAdmin();
    EXPECT_EQ(0, tools.waited);
    tools.admin = true;
    EXPECT_NO_THROW(tools.waitForKivSetupAdmin());  // an unknown parent is no error
    WinPath parent;
    bool parentKnown = CZelSystem::GetParentProcessPath(parent) == S_OK;
    EXPECT_EQ(parentKnown ? 1 : 0, tools.waited);
}

// Answers from tables; stands in for the terminal-services calls.
struct FakeSessions : ZelUt::SessionApi {
    std::map<unsigned long, int> directFailuresLeft;  // pid -> failures before an answer
    std::map<unsigned long, unsigned long> sessions;
    std::vector<WtsProcess> wts;
    bool terminal = false;
    bool processIdToSessionId(unsigned long pid, unsigned long& session, unsigned long& error) override
    {
        auto s = sessions.find(pid);
        if (s == sessions.end() || directFailuresLeft[pid]-- > 0) {
            error = ERROR_ACCESS_DENIED;
            return false;
        }
        session = s->second;
        return true;
    }
    size_t processCount = 3;  // the ids are 4, 100, 200 and then more
    unsigned long enumError = 0;
    bool enumProcesses(std::vector<unsigned long>& pids, unsigned long& needed, unsigned long& error) override
    {
        if (enumError) {
            error = enumError;
            return false;
        }
        if (pids.size() <= processCount) {  // as the system's wrapper: a full list may be cut
            needed = static_cast<unsigned long>(pids.size() * 2);
            error = ERROR_MORE_DATA;
            return false;
        }
        pids = {4, 100, 200};
        for (size_t i = 3; i < processCount; ++i)
            pids.push_back(static_cast<unsigned long>(1000 + i * 4));
        return true;
    }
    bool wtsEnumerateProcesses(std::vector<WtsProcess>& processes, unsigned long&) override
    {
        processes = wts;
        return true;
    }
    bool hasSuite(unsigned short suite) override { return suite == VER_SUITE_TERMINAL && terminal; }
};

struct SessionSeam : ::testing::Test {
    FakeSessions fake;
    qkztest::InFront<ZelUt::SessionApi> inFront{fake};
};

TEST_F(SessionSeam, SessionIdFallsBackThroughBothAlternatives)
{
    fake.sessions = {{100, 2}};
    EXPECT_EQ(2u, WtsHelper::getSessionId(100));
    fake.directFailuresLeft[100] = 1;  // the first call fails, the second in the alternative answers
    EXPECT_EQ(2u, WtsHelper::getSessionId(100));
    fake.wts = {{L"a.exe", 200, 5, L"S-1-5-18"}};
    EXPECT_EQ(5u, WtsHelper::getSessionId(200));
    EXPECT_EQ(qkztest::failureOf([&] { WtsHelper::getSessionId(300); }),
              (qkztest::Failure{ERROR_ACCESS_DENIED, L"Could not determine session id"}));
}

// The process list grows as far as the processes need; a list that cannot be
// had at all still leaves the terminal-services enumeration.
TEST_F(SessionSeam, ManyProcessesAndAFailingProcessList)
{
    fake.processCount = 5000;
    fake.sessions = {{1000 + 4999 * 4, 3}};
    fake.directFailuresLeft[1000 + 4999 * 4] = 1;
    EXPECT_EQ(3u, WtsHelper::getSessionId(1000 + 4999 * 4));
    fake.enumError = ERROR_ACCESS_DENIED;
    fake.wts = {{L"b.exe", 200, 6, L""}};
    EXPECT_EQ(6u, WtsHelper::getSessionId(200));
}

TEST_F(SessionSeam, TerminalServerAndInstallMode)
{
    EXPECT_FALSE(WtsHelper::isTerminalServer());
    qkztest::LogCapture log;
    EXPECT_FALSE(WtsHelper::switchedToInstallMode());
    EXPECT_FALSE(log.contains(L"Executing <"));  // no process started
    fake.terminal = true;
    EXPECT_TRUE(WtsHelper::isTerminalServer());
    EXPECT_FALSE(WtsHelper::switchedToInstallMode());  // chgusr answers something other than 100
    EXPECT_EQ(L"", log.missing({L"Executing <", L"Process output:\n"}));
}

// The system's call gives this process's session, the one its token names,
// and fails for a process that does not exist.
TEST(SessionApi, TheSystemAnswersTheTokensSessionOrFails)
{
    HANDLE raw = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw));
    WinAPI::FileHandle token(raw);
    DWORD expected = 0, size = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenSessionId, &expected, sizeof expected, &size));
    ZelUt::SessionApi system;
    unsigned long session = 0xFFFFFFFF, error = 0;
    EXPECT_TRUE(system.processIdToSessionId(GetCurrentProcessId(), session, error)) << error;
    EXPECT_EQ(expected, session);
    EXPECT_FALSE(system.processIdToSessionId(0x7FFFFFF0, session, error));
    EXPECT_EQ(DWORD(ERROR_INVALID_PARAMETER), error);
}

TEST(WtsHelper, AllowGetSessionIdAddsAnEntryToTheProcessDacl)
{
    CZelSid guests(CZelSid::Guests);
    WtsHelper::allowGetSessionIdTo(guests);
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, GetSecurityInfo(GetCurrentProcess(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                             nullptr, &dacl, nullptr, &sd));
    CZelAcl acl(dacl);
    LocalFree(sd);
    bool found = false;
    for (int i = 0; i < acl.GetAceCount(); ++i)
        found |= acl.GetAceAt(i).GetSid() == guests && acl.GetAceAt(i).GetAccessMask() == PROCESS_QUERY_INFORMATION;
    EXPECT_TRUE(found) << std::string(acl.toString().begin(), acl.toString().end());
}

} // namespace

namespace {

DWORD WINAPI doNothing(void*)
{
    return 0;
}

// Enough for the room a fresh system has; a 32-bit process has no address
// space for many more suspended threads.
const size_t kMostHeld = 2000;

// Ids of threads and processes. A new one is either fresh (above every id
// given so far) or one given before and freed again, oldest first.
struct Ids {
    DWORD seen(DWORD id)
    {
        highest = std::max(highest, id);
        return id;
    }
    HANDLE thread(DWORD creation, DWORD& id)
    {
        return CreateThread(nullptr, 64 * 1024, doNothing, nullptr, creation | STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
    }
    // Threads end at once and their ids are freed in order; returns the last.
    DWORD freeSome()
    {
        DWORD id = 0;
        for (int i = 0; i < 300; ++i) {
            WinAPI::FileHandle ended(thread(0, id));
            WaitForSingleObject(ended, INFINITE);
            seen(id);
        }
        return id;
    }
    // Suspended threads hold ids while `more(id)` says so, the id that ends it included.
    template <class More>
    void hold(More more)
    {
        for (DWORD id = 0; held.size() < kMostHeld;) {
            held.emplace_back(thread(CREATE_SUSPENDED, id));
            if (!more(id))
                break;
        }
    }
    ~Ids()
    {
        for (const WinAPI::FileHandle& thread : held) {
            ResumeThread(thread);
            WaitForSingleObject(thread, INFINITE);
        }
    }
    DWORD highest = 0;
    std::vector<WinAPI::FileHandle> held;
};

// A child of a parent that has gone, and a process given the parent's id
// afterwards. Wine gives fresh ids while it has room for them, then freed ones
// once 256 are free: the fresh room is used up first, then the ids freed
// before the parent's are held, so that the next process gets the parent's.
struct Orphan {
    explicit Orphan(const std::wstring& childLine)
    {
        auto parent = std::make_unique<ZelUt::Process>(qkztest::testChild(),
                                                       L"spawn " + ZelUt::quoteArgument(childLine), WinPath());
        parent->start(true);
        if (!parent->wait(10000))
            return;
        const DWORD parentId = ids.seen(parent->getProcessId());
        child = ids.seen(std::stoul(WinAPI::toUtf8(parent->getOutputA())));
        childProcess = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, child);
        ids.freeSome();
        ids.hold([&](DWORD id) { return id > ids.highest && ids.seen(id) != 0; });  // while fresh
        const DWORD freedBefore = ids.freeSome();
        parent.reset();
        ids.freeSome();
        ids.hold([&](DWORD id) { return id != freedBefore; });
        successor.start(true);
        reused = successor.getProcessId() == parentId;
    }
    ~Orphan()
    {
        if (successor)
            successor.terminate(0, false);
        TerminateProcess(childProcess, 0);
    }
    Ids ids;
    DWORD child = 0;
    WinAPI::FileHandle childProcess;
    ZelUt::Process successor{qkztest::testChild(), L"sleep 30000", WinPath()};
    bool reused = false;
};

// An orphan whose parent's id went to a later process; null (the test skipped)
// when three attempts did not get the id given again.
std::unique_ptr<Orphan> orphanOf(const std::wstring& childLine)
{
    std::unique_ptr<Orphan> orphan;
    for (int attempt = 0; attempt < 3 && !(orphan && orphan->reused); ++attempt) {
        orphan.reset();  // its threads and processes go before the next attempt makes its own
        orphan = std::make_unique<Orphan>(childLine);
    }
    if (!orphan->reused)
        orphan.reset();
    return orphan;
}

const char kIdNotReused[] = "the parent's id was not given again: other processes took it, or the system had more "
                            "fresh ids than the test holds";
const wchar_t kOrphanGo[] = L"QKZ_ORPHAN_GO";

} // namespace

// The parent of a child is gone and its id is given to a later process: that
// process is no parent.
TEST(CZelSystem, AParentThatHasGoneIsNotTheProcessGivenItsId)
{
    std::unique_ptr<Orphan> orphan = orphanOf(ZelUt::quoteArgument(qkztest::testChild().str()) + L" sleep 60000");
    if (!orphan)
        GTEST_SKIP() << kIdNotReused;
    WinPath path;
    unsigned long parentPid = 0;
    EXPECT_EQ(E_FAIL, CZelSystem::GetParentProcessPathOfPid(orphan->child, path, parentPid));
    EXPECT_EQ(WinPath(), path);
}

// Run by the test below as the orphan: once told to go, it waits for its
// parent as for the administration program.
TEST(CZelTools, DISABLED_OrphanWaitsForItsAdminParent)
{
    wchar_t go[64] = L"";
    ASSERT_NE(0u, GetEnvironmentVariableW(kOrphanGo, go, 64));
    WinAPI::FileHandle event(OpenEventW(SYNCHRONIZE, FALSE, go));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(event, 60000));
    struct AdminParent : CZelTools {
        bool parentIsKivSetupAdmin(const ProcessInfo&) const override { return true; }
    };
    AdminParent().waitForKivSetupAdmin();
}

// The process given a gone parent's id is not waited for: it may never end.
TEST(CZelTools, AParentThatHasGoneIsNotWaitedForUnderItsId)
{
    const std::wstring go = qkztest::uniqueName(L"qkz-orphan-go");
    WinAPI::FileHandle event(CreateEventW(nullptr, TRUE, FALSE, go.c_str()));
    SetEnvironmentVariableW(kOrphanGo, go.c_str());
    const WinPath suite = WinAPI::getModuleFileName(nullptr);
    std::unique_ptr<Orphan> orphan = orphanOf(
        ZelUt::quoteArgument(suite.str()) +
        L" --gtest_also_run_disabled_tests --gtest_filter=CZelTools.DISABLED_OrphanWaitsForItsAdminParent");
    SetEnvironmentVariableW(kOrphanGo, nullptr);
    if (!orphan)
        GTEST_SKIP() << kIdNotReused;
    SetEvent(event);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(orphan->childProcess, 20000))
        << "the orphan waits for the process given its parent's id";
    DWORD code = 99;
    GetExitCodeProcess(orphan->childProcess, &code);
    EXPECT_EQ(0u, code);
}
