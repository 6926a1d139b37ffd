// Child start-to-exit latency and pipe drain throughput of ZelUt::Process.
// Prints "latency_ms=", "drain_mb_s=" and "plain_drain_mb_s=" lines: the last
// is the same child drained by a plain Win32 reader (one pipe for both
// streams, 1 MiB ReadFile calls and nothing else), the limit under Wine.
// run.sh sets them beside the same child run from a native shell pipe.
#include <QoKivZelUt/Process.h>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

double now()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
}

// keep: the reader also keeps what it reads (in one growing buffer), as any
// reader that hands the output over must; fresh memory is not free.
double plainDrainMbPerSecond(const WinPath& child, unsigned long bytes, unsigned long chunk, bool keep)
{
    SECURITY_ATTRIBUTES inheritable = {sizeof(inheritable), nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0))
        return 0;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    std::wstring commandLine =
        L"\"" + child.str() + L"\" flood " + std::to_wstring(bytes) + L" " + std::to_wstring(chunk);
    PROCESS_INFORMATION info = {};
    double start = now();
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &info))
        return 0;
    CloseHandle(writeEnd);
    std::vector<char> buffer(1 << 20);
    std::string kept;
    unsigned long long total = 0;
    DWORD got = 0;
    while (ReadFile(readEnd, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) && got > 0) {
        total += got;
        if (keep)
            kept.append(buffer.data(), got);
    }
    WaitForSingleObject(info.hProcess, INFINITE);
    double seconds = now() - start;
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    CloseHandle(readEnd);
    return total == 2ull * bytes ? total / seconds / 1e6 : 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const int runs = 20;
    const unsigned long bytes = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 64ul << 20;
    WinPath child = WinAPI::getModuleFileName(nullptr).getParent() / L"qkz_testchild.exe";

    double start = now();
    for (int i = 0; i < runs; ++i) {
        ZelUt::Process p(child, L"exit 0", WinPath());
        p.start(true);
        p.wait(INFINITE);
    }
    double latency = (now() - start) / runs * 1000.0;

    std::printf("latency_ms=%.2f\n", latency);
    // What touching fresh memory costs here: every byte of output kept lands in some.
    start = now();
    std::vector<char> fresh(2ull * bytes, 1);
    std::printf("fresh_memory_mb_s=%.1f (%d)\n", fresh.size() / (now() - start) / 1e6, fresh[fresh.size() / 2]);
    // The child writes in 4 KiB pieces (as most programs do), then in 1 MiB pieces.
    for (unsigned long chunk : {4096ul, 1ul << 20}) {
        ZelUt::Process flood(child, L"flood " + std::to_wstring(bytes) + L" " + std::to_wstring(chunk), WinPath());
        start = now();
        flood.start(true);
        flood.wait(INFINITE);
        double seconds = now() - start;
        size_t drained = (flood.getOutput().size() + flood.getStderr().size()) * sizeof(wchar_t);
        if (drained != 2ull * bytes) {
            std::fprintf(stderr, "drained %u bytes, expected %u\n", static_cast<unsigned>(drained),
                         static_cast<unsigned>(2 * bytes));
            return 2;
        }
        std::printf("drain_%lu_mb_s=%.1f\n", chunk, drained / seconds / 1e6);
        std::printf("plain_drain_%lu_mb_s=%.1f\n", chunk, plainDrainMbPerSecond(child, bytes, chunk, false));
        std::printf("keeping_drain_%lu_mb_s=%.1f\n", chunk, plainDrainMbPerSecond(child, bytes, chunk, true));
    }
    return 0;
}
