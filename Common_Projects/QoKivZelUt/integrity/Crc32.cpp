// CRC-32, table-driven with sixteen tables (slicing by 16): sixteen bytes per step.
#include <QoKivZelUt/FileHasher.h>

#include <cstdint>
#include <cstring>

namespace ZelUt {

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

unsigned long crc32(unsigned long previous, const void* data, size_t size)
{
    const auto& t = tables().t;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    uint32_t c = ~static_cast<uint32_t>(previous);
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
    return ~c;
}

} // namespace ZelUt
