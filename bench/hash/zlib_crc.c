/* zlib's crc32, timed; the native peer of bench_hash.
 *   zlib_crc FILE          prints "<crc> <MB/s>" over the file, read in 4 MiB blocks
 *   zlib_crc --memory MIB  prints "<crc> <MB/s>" over MIB MiB of 0x5A in memory (one cached MiB, repeatedly)
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <zlib.h>

static double seconds(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

int main(int argc, char** argv)
{
    static unsigned char buffer[64 << 20];
    uLong crc = crc32(0L, Z_NULL, 0);
    size_t total = 0;
    double start;
    if (argc == 3 && strcmp(argv[1], "--memory") == 0) {
        size_t rounds = strtoul(argv[2], NULL, 10);
        memset(buffer, 0x5A, 1 << 20);
        start = seconds();
        for (size_t i = 0; i < rounds; ++i, total += 1 << 20)
            crc = crc32(crc, buffer, 1u << 20);
    } else if (argc == 2) {
        FILE* f = fopen(argv[1], "rb");
        if (!f)
            return 2;
        size_t n;
        start = seconds();
        while ((n = fread(buffer, 1, 4 << 20, f)) > 0) {
            crc = crc32(crc, buffer, (uInt)n);
            total += n;
        }
        fclose(f);
    } else {
        return 2;
    }
    printf("%lu %.1f\n", crc, total / (seconds() - start) / 1e6);
    return 0;
}
