#include "integrity/Crc32Kernels.h"

#include <cstring>

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#define QKZ_HAVE_CARRYLESS 1
#endif

namespace ZelUt {
namespace detail {

namespace {

struct Tables {
    uint32_t t[16][256];
    Tables()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 16; ++s)
                t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    }
};

const Tables& tables()
{
    static const Tables instance;
    return instance;
}

} // namespace

uint32_t crc32Tables(uint32_t c, const unsigned char* p, size_t size)
{
    const auto& t = tables().t;
    for (; size >= 16; size -= 16, p += 16) {
        uint32_t w[4];
        std::memcpy(w, p, 16);
        w[0] ^= c;
        c = t[15][w[0] & 0xFF] ^ t[14][(w[0] >> 8) & 0xFF] ^ t[13][(w[0] >> 16) & 0xFF] ^ t[12][w[0] >> 24] ^
            t[11][w[1] & 0xFF] ^ t[10][(w[1] >> 8) & 0xFF] ^ t[9][(w[1] >> 16) & 0xFF] ^ t[8][w[1] >> 24] ^
            t[7][w[2] & 0xFF] ^ t[6][(w[2] >> 8) & 0xFF] ^ t[5][(w[2] >> 16) & 0xFF] ^ t[4][w[2] >> 24] ^
            t[3][w[3] & 0xFF] ^ t[2][(w[3] >> 8) & 0xFF] ^ t[1][(w[3] >> 16) & 0xFF] ^ t[0][w[3] >> 24];
    }
    while (size--)
        c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return c;
}

#if QKZ_HAVE_CARRYLESS

bool crc32CarrylessAvailable()
{
    static const bool available = [] {
        unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_PCLMUL) && (edx & bit_SSE2);
    }();
    return available;
}

namespace {

// The constants of the bit-reflected domain: for a fold over D bits the pair
// x^(D+32) mod P and x^(D-32) mod P (each bit-reflected and shifted left by
// one), for D = 2048, 512 and 128; x^64 mod P for the step from 128 bits to 64;
// then P itself and the Barrett constant floor(x^64 / P).
const long long kFold2048Low = 0x011542778ALL, kFold2048High = 0x01322D1430LL;
const long long kFold512Low = 0x0154442BD4LL, kFold512High = 0x01C6E41596LL;
const long long kFold128Low = 0x01751997D0LL, kFold128High = 0x00CCAA009ELL;
const long long kFold64 = 0x0163CD6124LL;
const long long kPolynomial = 0x01DB710641LL, kBarrettMu = 0x01F7011641LL;

#define QKZ_CLMUL __attribute__((target("pclmul,sse2")))

QKZ_CLMUL inline __m128i fold(__m128i value, __m128i constants, __m128i next)
{
    __m128i low = _mm_clmulepi64_si128(value, constants, 0x00);
    __m128i high = _mm_clmulepi64_si128(value, constants, 0x11);
    return _mm_xor_si128(_mm_xor_si128(high, low), next);
}

QKZ_CLMUL inline __m128i load(const unsigned char* p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// The 16-byte blocks left after the lanes were merged into x1, then 128 bits
// down to the 32 of the state.
QKZ_CLMUL uint32_t finish(__m128i x1, const unsigned char* p, size_t size)
{
    const __m128i k3k4 = _mm_set_epi64x(kFold128High, kFold128Low);
    const __m128i k5 = _mm_set_epi64x(0, kFold64);
    const __m128i polyMu = _mm_set_epi64x(kBarrettMu, kPolynomial);
    const __m128i low32 = _mm_setr_epi32(-1, 0, -1, 0);
    for (; size >= 16; p += 16, size -= 16)
        x1 = fold(x1, k3k4, load(p));
    // 128 bits to 64.
    __m128i t = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), t);
    t = _mm_srli_si128(x1, 4);
    x1 = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00), t);
    // Barrett reduction to 32 bits.
    t = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), polyMu, 0x10);
    t = _mm_clmulepi64_si128(_mm_and_si128(t, low32), polyMu, 0x00);
    x1 = _mm_xor_si128(x1, t);
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

#define QKZ_WIDE_CLMUL __attribute__((target("avx512f,vpclmulqdq,pclmul,sse2")))

// Four 128-bit lanes of one 512-bit register, each moved `constants` ahead.
QKZ_WIDE_CLMUL inline __m512i fold(__m512i value, __m512i constants, __m512i next)
{
    __m512i low = _mm512_clmulepi64_epi128(value, constants, 0x00);
    __m512i high = _mm512_clmulepi64_epi128(value, constants, 0x11);
    return _mm512_ternarylogic_epi64(low, high, next, 0x96);  // low ^ high ^ next
}

QKZ_WIDE_CLMUL inline __m512i load512(const unsigned char* p)
{
    return _mm512_loadu_si512(p);
}

QKZ_WIDE_CLMUL inline __m512i broadcast(long long high, long long low)
{
    return _mm512_set_epi64(high, low, high, low, high, low, high, low);
}

} // namespace

QKZ_CLMUL uint32_t crc32Carryless(uint32_t state, const unsigned char* p, size_t size)
{
    const __m128i k1k2 = _mm_set_epi64x(kFold512High, kFold512Low);
    const __m128i k3k4 = _mm_set_epi64x(kFold128High, kFold128Low);
    // Four lanes of 128 bits, each folded 512 bits ahead per step.
    __m128i x1 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(state)));
    __m128i x2 = load(p + 16), x3 = load(p + 32), x4 = load(p + 48);
    p += 64;
    size -= 64;
    for (; size >= 64; p += 64, size -= 64) {
        x1 = fold(x1, k1k2, load(p));
        x2 = fold(x2, k1k2, load(p + 16));
        x3 = fold(x3, k1k2, load(p + 32));
        x4 = fold(x4, k1k2, load(p + 48));
    }
    x1 = fold(x1, k3k4, x2);
    x1 = fold(x1, k3k4, x3);
    x1 = fold(x1, k3k4, x4);
    return finish(x1, p, size);
}

bool crc32WideCarrylessAvailable()
{
    static const bool available = [] {
        unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
        if (!crc32CarrylessAvailable() || !__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE))
            return false;
        if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) || !(ebx & bit_AVX512F) || !(ecx & bit_VPCLMULQDQ))
            return false;
        // The system must save the vector and mask registers it would use (XCR0 bits 1, 2, 5, 6, 7).
        unsigned int xcr0Low = 0, xcr0High = 0;
        __asm__ volatile("xgetbv" : "=a"(xcr0Low), "=d"(xcr0High) : "c"(0));
        return (xcr0Low & 0xE6) == 0xE6;
    }();
    return available;
}

QKZ_WIDE_CLMUL uint32_t crc32WideCarryless(uint32_t state, const unsigned char* p, size_t size)
{
    const __m512i k2048 = broadcast(kFold2048High, kFold2048Low);
    const __m512i k512 = broadcast(kFold512High, kFold512Low);
    // Four registers of four lanes, each lane folded 2048 bits ahead per step.
    __m512i z0 = _mm512_xor_si512(load512(p), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(state))));
    __m512i z1 = load512(p + 64), z2 = load512(p + 128), z3 = load512(p + 192);
    p += 256;
    size -= 256;
    for (; size >= 256; p += 256, size -= 256) {
        z0 = fold(z0, k2048, load512(p));
        z1 = fold(z1, k2048, load512(p + 64));
        z2 = fold(z2, k2048, load512(p + 128));
        z3 = fold(z3, k2048, load512(p + 192));
    }
    z0 = fold(z0, k512, z1);
    z0 = fold(z0, k512, z2);
    z0 = fold(z0, k512, z3);
    for (; size >= 64; p += 64, size -= 64)
        z0 = fold(z0, k512, load512(p));
    // The four lanes of the last register into one.
    const __m128i k3k4 = _mm_set_epi64x(kFold128High, kFold128Low);
    unsigned char lanes[64];
    _mm512_storeu_si512(lanes, z0);
    __m128i x1 = load(lanes);
    x1 = fold(x1, k3k4, load(lanes + 16));
    x1 = fold(x1, k3k4, load(lanes + 32));
    x1 = fold(x1, k3k4, load(lanes + 48));
    return finish(x1, p, size);
}

#else

bool crc32CarrylessAvailable()
{
    return false;
}

uint32_t crc32Carryless(uint32_t state, const unsigned char* data, size_t size)
{
    return crc32Tables(state, data, size);
}

bool crc32WideCarrylessAvailable()
{
    return false;
}

uint32_t crc32WideCarryless(uint32_t state, const unsigned char* data, size_t size)
{
    return crc32Tables(state, data, size);
}

#endif

} // namespace detail
} // namespace ZelUt
