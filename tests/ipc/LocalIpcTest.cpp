#include "TestEnv.h"

#include <QoKivZelUt/LocalIpc.h>
#include <QoKivZelUt/Process.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

namespace {

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
    std::unique_ptr<ZelUt::AutoTerminateProcess> second;
    std::thread sender([&] {  // one source at a time: the second starts when the first has its answer
        first.wait(30000);
        second = std::make_unique<ZelUt::AutoTerminateProcess>(source(L"second", L"three"));
    });
    EXPECT_EQ(0, sink.Receive(&record, 60000));
    sender.join();
    EXPECT_EQ((std::vector<std::wstring>{L"first", L"second"}), g_seen.names);
    EXPECT_EQ((std::vector<std::wstring>{L"one two", L"three"}), g_seen.data);
    EXPECT_NE(std::wstring::npos, outputOf(first).find(L"result 4660 from PID " + std::to_wstring(GetCurrentProcessId())));
    EXPECT_EQ(second->getProcessId(), sink.getRemoteProcessId());
    EXPECT_TRUE(log.contains(L"IPC(Listener) : waiting 60000 ms for source to become alive..."));
    EXPECT_TRUE(log.contains(L"IPC(Listener) : sending response to source, continue listening"));
    EXPECT_TRUE(log.contains(L"IPC(Listener) : sending response to source, stop listening"));
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
        static ZelUt::AutoTerminateProcess wanted = source(L"wanted", L"payload");
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
    try {
        alone.Send(L"nobody", L"there", 1000);
        FAIL();
    } catch (const CZelException& e) {
        EXPECT_EQ(2u, e.getErrorCode());
        EXPECT_EQ(L"IPC(Source) timeout. Internal error.", e.getMessage());
    }
    EXPECT_GE(GetTickCount() - start, 900u);
    for (const auto& texts : {std::make_pair(std::wstring(128, L'n'), std::wstring()),
                              std::make_pair(std::wstring(L"n"), std::wstring(1024, L'd'))}) {
        try {
            alone.Send(texts.first, texts.second, 0);
            FAIL();
        } catch (const CZelException& e) {
            EXPECT_EQ(87u, e.getErrorCode());
        }
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
        HANDLE sent = CreateEventW(nullptr, FALSE, FALSE, L"Local\\{AA4FE636-EC13-4774-A6DC-F1B764B4A5F0}");
        SetEvent(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"Local\\{351625D7-1711-4392-AD55-47FC76765855}"));
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

} // namespace
