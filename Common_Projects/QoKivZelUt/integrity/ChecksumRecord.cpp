#include "integrity/ChecksumRecord.h"

#include <algorithm>
#include <cstring>

namespace ZelUt {
namespace checksum {

namespace {

uint32_t wordAt(const unsigned char* bytes, size_t offset)
{
    uint32_t value;
    std::memcpy(&value, bytes + offset, 4);
    return value;
}

} // namespace

Record readRecord(const unsigned char* bytes, size_t size)
{
    Record record;
    if (size < kRecordSize || wordAt(bytes, 0) != kMagic || wordAt(bytes, 4) < kRecordSize)
        return record;
    record.version = wordAt(bytes, 8);
    if (record.version == 1) {
        record.kind = Record::Crc32;
        record.crc = wordAt(bytes, 28);
    } else if (record.version == 2) {
        record.kind = Record::Sha256;
        record.digest.assign(bytes + 12, bytes + 44);
    } else {
        record.kind = Record::Unsupported;
    }
    return record;
}

bool exactCrc32Record(const unsigned char* bytes, size_t size, uint32_t& crc)
{
    if (size != kRecordSize || wordAt(bytes, 8) != 1 || wordAt(bytes, 0) != kMagic)
        return false;
    crc = wordAt(bytes, 28);
    return true;
}

std::vector<unsigned char> sha256Record(const std::vector<unsigned char>& digest)
{
    std::vector<unsigned char> record(kRecordSize, 0);
    const uint32_t head[3] = {kMagic, kRecordSize, 2};
    std::memcpy(record.data(), head, sizeof head);
    std::copy_n(digest.begin(), std::min<size_t>(digest.size(), 32), record.begin() + 12);
    return record;
}

} // namespace checksum
} // namespace ZelUt
