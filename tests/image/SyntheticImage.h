// A PE image put together byte by byte, for structures no linker writes:
// duplicate import descriptors, a CLI header, damaged directories. One data
// section at RVA 0x1000, raw data at file offset 0x400.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

namespace qkztest {

class SyntheticImage {
public:
    static const uint32_t kSectionRva = 0x1000;
    static const uint32_t kRawOffset = 0x400;
    static const uint32_t kNtOffset = 0x80;

    explicit SyntheticImage(bool plus = false) : m_plus(plus) {}

    // Appends bytes to the section (4-byte aligned) and returns their RVA.
    uint32_t put(const void* data, size_t size)
    {
        while (m_section.size() % 4)
            m_section.push_back(0);
        uint32_t rva = kSectionRva + static_cast<uint32_t>(m_section.size());
        const uint8_t* bytes = static_cast<const uint8_t*>(data);
        m_section.insert(m_section.end(), bytes, bytes + size);
        return rva;
    }
    uint32_t putString(const std::string& text) { return put(text.c_str(), text.size() + 1); }
    template <class T>
    uint32_t putValue(const T& value) { return put(&value, sizeof value); }

    void setDirectory(unsigned index, uint32_t rva, uint32_t size) { m_dirs[index] = {rva, size}; }
    uint32_t sectionTableOffset() const { return kNtOffset + 24 + optionalSize(); }

    std::string bytes() const
    {
        uint32_t rawSize = static_cast<uint32_t>((m_section.size() + 0x1FF) & ~size_t(0x1FF));
        std::string file(kRawOffset + rawSize, '\0');
        IMAGE_DOS_HEADER dos = {};
        dos.e_magic = IMAGE_DOS_SIGNATURE;
        dos.e_lfanew = kNtOffset;
        std::memcpy(&file[0], &dos, sizeof dos);
        uint32_t signature = IMAGE_NT_SIGNATURE;
        std::memcpy(&file[kNtOffset], &signature, 4);
        IMAGE_FILE_HEADER header = {};
        header.Machine = m_plus ? IMAGE_FILE_MACHINE_AMD64 : IMAGE_FILE_MACHINE_I386;
        header.NumberOfSections = 1;
        header.SizeOfOptionalHeader = static_cast<WORD>(optionalSize());
        header.Characteristics = IMAGE_FILE_EXECUTABLE_IMAGE | IMAGE_FILE_DLL;
        std::memcpy(&file[kNtOffset + 4], &header, sizeof header);
        if (m_plus)
            writeOptional<IMAGE_OPTIONAL_HEADER64>(file, IMAGE_NT_OPTIONAL_HDR64_MAGIC, rawSize);
        else
            writeOptional<IMAGE_OPTIONAL_HEADER32>(file, IMAGE_NT_OPTIONAL_HDR32_MAGIC, rawSize);
        IMAGE_SECTION_HEADER section = {};
        std::memcpy(section.Name, ".data", 5);
        section.Misc.VirtualSize = rawSize;
        section.VirtualAddress = kSectionRva;
        section.SizeOfRawData = rawSize;
        section.PointerToRawData = kRawOffset;
        std::memcpy(&file[sectionTableOffset()], &section, sizeof section);
        std::memcpy(&file[kRawOffset], m_section.data(), m_section.size());
        return file;
    }

private:
    uint32_t optionalSize() const
    {
        return m_plus ? sizeof(IMAGE_OPTIONAL_HEADER64) : sizeof(IMAGE_OPTIONAL_HEADER32);
    }

    template <class Optional>
    void writeOptional(std::string& file, WORD magic, uint32_t rawSize) const
    {
        Optional optional = {};
        optional.Magic = magic;
        optional.SectionAlignment = 0x1000;
        optional.FileAlignment = 0x200;
        optional.SizeOfImage = kSectionRva + ((rawSize + 0xFFF) & ~0xFFFu);
        optional.SizeOfHeaders = kRawOffset;
        optional.NumberOfRvaAndSizes = IMAGE_NUMBEROF_DIRECTORY_ENTRIES;
        for (unsigned i = 0; i < IMAGE_NUMBEROF_DIRECTORY_ENTRIES; ++i) {
            optional.DataDirectory[i].VirtualAddress = m_dirs[i].VirtualAddress;
            optional.DataDirectory[i].Size = m_dirs[i].Size;
        }
        std::memcpy(&file[kNtOffset + 24], &optional, sizeof optional);
    }

    bool m_plus;
    std::vector<uint8_t> m_section;
    IMAGE_DATA_DIRECTORY m_dirs[IMAGE_NUMBEROF_DIRECTORY_ENTRIES] = {};
};

// An assembly of just an Assembly row and `references` AssemblyRef rows, all
// naming one string: names as hostile as wanted, heaps under 64 KiB.
inline std::string syntheticAssembly(const std::string& name, const std::string& reference, uint32_t references)
{
    auto put = [](std::string& out, unsigned width, std::initializer_list<uint32_t> values) {
        for (uint32_t v : values)
            out.append(reinterpret_cast<const char*>(&v), width);
    };
    std::string strings = std::string(1, '\0') + name + '\0' + reference + '\0';
    strings.resize((strings.size() + 3) & ~size_t(3));
    std::string tables;
    // version 2.0 with small heap indexes; tables 0x20 (Assembly) and 0x23 (AssemblyRef), their row counts
    put(tables, 4, {0, 2, 0, 0x9, 0, 0, 1, references, 0x8004});
    put(tables, 2, {1, 0, 0, 0, 0, 0, 0, 1, 0});  // version 1.0.0.0, flags, key, name, culture
    for (uint32_t i = 0; i < references; ++i)
        put(tables, 2, {1, 0, 0, 0, 0, 0, 0, uint32_t(name.size() + 2), 0, 0});  // ..., token, name, culture, hash
    tables.resize((tables.size() + 3) & ~size_t(3));
    const uint32_t headers = 32 + 12 + 20 + 16, tablesSize = uint32_t(tables.size());
    std::string root;
    put(root, 4, {0x424A5342, 0x00010001, 0, 12});
    root.append("v4.0.30319\0\0", 12);
    put(root, 4, {3u << 16, headers, tablesSize});
    root.append("#~\0\0", 4);
    put(root, 4, {headers + tablesSize, uint32_t(strings.size())});
    root.append("#Strings\0\0\0\0", 12);
    put(root, 4, {headers + tablesSize + uint32_t(strings.size()), 4});
    root.append("#Blob\0\0\0", 8);
    root += tables + strings + std::string(4, '\0');

    SyntheticImage pe;
    uint32_t metadata = pe.put(root.data(), root.size());
    IMAGE_COR20_HEADER header = {};
    header.cb = sizeof header;
    header.MajorRuntimeVersion = 2;
    header.MetaData.VirtualAddress = metadata;
    header.MetaData.Size = uint32_t(root.size());
    pe.setDirectory(IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR, pe.putValue(header), sizeof header);
    return pe.bytes();
}

} // namespace qkztest
