// The PE/COFF structures the image reader reads, as the format defines them
// (little-endian, no padding), so that the reader builds on any system.
#pragma once

#include <cstdint>

namespace ZelUt {
namespace pe {

const uint16_t kDosSignature = 0x5A4D;     // "MZ"
const uint32_t kNtSignature = 0x00004550;  // "PE\0\0"
const uint16_t kOptional32Magic = 0x10B;
const uint16_t kOptional64Magic = 0x20B;
const unsigned kDirectoryCount = 16;
const uint32_t kOptional64Size = 240;  // the PE32+ optional header with all 16 directories

enum Directory : unsigned {
    kExportDirectory = 0,
    kImportDirectory = 1,
    kResourceDirectory = 2,
    kSecurityDirectory = 4,
    kClrDirectory = 14,
};

#pragma pack(push, 1)

struct DosHeader {
    uint16_t magic;
    uint8_t unused[58];
    int32_t ntOffset;  // e_lfanew
};

struct FileHeader {
    uint16_t machine;
    uint16_t numberOfSections;
    uint32_t timeDateStamp;
    uint32_t pointerToSymbolTable;
    uint32_t numberOfSymbols;
    uint16_t sizeOfOptionalHeader;
    uint16_t characteristics;
};

struct DataDirectory {
    uint32_t virtualAddress;
    uint32_t size;
};

struct SectionHeader {
    char name[8];
    uint32_t virtualSize;
    uint32_t virtualAddress;
    uint32_t sizeOfRawData;
    uint32_t pointerToRawData;
    uint32_t pointerToRelocations;
    uint32_t pointerToLinenumbers;
    uint16_t numberOfRelocations;
    uint16_t numberOfLinenumbers;
    uint32_t characteristics;
};

struct ExportDirectory {
    uint32_t characteristics;
    uint32_t timeDateStamp;
    uint16_t majorVersion;
    uint16_t minorVersion;
    uint32_t name;
    uint32_t base;
    uint32_t numberOfFunctions;
    uint32_t numberOfNames;
    uint32_t addressOfFunctions;
    uint32_t addressOfNames;
    uint32_t addressOfNameOrdinals;
};

struct ImportDescriptor {
    uint32_t originalFirstThunk;
    uint32_t timeDateStamp;
    uint32_t forwarderChain;
    uint32_t name;
    uint32_t firstThunk;
};

struct ResourceDirectory {
    uint32_t characteristics;
    uint32_t timeDateStamp;
    uint16_t majorVersion;
    uint16_t minorVersion;
    uint16_t numberOfNamedEntries;
    uint16_t numberOfIdEntries;
};

struct ResourceDirectoryEntry {
    uint32_t name;
    uint32_t offsetToData;
};

struct ResourceDataEntry {
    uint32_t offsetToData;
    uint32_t size;
    uint32_t codePage;
    uint32_t reserved;
};

struct ClrHeader {
    uint32_t cb;
    uint16_t majorRuntimeVersion;
    uint16_t minorRuntimeVersion;
    DataDirectory metaData;
    uint32_t flags;
    uint32_t entryPoint;
    DataDirectory resources;
    DataDirectory strongNameSignature;
    DataDirectory codeManagerTable;
    DataDirectory vTableFixups;
    DataDirectory exportAddressTableJumps;
    DataDirectory managedNativeHeader;
};

#pragma pack(pop)

static_assert(sizeof(DosHeader) == 64, "IMAGE_DOS_HEADER");
static_assert(sizeof(FileHeader) == 20, "IMAGE_FILE_HEADER");
static_assert(sizeof(DataDirectory) == 8, "IMAGE_DATA_DIRECTORY");
static_assert(sizeof(SectionHeader) == 40, "IMAGE_SECTION_HEADER");
static_assert(sizeof(ExportDirectory) == 40, "IMAGE_EXPORT_DIRECTORY");
static_assert(sizeof(ImportDescriptor) == 20, "IMAGE_IMPORT_DESCRIPTOR");
static_assert(sizeof(ResourceDirectory) == 16, "IMAGE_RESOURCE_DIRECTORY");
static_assert(sizeof(ResourceDirectoryEntry) == 8, "IMAGE_RESOURCE_DIRECTORY_ENTRY");
static_assert(sizeof(ResourceDataEntry) == 16, "IMAGE_RESOURCE_DATA_ENTRY");
static_assert(sizeof(ClrHeader) == 72, "IMAGE_COR20_HEADER");

} // namespace pe
} // namespace ZelUt
