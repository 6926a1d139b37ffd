// Writes the files of a directory into a cabinet with ZelArchive and prints
// the input MB/s: bench_cabwrite DIR ARCHIVE
#include <QoKivZelUt/CabWriter.h>
#include <QoKivZelUt/ZelException.h>

#include <windows.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3) {
        std::fwprintf(stderr, L"usage: bench_cabwrite DIR ARCHIVE\n");
        return 2;
    }
    try {
        WinPath directory(argv[1]);
        std::vector<WinPath> files;
        WIN32_FIND_DATAW data;
        WinAPI::FindHandle search = WinAPI::findFirstFile(directory / L"*", data);
        for (bool more = search.valid(); more; more = WinAPI::findNextFile(search, data))
            if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                files.push_back(directory / data.cFileName);
        unsigned long long bytes = 0;
        for (const WinPath& file : files)
            bytes += file.getFileSize();
        LARGE_INTEGER frequency, start, end;
        QueryPerformanceFrequency(&frequency);
        QueryPerformanceCounter(&start);
        {
            ZelArchive archive{WinPath(argv[2])};
            for (const WinPath& file : files)
                if (!archive.Append(file, directory))
                    return 1;
            if (!archive.Close())
                return 1;
        }
        QueryPerformanceCounter(&end);
        double seconds = double(end.QuadPart - start.QuadPart) / double(frequency.QuadPart);
        std::printf("input_bytes=%llu\nseconds=%.3f\nmb_s=%.1f\n", bytes, seconds, bytes / seconds / 1e6);
        return 0;
    } catch (const CZelException& e) {
        std::fwprintf(stderr, L"%ls\n", e.getFullText().c_str());
        return 2;
    }
}
