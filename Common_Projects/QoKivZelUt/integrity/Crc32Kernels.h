// The two ways of computing the reflected CRC-32 (polynomial 0xEDB88320) over
// a running state (the complement of the checksum so far). Pure arithmetic,
// kept apart so that the suites can hold one against the other.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ZelUt {
namespace detail {

// Sixteen tables, sixteen bytes per step; any length.
uint32_t crc32Tables(uint32_t state, const unsigned char* data, size_t size);

// Whether this processor multiplies without carry (PCLMULQDQ).
bool crc32CarrylessAvailable();

// Folds 64 bytes per step with carry-less multiplication, then reduces to 32
// bits. size is at least 64 and a multiple of 16; call only where available.
uint32_t crc32Carryless(uint32_t state, const unsigned char* data, size_t size);

// Whether the 512-bit form (AVX-512 with VPCLMULQDQ, saved by the system) is there.
bool crc32WideCarrylessAvailable();

// The same with four 512-bit registers: 256 bytes per step. size is at least
// 256 and a multiple of 16; call only where available.
uint32_t crc32WideCarryless(uint32_t state, const unsigned char* data, size_t size);

} // namespace detail
} // namespace ZelUt
