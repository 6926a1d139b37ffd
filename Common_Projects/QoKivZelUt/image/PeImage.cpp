#include "image/PeImage.h"

#include "foundation/CodePage.h"
#include "foundation/Failure.h"
#include "foundation/Log.h"

#include <algorithm>
#include <cstring>
#include <cwchar>

#define PE_READ(T, offset) read<T>((offset), __FILE__, __LINE__)
#define PE_CHECK(offset, length) check((offset), (length), __FILE__, __LINE__)
#define PE_STRING(offset) cString((offset), __FILE__, __LINE__)
#define PE_SPEND(budget, bytes, offset) spend((budget), (bytes), (offset), __FILE__, __LINE__)
#define PE_SPENT_STRING(budget, offset) spentString((budget), (offset), __FILE__, __LINE__)

namespace ZelUt {

namespace {

// Offsets inside the headers, the same for PE32 and PE32+ unless split.
const uint64_t kFileHeader = 4;
const uint64_t kOptionalHeader = 4 + sizeof(pe::FileHeader);
const uint64_t kSizeOfHeaders = 60;
const uint64_t kRvaCount32 = 92, kRvaCount64 = 108;
const uint64_t kDirectories32 = 96, kDirectories64 = 112;
const unsigned kSectionHeaderSize = sizeof(pe::SectionHeader);

// A normal tree has three levels: type, name, language.
const int kDeepestResourceLevel = 2;

std::wstring decimal(unsigned long long value)
{
    return std::to_wstring(value);
}

const wchar_t* resourceTypeName(unsigned id)
{
    static const wchar_t* const names[] = {
        nullptr, L"RT_CURSOR", L"RT_BITMAP", L"RT_ICON", L"RT_MENU", L"RT_DIALOG", L"RT_STRING",
        L"RT_FONTDIR", L"RT_FONT", L"RT_ACCELERATOR", L"RT_RCDATA", L"RT_MESSAGETABLE",
        L"RT_GROUP_CURSOR", nullptr, L"RT_GROUP_ICON", nullptr, L"RT_VERSION", L"RT_DLGINCLUDE",
        nullptr, L"RT_PLUGPLAY", L"RT_VXD", L"RT_ANICURSOR", L"RT_ANIICON", L"RT_HTML",
        L"RT_MANIFEST"};
    return id < sizeof(names) / sizeof(names[0]) ? names[id] : nullptr;
}

const char* baseName(const char* file)
{
    const char* name = file;
    for (const char* p = file; *p; ++p)
        if (*p == '/' || *p == '\\')
            name = p + 1;
    return name;
}

[[noreturn]] void notAnImage()
{
    fail(kErrorBadExeFormat, L"ImageNtHeader() failed.");
}

} // namespace

struct PeImage::ResourceWalk {
    uint64_t nt;
    uint64_t entriesLeft;  // a tree without shared subtrees has at most size / 8 entries
    uint64_t copyLeft;     // what its resources may take, names and data
    uint32_t type = 0, name = 0;
    bool withData = true;
    std::vector<PeImage::Resource> resources;
};

// ---------------------------------------------------------------- checked reads

void PeImage::rangeError(uint64_t offset, const char* file, int line, const std::wstring& detail) const
{
    auto address = [this](uint64_t at) {
        wchar_t text[32];
        unsigned long long value = at == kNowhere ? 0 : reinterpret_cast<uintptr_t>(m_start) + at;
        swprintf(text, 32, L"0x%llx", value);
        return std::wstring(text);
    };
    std::wstring text = detail::fromThreadAnsi(baseName(file)) + L":" + decimal(line) +
                        L" trying to access data (" + address(offset) + L" out of valid range (" +
                        address(0) + L", " + address(m_size) + L")" + detail;
    ZEL_LOG_ERROR << text;
    fail(kErrorInvalidAccess, text);
}

// The whole structure must lie inside the range, not only its first byte.
void PeImage::check(uint64_t offset, uint64_t length, const char* file, int line) const
{
    if (offset == kNowhere || offset > m_size)
        rangeError(offset, file, line);
    if (length > m_size - offset)
        rangeError(offset + length, file, line);
}

template <class T>
T PeImage::read(uint64_t offset, const char* file, int line) const
{
    check(offset, sizeof(T), file, line);
    T value;
    std::memcpy(&value, m_start + offset, sizeof(T));
    return value;
}

// What one walk of the tables may take out of the image. Honest tables are
// read about once (a resource's type and name texts once for each resource
// under them); entries pointing to the same parts again and again would make
// a small file cost time and memory by the square of its size.
uint64_t PeImage::readBudget() const
{
    return kReadsOfTheImage * m_size;
}

void PeImage::spend(uint64_t& budget, uint64_t bytes, uint64_t offset, const char* file, int line) const
{
    if (bytes > budget)
        rangeError(offset, file, line, L": the tables point to the same data again and again");
    budget -= bytes;
}

// The string at the offset, its bytes and terminator taken from the budget.
std::string PeImage::spentString(uint64_t& budget, uint64_t offset, const char* file, int line) const
{
    std::string text = cString(offset, file, line);
    spend(budget, text.size() + 1, offset, file, line);
    return text;
}

std::string PeImage::cString(uint64_t offset, const char* file, int line) const
{
    check(offset, 0, file, line);
    const void* end = std::memchr(m_start + offset, 0, static_cast<size_t>(m_size - offset));
    if (!end)
        rangeError(m_size, file, line, L": string not terminated");
    const char* text = reinterpret_cast<const char*>(m_start + offset);
    return std::string(text, static_cast<const char*>(end) - text);
}

// ---------------------------------------------------------------- headers

uint64_t PeImage::ntOffset() const
{
    if (m_size < sizeof(pe::DosHeader))
        return kNowhere;
    pe::DosHeader dos;
    std::memcpy(&dos, m_start, sizeof dos);
    if (dos.magic != pe::kDosSignature || dos.ntOffset < 0)
        return kNowhere;
    uint64_t nt = static_cast<uint32_t>(dos.ntOffset);
    if (nt > m_size || m_size - nt < 4)
        return kNowhere;
    uint32_t signature;
    std::memcpy(&signature, m_start + nt, 4);
    return signature == pe::kNtSignature ? nt : kNowhere;
}

uint64_t PeImage::requireNt() const
{
    uint64_t nt = ntOffset();
    if (nt == kNowhere)
        notAnImage();
    return nt;
}

uint16_t PeImage::optionalMagic(uint64_t nt) const
{
    return PE_READ(uint16_t, nt + kOptionalHeader);
}

// The optional header must be one of the two kinds and hold its fixed part and
// every data directory it announces: a size taken from the other kind would
// put the section table, and everything read through it, in the wrong place.
void PeImage::checkOptionalHeader(uint64_t nt) const
{
    uint16_t magic = optionalMagic(nt);
    uint16_t size = PE_READ(pe::FileHeader, nt + kFileHeader).sizeOfOptionalHeader;
    uint64_t optional = nt + kOptionalHeader;
    if (magic != pe::kOptional32Magic && magic != pe::kOptional64Magic)
        rangeError(optional, __FILE__, __LINE__, L": unknown optional header kind");
    bool plus = magic == pe::kOptional64Magic;
    uint64_t fixedPart = plus ? kDirectories64 : kDirectories32;
    PE_CHECK(optional, fixedPart);
    uint32_t announced = PE_READ(uint32_t, optional + (plus ? kRvaCount64 : kRvaCount32));
    uint64_t directories = std::min<uint64_t>(announced, pe::kDirectoryCount);
    if (size < fixedPart + directories * sizeof(pe::DataDirectory))
        rangeError(optional + size, __FILE__, __LINE__, L": optional header smaller than its kind");
}

uint16_t PeImage::sectionCount(uint64_t nt) const
{
    return PE_READ(pe::FileHeader, nt + kFileHeader).numberOfSections;
}

uint64_t PeImage::sectionTable(uint64_t nt) const
{
    checkOptionalHeader(nt);
    pe::FileHeader header = PE_READ(pe::FileHeader, nt + kFileHeader);
    uint64_t table = nt + kOptionalHeader + header.sizeOfOptionalHeader;
    PE_CHECK(table, uint64_t(header.numberOfSections) * kSectionHeaderSize);
    return table;
}

PeImage::Section PeImage::section(uint64_t nt, unsigned index) const
{
    pe::SectionHeader header = PE_READ(pe::SectionHeader, sectionTable(nt) + uint64_t(index) * kSectionHeaderSize);
    return Section{header.virtualAddress, header.sizeOfRawData, header.pointerToRawData};
}

// The flat-file position of a relative virtual address: the section whose raw
// data holds it decides; kNowhere when none does.
uint64_t PeImage::rvaToOffset(uint64_t nt, uint32_t rva) const
{
    uint16_t count = sectionCount(nt);
    uint64_t table = sectionTable(nt);
    for (unsigned i = 0; i < count; ++i) {
        pe::SectionHeader header = PE_READ(pe::SectionHeader, table + uint64_t(i) * kSectionHeaderSize);
        if (rva >= header.virtualAddress && rva - header.virtualAddress < header.sizeOfRawData)
            return uint64_t(header.pointerToRawData) + (rva - header.virtualAddress);
    }
    return kNowhere;
}

// The name of a hint/name entry, behind its two-byte hint.
uint64_t PeImage::hintNameText(uint64_t nt, uint32_t rva) const
{
    uint64_t entry = rvaToOffset(nt, rva);
    PE_CHECK(entry, 2);
    return entry + 2;
}

// Data directory `index`, or kNowhere when absent or outside every section.
// The data-directory entry as stored; false when the header has no such entry.
bool PeImage::directoryEntry(uint64_t nt, unsigned index, pe::DataDirectory& data) const
{
    checkOptionalHeader(nt);
    bool plus = isPe32Plus(nt);
    uint64_t optional = nt + kOptionalHeader;
    uint16_t optionalSize = PE_READ(pe::FileHeader, nt + kFileHeader).sizeOfOptionalHeader;
    uint32_t count = PE_READ(uint32_t, optional + (plus ? kRvaCount64 : kRvaCount32));
    uint64_t entry = (plus ? kDirectories64 : kDirectories32) + uint64_t(index) * sizeof(pe::DataDirectory);
    if (index >= count || entry + sizeof(pe::DataDirectory) > optionalSize)
        return false;
    data = PE_READ(pe::DataDirectory, optional + entry);
    return true;
}

uint64_t PeImage::directory(uint64_t nt, unsigned index) const
{
    pe::DataDirectory data;
    if (!directoryEntry(nt, index, data) || data.virtualAddress == 0)
        return kNowhere;
    uint64_t position = rvaToOffset(nt, data.virtualAddress);
    if (position != kNowhere)
        PE_CHECK(position, 0);
    return position;
}

// Like directory(), but kNowhere also for a file without NT headers.
uint64_t PeImage::optionalDirectory(uint64_t& nt, unsigned index) const
{
    nt = ntOffset();
    return nt == kNowhere ? kNowhere : directory(nt, index);
}

// The security directory holds a file position, not an address: it is not
// mapped with the image.
bool PeImage::certificateTable(uint32_t& offset, uint32_t& size) const
{
    uint64_t nt = ntOffset();
    pe::DataDirectory data;
    if (nt == kNowhere || !directoryEntry(nt, pe::kSecurityDirectory, data) || data.virtualAddress == 0 ||
        data.size == 0)
        return false;
    offset = data.virtualAddress;
    size = data.size;
    return true;
}

unsigned short PeImage::machine() const
{
    return PE_READ(pe::FileHeader, requireNt() + kFileHeader).machine;
}

// The end of the last section table entry's raw data; data behind it is appended.
uint64_t PeImage::imageSize() const
{
    uint64_t nt = requireNt();
    checkOptionalHeader(nt);
    uint16_t count = sectionCount(nt);
    if (count == 0)
        return PE_READ(uint32_t, nt + kOptionalHeader + kSizeOfHeaders);
    Section last = section(nt, count - 1u);
    return uint64_t(last.rawPointer) + last.rawSize;
}

// ---------------------------------------------------------------- exports and imports

std::set<std::wstring> PeImage::exports() const
{
    std::set<std::wstring> result;
    uint64_t nt;
    uint64_t at = optionalDirectory(nt, pe::kExportDirectory);
    if (at == kNowhere)
        return result;
    pe::ExportDirectory dir = PE_READ(pe::ExportDirectory, at);
    uint64_t names = rvaToOffset(nt, dir.addressOfNames);
    uint64_t ordinals = rvaToOffset(nt, dir.addressOfNameOrdinals);
    uint64_t functions = rvaToOffset(nt, dir.addressOfFunctions);
    if (names != kNowhere && ordinals != kNowhere) {
        PE_CHECK(names, uint64_t(dir.numberOfNames) * 4);
        PE_CHECK(ordinals, uint64_t(dir.numberOfNames) * 2);
        uint64_t budget = readBudget();
        for (uint32_t i = 0; i < dir.numberOfNames; ++i) {
            uint32_t nameRva = PE_READ(uint32_t, names + uint64_t(i) * 4);
            result.insert(detail::fromThreadAnsi(PE_SPENT_STRING(budget, rvaToOffset(nt, nameRva))));
            uint64_t indexAt = ordinals + uint64_t(i) * 2;
            uint16_t index = PE_READ(uint16_t, indexAt);
            if (index >= dir.numberOfFunctions)
                rangeError(indexAt, __FILE__, __LINE__, L": export ordinal beyond the address table");
            result.insert(decimal(uint64_t(dir.base) + index));
        }
    }
    if (functions != kNowhere) {
        PE_CHECK(functions, uint64_t(dir.numberOfFunctions) * 4);
        for (uint32_t j = 0; j < dir.numberOfFunctions; ++j)
            if (PE_READ(uint32_t, functions + uint64_t(j) * 4) != 0)
                result.insert(decimal(uint64_t(dir.base) + j));
    }
    return result;
}

std::map<std::wstring, std::set<std::wstring>> PeImage::imports() const
{
    std::map<std::wstring, std::set<std::wstring>> result;
    uint64_t nt;
    uint64_t at = optionalDirectory(nt, pe::kImportDirectory);
    if (at == kNowhere)
        return result;
    bool plus = isPe32Plus(nt);
    bool wideThunks = PE_READ(pe::FileHeader, nt + kFileHeader).sizeOfOptionalHeader == pe::kOptional64Size;
    const uint64_t thunkSize = wideThunks ? 8 : 4;
    uint64_t budget = readBudget();

    for (;; at += sizeof(pe::ImportDescriptor)) {
        pe::ImportDescriptor desc = PE_READ(pe::ImportDescriptor, at);
        if (desc.timeDateStamp == 0 && desc.name == 0)
            break;
        uint64_t nameAt = rvaToOffset(nt, desc.name);
        std::string module = PE_STRING(nameAt);
        if (module.empty())
            rangeError(nameAt, __FILE__, __LINE__, L": import without a module name");
        std::set<std::wstring>& names = result[detail::fromThreadAnsi(module)];
        uint32_t thunksRva = desc.originalFirstThunk ? desc.originalFirstThunk : desc.firstThunk;
        if (thunksRva == 0)
            continue;
        for (uint64_t thunk = rvaToOffset(nt, thunksRva);; thunk += thunkSize) {
            uint64_t value = wideThunks ? PE_READ(uint64_t, thunk) : PE_READ(uint32_t, thunk);
            if (value == 0)
                break;
            PE_SPEND(budget, thunkSize, thunk);
            bool byOrdinal = wideThunks ? (plus ? (value >> 63) != 0 : (value & 0x80000000u) != 0)
                                        : (!plus && (value & 0x80000000u) != 0);
            if (byOrdinal)
                names.insert(decimal(value & 0xFFFF));
            else
                names.insert(detail::fromThreadAnsi(
                    PE_SPENT_STRING(budget, hintNameText(nt, static_cast<uint32_t>(value)))));
        }
    }
    return result;
}

// ---------------------------------------------------------------- resources

std::vector<PeImage::Resource> PeImage::resources(bool withData) const
{
    uint64_t nt;
    uint64_t root = optionalDirectory(nt, pe::kResourceDirectory);
    if (root == kNowhere)
        return {};
    ResourceWalk walk;
    walk.nt = nt;
    walk.entriesLeft = m_size / sizeof(pe::ResourceDirectoryEntry);
    walk.copyLeft = readBudget();
    walk.withData = withData;
    readResourceDirectory(root, root, 0, walk);
    return std::move(walk.resources);
}

void PeImage::readResourceDirectory(uint64_t root, uint64_t dir, int level, ResourceWalk& walk) const
{
    pe::ResourceDirectory header = PE_READ(pe::ResourceDirectory, dir);
    uint64_t count = uint64_t(header.numberOfNamedEntries) + header.numberOfIdEntries;
    uint64_t entries = dir + sizeof header;
    PE_CHECK(entries, count * sizeof(pe::ResourceDirectoryEntry));
    if (count > walk.entriesLeft)
        rangeError(entries, __FILE__, __LINE__, L": resource directories share entries");
    walk.entriesLeft -= count;

    for (uint64_t i = 0; i < count; ++i) {
        uint64_t entryAt = entries + i * sizeof(pe::ResourceDirectoryEntry);
        uint32_t id = PE_READ(uint32_t, entryAt);
        uint32_t offset = PE_READ(uint32_t, entryAt + 4);
        if (level == 0)
            walk.type = id;
        else if (level == 1)
            walk.name = id;
        if (offset & 0x80000000u) {
            uint64_t subdirectory = root + (offset & 0x7FFFFFFFu);
            if (level >= kDeepestResourceLevel)
                rangeError(subdirectory, __FILE__, __LINE__, L": resource tree deeper than three levels");
            readResourceDirectory(root, subdirectory, level + 1, walk);
            continue;
        }
        pe::ResourceDataEntry data = PE_READ(pe::ResourceDataEntry, root + offset);
        uint64_t bytes = rvaToOffset(walk.nt, data.offsetToData);
        PE_CHECK(bytes, data.size);
        if (walk.withData)
            PE_SPEND(walk.copyLeft, data.size, bytes);

        Resource resource;
        bool typeNamed = (walk.type & 0x80000000u) != 0;
        resource.typeId = typeNamed ? 0 : static_cast<unsigned short>(walk.type);
        const wchar_t* known = typeNamed ? nullptr : resourceTypeName(resource.typeId);
        resource.typeName = typeNamed ? readResourceString(root, walk.type)
                                      : known ? known : decimal(resource.typeId);
        bool nameNamed = (walk.name & 0x80000000u) != 0;
        resource.nameId = nameNamed ? 0 : static_cast<unsigned short>(walk.name);
        resource.name = readResourceString(root, walk.name);
        PE_SPEND(walk.copyLeft, (resource.typeName.size() + resource.name.size()) * 2, root + offset);
        resource.languageId = static_cast<unsigned short>(id);
        resource.language = decimal(resource.languageId);
        if (walk.withData)
            resource.data.assign(m_start + bytes, m_start + bytes + data.size);
        walk.resources.push_back(std::move(resource));
    }
}

// A counted UTF-16 string for a value with the top bit set, else the decimal number.
std::wstring PeImage::readResourceString(uint64_t root, uint32_t value) const
{
    if (!(value & 0x80000000u))
        return decimal(value & 0xFFFF);
    uint64_t at = root + (value & 0x7FFFFFFFu);
    uint16_t length = PE_READ(uint16_t, at);
    PE_CHECK(at + 2, uint64_t(length) * 2);
    std::wstring text(length, L'\0');
    for (size_t i = 0; i < length; ++i)  // unit by unit: wchar_t is not 16 bits everywhere
        text[i] = static_cast<wchar_t>(m_start[at + 2 + 2 * i] | (m_start[at + 3 + 2 * i] << 8));
    return text;
}

// ---------------------------------------------------------------- .NET

unsigned long PeImage::dotNetFlags() const
{
    uint64_t at = directory(requireNt(), pe::kClrDirectory);
    return at == kNowhere ? 0 : PE_READ(pe::ClrHeader, at).flags;
}

uint64_t PeImage::dotNetMetadata(uint64_t& size) const
{
    uint64_t nt = requireNt();
    uint64_t at = directory(nt, pe::kClrDirectory);
    if (at == kNowhere)
        return kNowhere;
    pe::ClrHeader header = PE_READ(pe::ClrHeader, at);
    uint64_t metadata = rvaToOffset(nt, header.metaData.virtualAddress);
    if (metadata == kNowhere)
        return kNowhere;
    PE_CHECK(metadata, header.metaData.size);
    size = header.metaData.size;
    return metadata;
}

std::wstring PeImage::dotNetVersion() const
{
    uint64_t nt = requireNt();
    uint64_t at = directory(nt, pe::kClrDirectory);
    if (at == kNowhere)
        return std::wstring();
    pe::ClrHeader header = PE_READ(pe::ClrHeader, at);
    uint64_t metadata = rvaToOffset(nt, header.metaData.virtualAddress);
    if (metadata == kNowhere)
        return std::wstring();
    uint32_t length = PE_READ(uint32_t, metadata + 12);
    PE_CHECK(metadata + 16, length);
    const char* text = reinterpret_cast<const char*>(m_start + metadata + 16);
    return detail::fromThreadAnsi(std::string(text, strnlen(text, length)));
}

} // namespace ZelUt
