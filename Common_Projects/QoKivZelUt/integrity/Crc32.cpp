// CRC-32, table-driven with eight tables (slicing by 8): eight bytes per step.
#include <QoKivZelUt/FileHasher.h>

#include <cstdint>
#include <cstring>

namespace ZelUt {

namespace {

struct Tables {
    uint32_t t[8][256];
    Tables()
    {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int s = 1; s < 8; ++s)
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
    for (; size >= 8; size -= 8, p += 8) {
        uint32_t low, high;
        std::memcpy(&low, p, 4);
        std::memcpy(&high, p + 4, 4);
        low ^= c;
        c = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
            t[3][high & 0xFF] ^ t[2][(high >> 8) & 0xFF] ^ t[1][(high >> 16) & 0xFF] ^ t[0][high >> 24];
    }
    while (size--)
        c = t[0][(c ^ *p++) & 0xFF] ^ (c >> 8);
    return ~c;
}

} // namespace ZelUt
