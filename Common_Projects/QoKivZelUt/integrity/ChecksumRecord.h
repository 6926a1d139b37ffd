// The checksum repository's record (48 bytes): a magic word, the record size,
// a version, then the digest. Version 1 keeps a CRC-32 at byte 28, version 2
// a SHA-256 digest at bytes 12..43.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace ZelUt {
namespace checksum {

const uint32_t kMagic = 0x3634;
const uint32_t kRecordSize = 48;

struct Record {
    enum Kind { Corrupt, Crc32, Sha256, Unsupported } kind = Corrupt;
    uint32_t version = 0;
    uint32_t crc = 0;                   // Crc32
    std::vector<unsigned char> digest;  // Sha256: 32 bytes
};

// What the bytes of a checksum file hold: Corrupt when shorter than a record,
// without the magic word or naming a smaller record size.
Record readRecord(const unsigned char* bytes, size_t size);

// The CRC-32 of a file that is exactly one version-1 record; false otherwise.
bool exactCrc32Record(const unsigned char* bytes, size_t size, uint32_t& crc);

// A version-2 record of a SHA-256 digest (at most 32 bytes of it are kept).
std::vector<unsigned char> sha256Record(const std::vector<unsigned char>& digest);

} // namespace checksum
} // namespace ZelUt
