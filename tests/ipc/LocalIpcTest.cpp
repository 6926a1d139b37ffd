#include "TestEnv.h"

#include <QoKivZelUt/LocalIpc.h>
#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/Security.h>

#include <gtest/gtest.h>

#include <cstring>
#include <atomic>
#include <memory>
#include <thread>

namespace {

const wchar_t kSendCreate[] = L"Local\\{351625D7-1711-4392-AD55-47FC76765855}";
const wchar_t kSent[] = L"Local\\{AA4FE636-EC13-4774-A6DC-F1B764B4A5F0}";

ZelUt::AutoTerminateProcess source(const std::wstring& name, const std::wstring& data)
{
    ZelUt::AutoTerminateProcess p(qkztest::binDir() / L"zelut.exe", L"ipc send " + name + L" \"" + data + L"\" --timeout 30000",
                                  WinPath());
    p.start(true);
    return p;
}

struct Seen {
    std::vector<std::wstring> names, data;
    int answersLeft = 1;
};
Seen g_seen;

int __stdcall record(const std::wstring& name, const std::wstring& data, long* result)
{
    g_seen.names.push_back(name);
    g_seen.data.push_back(data);
    *result = 0x1234;
    return --g_seen.answersLeft > 0;
}

std::wstring outputOf(ZelUt::AutoTerminateProcess& p)
{
    p.wait(30000);
    return p.getOutputA();
}

TEST(LocalIpc, ListenerFirstCallbackContinueAndStopRemoteIds)
{
    g_seen = Seen();
    g_seen.answersLeft = 2;
    qkztest::LogCapture log;
    CZelNotificationSink sink;  // the listener exists before any source
    auto first = source(L"first", L"one two");
    const std::wstring longestName(CZelLocalIpc::kLongestName, L'n'), longestData(CZelLocalIpc::kLongestData, L'd');
    std::unique_ptr<ZelUt::AutoTerminateProcess> second;
    std::thread sender([&] {  // one source at a time: the second starts when the first has its answer
        first.wait(30000);
        second = std::make_unique<ZelUt::AutoTerminateProcess>(source(longestName, longestData));
    });
    EXPECT_EQ(0, sink.Receive(&record, 60000));
    sender.join();
    EXPECT_EQ((std::vector<std::wstring>{L"first", longestName}), g_seen.names);
    EXPECT_EQ((std::vector<std::wstring>{L"one two", longestData}), g_seen.data);
    EXPECT_NE(std::wstring::npos, outputOf(first).find(L"result 4660 from PID " + std::to_wstring(GetCurrentProcessId())));
    EXPECT_EQ(second->getProcessId(), sink.getRemoteProcessId());
    EXPECT_EQ(L"", log.missing({L"IPC(Listener) : waiting 60000 ms for source to become alive...",
                                L"IPC(Listener) : sending response to source, continue listening",
                                L"IPC(Listener) : sending response to source, stop listening"}));
}

TEST(LocalIpc, SourceFirstAndChannelFiltering)
{
    g_seen = Seen();
    auto early = source(L"other", L"x");
    for (int i = 0; i < 200; ++i, Sleep(50)) {  // until the source has made its send event
        WinAPI::FileHandle sent(OpenEventW(SYNCHRONIZE, FALSE, L"Local\\{AA4FE636-EC13-4774-A6DC-F1B764B4A5F0}"));
        if (sent.valid())
            break;
    }
    CZelNotificationSink sink(L"wanted");
    std::thread sender([] {
        ZelUt::AutoTerminateProcess wanted = source(L"wanted", L"payload");
        wanted.wait(30000);
    });
    EXPECT_EQ(0, sink.Receive(&record, 60000));
    sender.join();
    EXPECT_EQ((std::vector<std::wstring>{L"wanted"}), g_seen.names);  // "other" was not handed on
    EXPECT_NE(std::wstring::npos, outputOf(early).find(L"result -2147467259 from PID"));
}

TEST(LocalIpc, TimeOutsAndTextsThatDoNotFit)
{
    {
        CZelNotificationSink lonely;
        qkztest::LogCapture log;
        EXPECT_EQ(1, lonely.Receive(&record, 300));
        EXPECT_TRUE(log.contains(L"IPC(Listener) : waiting 300 ms for source to become alive..."));
        EXPECT_TRUE(log.contains(L"IPC(Listener) : timeout"));
    }
    CZelNotificationSource alone;
    DWORD start = GetTickCount();
    EXPECT_EQ(qkztest::failureOf([&] { alone.Send(L"nobody", L"there", 1000); }),
              (qkztest::Failure{2u, L"IPC(Source) timeout. Internal error."}));
    EXPECT_GE(GetTickCount() - start, 900u);
    for (const auto& texts : {std::make_pair(std::wstring(128, L'n'), std::wstring()),
                              std::make_pair(std::wstring(L"n"), std::wstring(1024, L'd'))}) {
        EXPECT_EQ(qkztest::failureOf([&] { alone.Send(texts.first, texts.second, 0); }).code, 87u);
    }
}

// A broken peer that leaves the fields without terminators: the listener
// reads no further than each field.
TEST(LocalIpc, UnterminatedFieldsAreReadNoFurtherThanTheField)
{
    g_seen = Seen();
    CZelNotificationSink sink;
    std::thread broken([] {
        WinAPI::FileHandle mapping(OpenFileMappingW(FILE_MAP_WRITE, FALSE, L"Local\\{26ECD40E-279F-482c-B14D-9016714EA408}"));
        void* view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
        std::fill_n(static_cast<wchar_t*>(view), 2304 / sizeof(wchar_t), L'Q');
        UnmapViewOfFile(view);
        DWORD self = GetCurrentProcessId();
        view = MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0);
        std::memcpy(static_cast<char*>(view) + 2308, &self, sizeof self);
        UnmapViewOfFile(view);
        HANDLE sent = CreateEventW(nullptr, FALSE, FALSE, kSent);
        SetEvent(WinAPI::FileHandle(OpenEventW(EVENT_MODIFY_STATE, FALSE, kSendCreate)));
        SetEvent(sent);
        WinAPI::FileHandle answered(OpenEventW(SYNCHRONIZE, FALSE, L"Local\\{C5486729-9D60-4e01-93A8-78B16119A7AD}"));
        WaitForSingleObject(answered, 30000);
        CloseHandle(sent);
    });
    EXPECT_EQ(0, sink.Receive(&record, 30000));
    broken.join();
    ASSERT_EQ(1u, g_seen.names.size());
    EXPECT_EQ(std::wstring(128, L'Q'), g_seen.names[0]);
    EXPECT_EQ(std::wstring(1024, L'Q'), g_seen.data[0]);
}

// The create event set with no send event behind it (a source that came and
// went, or anybody of the session): the listener waits on, for what is left
// of its time-out, and hands nothing on.
TEST(LocalIpc, ACreateEventWithoutASourceIsNoNotification)
{
    g_seen = Seen();
    CZelNotificationSink sink;
    WinAPI::FileHandle created(OpenEventW(EVENT_MODIFY_STATE, FALSE, kSendCreate));
    ASSERT_TRUE(created.valid());
    SetEvent(created);
    qkztest::LogCapture log;
    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(1, sink.Receive(&record, 1000));
    EXPECT_GE(GetTickCount64() - start, 900u);
    EXPECT_TRUE(g_seen.names.empty());
    EXPECT_LE(log.count(L"IPC(Listener)"), 6);
}

HANDLE g_firstArrived;

// A source killed while its notification is handled: the next source gets
// the answer to its own notification, not the dead one's.
int __stdcall slowLength(const std::wstring&, const std::wstring& data, long* result)
{
    if (data == L"first") {
        SetEvent(g_firstArrived);
        Sleep(1500);
    }
    *result = static_cast<long>(data.size());
    return data != L"second";
}

// The first source is killed while its notification is handled, and let go:
// when its answer is due, no process has its id any more.
TEST(LocalIpc, TheNextSourceGetsItsOwnAnswerAfterOneWasKilled)
{
    qkztest::LogCapture log;
    WinAPI::FileHandle firstArrived(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    g_firstArrived = firstArrived;
    CZelNotificationSink sink;
    std::thread listener([&] { EXPECT_EQ(0, sink.Receive(&slowLength, 30000)); });
    DWORD doomedId = 0;
    {
        auto doomed = source(L"n", L"first");
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(firstArrived, 30000));
        doomedId = doomed.getProcessId();
        doomed.terminate(1, false);
    }
    auto next = source(L"n", L"second");
    EXPECT_NE(std::wstring::npos, outputOf(next).find(L"result 6 from PID"));
    listener.join();
    EXPECT_TRUE(log.contains(L"IPC(Listener) : source (PID " + std::to_wstring(doomedId) + L") has gone"))
        << log.text();
}

// A listener of another process that took the notification and ended without
// answering will never answer: the source goes at once, not after its time-out.
TEST(LocalIpc, AListenerThatEndsWithTheNotificationLetsTheSourceGo)
{
    ZelUt::AutoTerminateProcess listener(qkztest::binDir() / L"zelut.exe", L"ipc listen --hold 60000 --timeout 60000",
                                         WinPath());
    listener.start(true);
    CZelNotificationSource source;
    std::thread killer([&] {  // once the listener has put its id into the block: it has taken it
        for (int i = 0; i < 3000; ++i, Sleep(10)) {
            WinAPI::FileHandle block(OpenFileMappingW(FILE_MAP_READ, FALSE, L"Local\\{26ECD40E-279F-482c-B14D-9016714EA408}"));
            const void* view = block.valid() ? MapViewOfFile(block, FILE_MAP_READ, 0, 0, 0) : nullptr;
            const DWORD taker = view ? *reinterpret_cast<const DWORD*>(static_cast<const BYTE*>(view) + 2308) : 0;
            UnmapViewOfFile(view);
            if (taker == listener.getProcessId())
                break;
        }
        listener.terminate(1, false);
    });
    qkztest::LogCapture log;
    EXPECT_EQ(E_FAIL, source.Send(L"n", L"d", 50000));
    killer.join();
    EXPECT_TRUE(log.contains(L"IPC(Source)   : the listener (PID " + std::to_wstring(listener.getProcessId()) +
                             L") that took the notification ended without answering"));
}

// Objects another process made first: reserved pages, a mutex held for ever,
// a DACL that shuts everybody out. Each is a clear failure, never a crash or a hang.
TEST(LocalIpc, SquattedObjectsAreFailuresNotCrashesOrHangs)
{
    {
        WinAPI::FileHandle reserved(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE | SEC_RESERVE, 0,
                                                       2312, L"Local\\{26ECD40E-279F-482c-B14D-9016714EA408}"));
        EXPECT_EQ(qkztest::failureOf([&] { CZelNotificationSink sink; }).code, DWORD(ERROR_INVALID_DATA));
    }
    const std::function<void()> makeSource = [] { CZelNotificationSource source; }, makeSink = [] { CZelNotificationSink sink; };
    using Squat = HANDLE (*)(SECURITY_ATTRIBUTES*, const wchar_t*);
    const Squat event = [](SECURITY_ATTRIBUTES* sa, const wchar_t* name) { return CreateEventW(sa, FALSE, FALSE, name); };
    const Squat block = [](SECURITY_ATTRIBUTES* sa, const wchar_t* name) {
        return CreateFileMappingW(INVALID_HANDLE_VALUE, sa, PAGE_READWRITE, 0, 2312, name);
    };
    const struct {
        Squat squat;
        const wchar_t* name;
        const std::function<void()>& side;
        const wchar_t* failure;
    } shutOut[] = {{block, L"Local\\{26ECD40E-279F-482c-B14D-9016714EA408}", makeSink, L"Could not create file mapping."},
                   {event, kSendCreate, makeSource, L"Could not create send create event."},
                   {event, L"Local\\{4188F5A2-439F-4622-9BDC-7B868AB8517C}", makeSink,
                    L"Could not create receive create event."},
                   {event, kSent, makeSource, L"Could not create send event."},
                   {event, L"Local\\{C5486729-9D60-4e01-93A8-78B16119A7AD}", makeSink, L"Could not create receive event."}};
    for (const auto& squatted : shutOut) {
        CZelSecurityDescriptor denyAll = CZelSecurityDescriptor::fromSddl(L"D:(D;;GA;;;WD)");
        SECURITY_ATTRIBUTES attributes = {sizeof attributes, denyAll.getSD(), FALSE};
        WinAPI::FileHandle shut(squatted.squat(&attributes, squatted.name));
        ASSERT_NE(DWORD(ERROR_ALREADY_EXISTS), GetLastError()) << "the event is left from before";
        EXPECT_EQ(qkztest::failureOf(squatted.side), (qkztest::Failure{DWORD(ERROR_ACCESS_DENIED), squatted.failure}));
    }
    CZelNotificationSink sink;
    CZelNotificationSource source;
    // Others of the session may use the objects and nothing more.
    WinAPI::FileHandle sent(OpenEventW(READ_CONTROL, FALSE, kSent));
    const std::wstring sddl = CZelSecurityDescriptor::fromKernelObject(sent).toSddl();
    EXPECT_EQ(L"D:(A;;0x100002;;;WD)", sddl.substr(sddl.find(L"D:")));
    std::atomic<bool> held{false};
    WinAPI::FileHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {
        WinAPI::FileHandle mutex(OpenMutexW(SYNCHRONIZE, FALSE, L"Local\\{567D9457-6651-45a4-9996-78DE23E7FD96}"));
        WaitForSingleObject(mutex, INFINITE);
        held = true;
        WaitForSingleObject(release, 30000);
        ReleaseMutex(mutex);
    });
    while (!held)
        Sleep(1);
    EXPECT_EQ(qkztest::failureOf([&] { source.Send(L"n", L"d", 500); }).code, DWORD(ERROR_TIMEOUT));
    SetEvent(release);
    holder.join();
}

// Each notification is answered with a result of its own: without a callback
// 0, never the previous exchange's; a listener that does not answer lets the
// source go after its time-out, its notification taken back.
TEST(LocalIpc, AnswersAreFreshAndUnansweredSendsEnd)
{
    g_seen = Seen();
    CZelNotificationSink sink;
    CZelNotificationSource source;
    std::thread listener([&] {
        sink.Receive(&record, 30000);
        sink.Receive(nullptr, 30000);
    });
    EXPECT_EQ(0x1234, source.Send(L"a", L"x", 30000));
    EXPECT_EQ(0, source.Send(L"b", L"y", 30000));
    listener.join();

    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(E_FAIL, source.Send(L"c", L"z", 800));  // the sink is there but does not listen
    EXPECT_GE(GetTickCount64() - start, 700u);
    WinAPI::FileHandle sent(OpenEventW(SYNCHRONIZE, FALSE, kSent));
    EXPECT_EQ(DWORD(WAIT_TIMEOUT), WaitForSingleObject(sent, 0));
}

} // namespace
