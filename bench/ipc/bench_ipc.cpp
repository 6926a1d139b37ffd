// Round trips per second through ZelUt::NamedPipe and CZelLocalIpc, each
// beside the same exchange written with plain Win32 calls (the platform's own
// limit), in one run: bench_ipc [ROUND_TRIPS [TRIALS]]. The two sides take
// turns, trial by trial (which goes first alternates), so that whatever else
// the machine does falls on both; the figure is the median ratio of the
// trials, with its spread.
#include <QoKivZelUt/LocalIpc.h>
#include <QoKivZelUt/NamedPipe.h>
#include <QoKivZelUt/ZelException.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

unsigned g_rounds = 400;
unsigned g_trials = 75;

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

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void compare(const char* what, double (*ours)(), double (*plain)())
{
    std::vector<double> oursRates, plainRates, ratios;
    for (unsigned trial = 0; trial < g_trials; ++trial) {
        double o = 0, p = 0;
        if (trial % 2) {
            p = plain();
            o = ours();
        } else {
            o = ours();
            p = plain();
        }
        oursRates.push_back(g_rounds / o);
        plainRates.push_back(g_rounds / p);
        ratios.push_back(p / o);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("%s: %u trials of %u round trips: ZelUt %.0f/s (%.1f us each), plain Win32 %.0f/s (%.1f us each), "
                "ratio median %.2f (trials %.2f-%.2f, middle half %.2f-%.2f)\n",
                what, g_trials, g_rounds, median(oursRates), 1e6 / median(oursRates), median(plainRates),
                1e6 / median(plainRates), median(ratios), ratios.front(), ratios.back(), ratios[g_trials / 4],
                ratios[g_trials - 1 - g_trials / 4]);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc > 1)
        g_rounds = static_cast<unsigned>(std::wcstoul(argv[1], nullptr, 10));
    if (argc > 2)
        g_trials = std::max(1u, static_cast<unsigned>(std::wcstoul(argv[2], nullptr, 10)));
    try {
        compare("named pipe", ourPipe, plainPipe);
        compare("local IPC channel", ourChannel, plainChannel);
    } catch (const CZelException& e) {
        std::fwprintf(stderr, L"%ls\n", e.getFullText().c_str());
        return 2;
    }
    return 0;
}
