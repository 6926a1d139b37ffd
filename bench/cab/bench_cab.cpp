// Extracts one cabinet with ZelCabExtractor and prints the unpacked MB/s:
// bench_cab ARCHIVE DIR
// or creates N small files in DIR with bare CreateFileW, the floor that the
// system sets for any extractor: bench_cab --create DIR N
#include <QoKivZelUt/CabExtractor.h>
#include <QoKivZelUt/ZelException.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

int createFloor(const wchar_t* directory, unsigned count)
{
    CreateDirectoryW(directory, nullptr);
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (unsigned i = 0; i < count; ++i) {
        wchar_t name[1024];
        swprintf(name, 1024, L"%ls\\s%05u.txt", directory, i);
        HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        if (file == INVALID_HANDLE_VALUE || !WriteFile(file, "small\n", 6, &written, nullptr))
            return 1;
        CloseHandle(file);
    }
    QueryPerformanceCounter(&end);
    std::printf("files_s=%.0f\n", count / (double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart)));
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wcscmp(argv[1], L"--create") == 0)
        return createFloor(argv[2], static_cast<unsigned>(std::wcstoul(argv[3], nullptr, 10)));
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
        std::printf("unpacked_bytes=%lld\nfiles=%lu\nseconds=%.3f\nmb_s=%.1f\nfiles_s=%.0f\n", unpacked,
                    extractor.getNumberOfFiles(), seconds, unpacked / seconds / 1e6,
                    extractor.getNumberOfFiles() / seconds);
        return 0;
    } catch (const CZelException& e) {
        std::fwprintf(stderr, L"%ls\n", e.getFullText().c_str());
        return 2;
    }
}
