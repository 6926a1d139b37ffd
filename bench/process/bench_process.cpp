// Child start-to-exit latency and pipe drain throughput of ZelUt::Process.
// Prints "latency_ms=" and "drain_mb_s=" lines; run.sh sets them beside the
// same child run from a native shell pipe.
#include <QoKivZelUt/Process.h>

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

double now()
{
    LARGE_INTEGER f, c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / static_cast<double>(f.QuadPart);
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

    ZelUt::Process flood(child, L"flood " + std::to_wstring(bytes), WinPath());
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
    std::printf("latency_ms=%.2f\n", latency);
    std::printf("drain_mb_s=%.1f\n", drained / seconds / 1e6);
    return 0;
}
