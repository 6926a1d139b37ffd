// PeImage: the PE/COFF parser behind ImageInfo, over any range of bytes.
// Positions are kept as offsets into the range and checked before each read,
// so no structure of a damaged file is read outside it.
#pragma once

#include "image/PeFormat.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ZelUt {

class PeImage {
public:
    struct Resource {
        std::wstring typeName;
        unsigned short typeId = 0;
        std::wstring name;
        unsigned short nameId = 0;
        std::wstring language;
        unsigned short languageId = 0;
        std::vector<unsigned char> data;
    };

    PeImage(const unsigned char* start, uint64_t size) : m_start(start), m_size(size) {}

    // Valid DOS header and PE signature inside the range.
    bool hasNtHeaders() const { return ntOffset() != kNowhere; }

    // These four fail with "ImageNtHeader() failed." when there are no NT
    // headers; every read outside the range fails with code 12 naming where.
    unsigned short machine() const;
    uint64_t imageSize() const;
    unsigned long dotNetFlags() const;
    std::wstring dotNetVersion() const;
    // Where the CLI metadata root lies in the range (checked to fit), and its
    // size; kNowhere without a CLI header. Throws like the four above.
    uint64_t dotNetMetadata(uint64_t& size) const;

    // Where the certificate table lies in the file and how long it is, as the
    // headers say (not checked against the file); false when there is none.
    // Only the headers need to be in the range.
    bool certificateTable(uint32_t& offset, uint32_t& size) const;

    // Empty when there are no NT headers or no such directory.
    std::set<std::wstring> exports() const;
    // Module names as stored (one entry per spelling).
    std::map<std::wstring, std::set<std::wstring>> imports() const;
    // Without data: every resource with its data left empty (its range still
    // checked), for callers that look only at types and names.
    std::vector<Resource> resources(bool withData = true) const;

    static constexpr uint64_t kNowhere = ~uint64_t(0);  // an address in no section
    // The bytes one walk of the tables may read or copy: this many times the image.
    static constexpr uint64_t kReadsOfTheImage = 16;

private:
    struct Section {
        uint32_t virtualAddress;
        uint32_t rawSize;
        uint32_t rawPointer;
    };
    struct ResourceWalk;

    uint64_t ntOffset() const;
    uint64_t requireNt() const;
    uint16_t optionalMagic(uint64_t nt) const;
    void checkOptionalHeader(uint64_t nt) const;
    bool isPe32Plus(uint64_t nt) const { return optionalMagic(nt) == 0x20B; }
    uint16_t sectionCount(uint64_t nt) const;
    uint64_t sectionTable(uint64_t nt) const;
    Section section(uint64_t nt, unsigned index) const;
    uint64_t rvaToOffset(uint64_t nt, uint32_t rva) const;
    bool directoryEntry(uint64_t nt, unsigned index, pe::DataDirectory& data) const;
    uint64_t directory(uint64_t nt, unsigned index) const;
    uint64_t optionalDirectory(uint64_t& nt, unsigned index) const;
    uint64_t hintNameText(uint64_t nt, uint32_t rva) const;

    void readResourceDirectory(uint64_t root, uint64_t dir, int level, ResourceWalk& walk) const;
    std::wstring readResourceString(uint64_t root, uint32_t value) const;

    uint64_t readBudget() const;
    // Takes the bytes from the budget; a range error when it has not that many left.
    void spend(uint64_t& budget, uint64_t bytes, uint64_t offset, const char* file, int line) const;
    // The NUL-terminated string at the offset, which must end inside the range.
    std::string cString(uint64_t offset, const char* file, int line) const;
    std::string spentString(uint64_t& budget, uint64_t offset, const char* file, int line) const;
    template <class T>
    T read(uint64_t offset, const char* file, int line) const;
    void check(uint64_t offset, uint64_t length, const char* file, int line) const;
    [[noreturn]] void rangeError(uint64_t offset, const char* file, int line,
                                 const std::wstring& detail = std::wstring()) const;

    const unsigned char* m_start;
    uint64_t m_size;
};

} // namespace ZelUt
