#include "archive/CabTables.h"

#include <algorithm>
#include <cstring>

namespace ZelUt {
namespace cab {

namespace {

const uint64_t kHeaderSize = 36;
const uint16_t kHasPrevious = 0x1, kHasNext = 0x2, kHasReserve = 0x4;
const uint16_t kContinuedFromPrevious = 0xFFFD, kContinuedToNext = 0xFFFE, kContinuedBoth = 0xFFFF;
const uint64_t kFolderEntrySize = 8, kFileEntrySize = 16;

// Reads the tables front to back inside [0, limit); any read outside sets the problem.
class TableCursor {
public:
    TableCursor(uint64_t limit, const CabinetReader& read) : m_limit(limit), m_read(read) {}

    template <class T>
    T value(uint64_t at)
    {
        T v{};
        if (at > m_limit || sizeof(T) > m_limit - at || !m_read(at, &v, sizeof(T)))
            m_outside = true;
        return v;
    }
    bool fits(uint64_t at, uint64_t length) const { return at <= m_limit && length <= m_limit - at; }
    // The position just past the NUL that ends the string at `at`.
    uint64_t stringEnd(uint64_t at)
    {
        char chunk[256];
        while (!m_outside && at < m_limit) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(sizeof chunk, m_limit - at));
            if (!m_read(at, chunk, n))
                break;
            if (const void* nul = std::memchr(chunk, 0, n))
                return at + (static_cast<const char*>(nul) - chunk) + 1;
            at += n;
        }
        m_outside = true;
        return m_limit;
    }
    bool outside() const { return m_outside; }

private:
    uint64_t m_limit;
    const CabinetReader& m_read;
    bool m_outside = false;
};

} // namespace

std::wstring cabinetTableProblem(uint64_t available, const CabinetReader& read)
{
    TableCursor header(available, read);
    uint32_t cabinetSize = header.value<uint32_t>(8);
    if (header.outside())
        return L"the header is cut off";
    if (cabinetSize < kHeaderSize)
        return L"the cabinet size is smaller than its header";
    if (cabinetSize > available)
        return L"the cabinet size exceeds the file";

    TableCursor at(cabinetSize, read);
    uint32_t filesOffset = at.value<uint32_t>(16);
    uint16_t folders = at.value<uint16_t>(26);
    uint16_t files = at.value<uint16_t>(28);
    uint16_t flags = at.value<uint16_t>(30);
    if (folders == 0 || files == 0)
        return L"the cabinet holds no folder or no file";
    uint64_t position = kHeaderSize;
    uint64_t folderReserve = 0;
    if (flags & kHasReserve) {
        uint16_t headerReserve = at.value<uint16_t>(36);
        folderReserve = at.value<uint8_t>(38);
        position = 40 + uint64_t(headerReserve);
    }
    for (uint16_t flag : {kHasPrevious, kHasNext})
        if (flags & flag)
            position = at.stringEnd(at.stringEnd(position));  // cabinet name, then disk name
    if (at.outside() || !at.fits(position, uint64_t(folders) * (kFolderEntrySize + folderReserve)))
        return L"the folder table runs past the end of the cabinet";
    // The file table ends where the first data block begins: a name without
    // its terminator would otherwise take the data's bytes for its own.
    uint64_t dataBegins = cabinetSize;
    for (uint16_t i = 0; i < folders; ++i) {
        uint64_t entry = position + i * (kFolderEntrySize + folderReserve);
        uint32_t dataStart = at.value<uint32_t>(entry);
        uint16_t blocks = at.value<uint16_t>(entry + 4);
        // A folder of empty files has no data blocks and may start at the very end.
        if (blocks ? dataStart >= cabinetSize : dataStart > cabinetSize)
            return L"a folder's data starts past the end of the cabinet";
        if (blocks)
            dataBegins = std::min<uint64_t>(dataBegins, dataStart);
    }

    TableCursor table(dataBegins, read);
    uint64_t entry = filesOffset;
    for (uint16_t i = 0; i < files && !table.outside(); ++i) {
        if (!table.fits(entry, kFileEntrySize + 1))
            return L"the file table runs into the cabinet's data or past its end";
        uint16_t folder = table.value<uint16_t>(entry + 8);
        bool continued = folder == kContinuedFromPrevious || folder == kContinuedToNext || folder == kContinuedBoth;
        if (continued ? !(flags & (kHasPrevious | kHasNext)) : folder >= folders)
            return L"a file lies in a folder the cabinet does not have";
        entry = table.stringEnd(entry + kFileEntrySize);
    }
    if (table.outside())
        return L"a file name runs into the cabinet's data or past its end";
    return std::wstring();
}

} // namespace cab
} // namespace ZelUt
