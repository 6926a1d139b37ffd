// The checksum repository's record. Properties: a record is corrupt exactly
// when too short, without the magic word or naming a smaller size; what it
// holds comes from its own bytes; a written record reads back.
#include "FuzzText.h"
#include "integrity/ChecksumRecord.h"

#include <cstring>

using namespace ZelUt::checksum;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Record record = readRecord(data, size);
    uint32_t head[3] = {};
    if (size >= 12)
        std::memcpy(head, data, 12);
    bool corrupt = size < kRecordSize || head[0] != kMagic || head[1] < kRecordSize;
    QKZ_REQUIRE((record.kind == Record::Corrupt) == corrupt);
    if (record.kind == Record::Sha256)
        QKZ_REQUIRE(record.digest.size() == 32 && std::memcmp(record.digest.data(), data + 12, 32) == 0);
    uint32_t crc = 0;
    if (exactCrc32Record(data, size, crc)) {  // the version-1 read does not look at the size field
        QKZ_REQUIRE(size == kRecordSize && head[0] == kMagic && head[2] == 1);
        QKZ_REQUIRE(std::memcmp(&crc, data + 28, 4) == 0);
    }

    std::vector<unsigned char> digest(data, data + (size < 32 ? size : 32));
    std::vector<unsigned char> written = sha256Record(digest);
    Record back = readRecord(written.data(), written.size());
    QKZ_REQUIRE(back.kind == Record::Sha256 && back.digest.size() == 32);
    QKZ_REQUIRE(digest.empty() || std::memcmp(back.digest.data(), digest.data(), digest.size()) == 0);
    return 0;
}
