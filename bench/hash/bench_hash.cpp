// SHA-256 and CRC-32 throughput of ZelUt::FileHasher over one file.
// Prints "sha256_mb_s=" and "crc32_mb_s="; run.sh sets them beside sha256sum and zlib.
#include <QoKivZelUt/FileHasher.h>

#include <cstdio>
#include <vector>

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
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_hash FILE\n");
        return 2;
    }
    WinPath file(argv[1]);
    ZelUt::FileHasher hasher;
    double mb = static_cast<double>(file.getFileSize()) / 1e6;
    hasher.crcFromFile(file);  // warm the file cache for both runs
    double t0 = now();
    std::wstring hash = hasher.createHash(file);
    double t1 = now();
    unsigned long crc = hasher.crcFromFile(file);
    double t2 = now();
    std::vector<unsigned char> memory(64 << 20, 0x5A);
    double t3 = now();
    unsigned long inMemory = ZelUt::crc32(0, memory.data(), memory.size());
    double t4 = now();
    std::printf("sha256=%ls\ncrc32=%lu\n", hash.c_str() + 8, crc);
    std::printf("crc32_in_memory_mb_s=%.1f (%lu)\n", memory.size() / 1e6 / (t4 - t3), inMemory);
    std::printf("sha256_mb_s=%.1f\ncrc32_mb_s=%.1f\n", mb / (t1 - t0), mb / (t2 - t1));
    return 0;
}
