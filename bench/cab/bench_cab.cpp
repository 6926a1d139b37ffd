// Extracts one cabinet with ZelCabExtractor and prints the unpacked MB/s:
// bench_cab ARCHIVE DIR
#include <QoKivZelUt/CabExtractor.h>
#include <QoKivZelUt/ZelException.h>

#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: bench_cab ARCHIVE DIR\n");
        return 2;
    }
    try {
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        ZelCabExtractor extractor(WinPath(argv[1]), true);
        long long unpacked = extractor.getExtractedSize();
        QueryPerformanceCounter(&start);
        bool extracted = extractor.ExtractArchive(WinPath(argv[2]));
        QueryPerformanceCounter(&end);
        if (!extracted) {
            std::fwprintf(stderr, L"extraction failed: %ls\n", extractor.getLastErrorText().c_str());
            return 1;
        }
        double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
        std::printf("unpacked_bytes=%lld\nseconds=%.3f\nmb_s=%.1f\n", unpacked, seconds, unpacked / seconds / 1e6);
        return 0;
    } catch (const CZelException& e) {
        std::fwprintf(stderr, L"%ls\n", e.getFullText().c_str());
        return 2;
    }
}
