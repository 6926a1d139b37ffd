/* zlib's crc32 over a file, timed: prints "<crc> <MB/s>". The native peer of bench_hash. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <zlib.h>

int main(int argc, char** argv)
{
    static unsigned char buffer[1 << 20];
    FILE* f = argc == 2 ? fopen(argv[1], "rb") : NULL;
    if (!f)
        return 2;
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    uLong crc = crc32(0L, Z_NULL, 0);
    size_t n, total = 0;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) {
        crc = crc32(crc, buffer, (uInt)n);
        total += n;
    }
    clock_gettime(CLOCK_MONOTONIC, &b);
    double s = (b.tv_sec - a.tv_sec) + (b.tv_nsec - a.tv_nsec) / 1e9;
    printf("%lu %.1f\n", crc, total / s / 1e6);
    fclose(f);
    return 0;
}
