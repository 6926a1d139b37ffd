// Round trips per second through ZelUt::NamedPipe and CZelLocalIpc, each
// beside the same exchange written with plain Win32 calls (the platform's own
// limit), in one run: bench_ipc [ROUND_TRIPS]
#include <QoKivZelUt/LocalIpc.h>
#include <QoKivZelUt/NamedPipe.h>
#include <QoKivZelUt/ZelException.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace {

unsigned g_rounds = 2000;

double seconds(const std::function<void()>& work)
{
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    work();
    QueryPerformanceCounter(&end);
    return double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
}

std::wstring pipeName(const wchar_t* stem)
{
    return std::wstring(L"\\\\.\\pipe\\") + stem + std::to_wstring(GetCurrentProcessId());
}

const std::wstring kMessage = L"a message of a setup program to its service, about this long";

double ourPipe()
{
    const std::wstring name = pipeName(L"qkz-bench-ours");
    ZelUt::NamedPipeServer server(name, false);
    server.setNoLogging();
    std::thread echo([&] {
        server.connect();
        for (unsigned i = 0; i < g_rounds; ++i)
            server.write(server.read());
    });
    ZelUt::NamedPipeClient client(name);
    client.setNoLogging();
    client.connect(10000);
    double s = seconds([&] {
        for (unsigned i = 0; i < g_rounds; ++i) {
            client.write(kMessage);
            client.read();
        }
    });
    echo.join();
    return s;
}

double plainPipe()
{
    const std::wstring name = pipeName(L"qkz-bench-plain");
    HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, nullptr);
    std::thread echo([&] {
        ConnectNamedPipe(server, nullptr);
        char buffer[2048];
        DWORD got = 0, written = 0;
        for (unsigned i = 0; i < g_rounds; ++i) {
            ReadFile(server, buffer, sizeof buffer, &got, nullptr);
            WriteFile(server, buffer, got, &written, nullptr);
        }
    });
    WaitNamedPipeW(name.c_str(), 10000);
    HANDLE client = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    double s = seconds([&] {
        char buffer[2048];
        DWORD got = 0, written = 0;
        for (unsigned i = 0; i < g_rounds; ++i) {
            WriteFile(client, kMessage.data(), DWORD(kMessage.size() * 2), &written, nullptr);
            ReadFile(client, buffer, sizeof buffer, &got, nullptr);
        }
    });
    echo.join();
    CloseHandle(client);
    CloseHandle(server);
    return s;
}

int __stdcall answer(const std::wstring&, const std::wstring& data, long* result)
{
    static unsigned left = 0;
    if (left == 0)
        left = g_rounds;
    *result = static_cast<long>(data.size());
    return --left > 0;
}

double ourChannel()
{
    CZelNotificationSink sink;
    std::thread listener([&] { sink.Receive(&answer, INFINITE); });
    CZelNotificationSource source;
    double s = seconds([&] {
        for (unsigned i = 0; i < g_rounds; ++i)
            source.Send(L"bench", kMessage, INFINITE);
    });
    listener.join();
    return s;
}

// The same exchange by hand: a block, a mutex and two auto-reset events.
double plainChannel()
{
    std::wstring stem = L"Local\\qkz-bench-" + std::to_wstring(GetCurrentProcessId());
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 2312, (stem + L"-block").c_str());
    auto* block = static_cast<unsigned char*>(MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    HANDLE mutex = CreateMutexW(nullptr, FALSE, (stem + L"-mutex").c_str());
    HANDLE sent = CreateEventW(nullptr, FALSE, FALSE, (stem + L"-sent").c_str());
    HANDLE answered = CreateEventW(nullptr, FALSE, FALSE, (stem + L"-answered").c_str());
    std::thread listener([&] {
        for (unsigned i = 0; i < g_rounds; ++i) {
            WaitForSingleObject(sent, INFINITE);
            WaitForSingleObject(mutex, INFINITE);
            std::wstring data(reinterpret_cast<const wchar_t*>(block + 256));
            long result = static_cast<long>(data.size());
            std::memcpy(block + 2304, &result, 4);
            ReleaseMutex(mutex);
            SetEvent(answered);
        }
    });
    double s = seconds([&] {
        for (unsigned i = 0; i < g_rounds; ++i) {
            WaitForSingleObject(mutex, INFINITE);
            std::memcpy(block, L"bench", 12);
            std::memcpy(block + 256, kMessage.c_str(), (kMessage.size() + 1) * 2);
            ReleaseMutex(mutex);
            SetEvent(sent);
            WaitForSingleObject(answered, INFINITE);
            WaitForSingleObject(mutex, INFINITE);
            long result = 0;
            std::memcpy(&result, block + 2304, 4);
            ReleaseMutex(mutex);
        }
    });
    listener.join();
    UnmapViewOfFile(block);
    for (HANDLE h : {mapping, mutex, sent, answered})
        CloseHandle(h);
    return s;
}

void report(const char* what, double ours, double plain)
{
    std::printf("%s: %u round trips: ZelUt %.0f/s (%.1f us each), plain Win32 %.0f/s (%.1f us each), ratio %.2f\n",
                what, g_rounds, g_rounds / ours, ours * 1e6 / g_rounds, g_rounds / plain, plain * 1e6 / g_rounds,
                plain / ours);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1)
        g_rounds = static_cast<unsigned>(std::wcstoul(argv[1], nullptr, 10));
    try {
        report("named pipe", ourPipe(), plainPipe());
        report("local IPC channel", ourChannel(), plainChannel());
    } catch (const CZelException& e) {
        std::fwprintf(stderr, L"%ls\n", e.getFullText().c_str());
        return 2;
    }
    return 0;
}
