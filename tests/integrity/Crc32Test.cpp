#include <QoKivZelUt/FileHasher.h>

#include "integrity/Crc32Kernels.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <vector>

namespace {

using ZelUt::detail::crc32Carryless;
using ZelUt::detail::crc32CarrylessAvailable;
using ZelUt::detail::crc32Tables;
using ZelUt::detail::crc32WideCarryless;
using ZelUt::detail::crc32WideCarrylessAvailable;

std::vector<unsigned char> randomBytes(size_t size)
{
    std::mt19937 random(20261207);
    std::vector<unsigned char> bytes(size);
    for (unsigned char& b : bytes)
        b = static_cast<unsigned char>(random());
    return bytes;
}

TEST(Crc32, KnownValuesAndContinuation)
{
    EXPECT_EQ(0u, ZelUt::crc32(0, "", 0));
    EXPECT_EQ(0xCBF43926u, ZelUt::crc32(0, "123456789", 9));
    std::vector<unsigned char> zeros(1 << 20, 0);
    EXPECT_EQ(0xA738EA1Cu, ZelUt::crc32(0, zeros.data(), zeros.size()));
    std::vector<unsigned char> data = randomBytes(100000);
    unsigned long whole = ZelUt::crc32(0, data.data(), data.size());
    for (size_t cut : {1u, 63u, 64u, 65u, 4096u, 99999u}) {
        unsigned long first = ZelUt::crc32(0, data.data(), cut);
        EXPECT_EQ(whole, ZelUt::crc32(first, data.data() + cut, data.size() - cut)) << cut;
    }
}

// Every length up to 4096 at every start 0-15 (the loads are unaligned), from
// a running state that is not the initial one: both folding kernels, the
// library's entry and the tables agree.
TEST(Crc32, CarrylessFoldingEqualsTheTablesForEveryLengthAndStart)
{
    if (!crc32CarrylessAvailable())
        GTEST_SKIP() << "no PCLMULQDQ on this processor: the tables serve alone";
    const bool wide = crc32WideCarrylessAvailable();
    std::printf("512-bit carry-less multiplication: %s\n", wide ? "yes" : "no");
    const std::vector<unsigned char> data = randomBytes(4096 + 16);
    int mismatches = 0;
    for (size_t start = 0; start < 16; ++start) {
        const unsigned char* p = data.data() + start;
        for (size_t length = 0; length <= 4096; ++length) {
            const uint32_t state = 0x12345678u ^ static_cast<uint32_t>(length);
            const uint32_t expected = crc32Tables(state, p, length);
            bool same = ~ZelUt::crc32(~state, p, length) == expected;
            if (length >= 64 && length % 16 == 0)
                same = same && crc32Carryless(state, p, length) == expected;
            if (wide && length >= 256 && length % 16 == 0)
                same = same && crc32WideCarryless(state, p, length) == expected;
            if (!same && ++mismatches <= 5)
                ADD_FAILURE() << "start " << start << ", length " << length;
        }
    }
    EXPECT_EQ(0, mismatches);
}

} // namespace
