#include <QoKivZelUt/ImageInfo.h>

#include "SyntheticImage.h"
#include "TestEnv.h"
#include "image/PeImage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

using namespace qkztest;

namespace {

const ImageInfo::MachineType kOwnMachine =
    sizeof(void*) == 8 ? ImageInfo::MachineAmd64 : ImageInfo::MachineI386;

WinPath resolverDir() { return binDir() / L"resolver"; }

std::string fileBytes(const WinPath& path)
{
    return WinAPI::readFileA(WinAPI::openFileReadOnly(path));
}

// Bytes that end right before a no-access page, so that any read past their
// end faults instead of passing unnoticed.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::string& bytes)
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        size_t page = info.dwPageSize;
        size_t dataPages = (bytes.size() + page - 1) / page;
        m_base = static_cast<unsigned char*>(
            VirtualAlloc(nullptr, (dataPages + 1) * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD old;
        VirtualProtect(m_base + dataPages * page, page, PAGE_NOACCESS, &old);
        m_start = m_base + dataPages * page - bytes.size();
        memcpy(m_start, bytes.data(), bytes.size());
        m_size = bytes.size();
    }
    ~GuardedBytes() { VirtualFree(m_base, 0, MEM_RELEASE); }
    ZelUt::PeImage image() const { return ZelUt::PeImage(m_start, m_size); }

private:
    unsigned char* m_base;
    unsigned char* m_start;
    size_t m_size;
};

// The error code a query ends with; 0 when it answers.
unsigned long errorOf(const std::function<void()>& query)
{
    try {
        query();
        return 0;
    } catch (const CZelException& e) {
        return e.getErrorCode() ? e.getErrorCode() : 1;
    }
}

// Runs every query; each one must answer or throw CZelException. Returns the
// error code of the image-size query.
unsigned long queryAll(const ZelUt::PeImage& image)
{
    errorOf([&] { image.machine(); });
    errorOf([&] { image.exports(); });
    errorOf([&] { image.imports(); });
    errorOf([&] { image.resources(); });
    errorOf([&] { image.dotNetVersion(); });
    errorOf([&] { image.dotNetFlags(); });
    return errorOf([&] { image.imageSize(); });
}

} // namespace

TEST(ImageInfo, TextAndEmptyFiles)
{
    TempDir dir;
    ImageInfo text(dir.write(L"notes.txt", "MZ is how it starts, but nothing follows.\r\n"));
    EXPECT_FALSE(text.isPEImage());
    EXPECT_TRUE(text.getExports().empty());
    EXPECT_TRUE(text.getImports().empty());
    EXPECT_TRUE(text.getResources().empty());
    EXPECT_EQ(0xFFFF, text.getManifestResourceId());
    try {
        text.getMachineType();
        FAIL() << "no exception";
    } catch (const CZelException& e) {
        EXPECT_EQ(L"ImageNtHeader() failed.", e.getMessage());
    }
    EXPECT_THROW(text.getImageSize(), CZelException);
    EXPECT_THROW(text.getDotNetVersion(), CZelException);

    try {
        ImageInfo empty(dir.write(L"empty.dll", ""));
        FAIL() << "an empty file was mapped";
    } catch (const CZelException& e) {
        EXPECT_EQ(L"CreateFileMapping() failed.", e.getMessage());
    }
    EXPECT_THROW(ImageInfo(dir.path() / L"absent.dll"), CZelException);
}

TEST(ImageInfo, ExportsImportsAndResourcesOfLinkedImages)
{
    ImageInfo dep(resolverDir() / L"qkz_resolver_dep.dll");
    ASSERT_TRUE(dep.isPEImage());
    EXPECT_EQ(kOwnMachine, dep.getMachineType());
    // Alpha @1, Beta @2, an unnamed export @5; the zero entries 3 and 4 add nothing.
    EXPECT_EQ((std::set<std::wstring>{L"1", L"2", L"5", L"Alpha", L"Beta"}), dep.getExports());
    EXPECT_TRUE(dep.getImports().count(WinPath(L"KERNEL32.dll")));

    std::vector<ImageInfo::Resource> resources = dep.getResources();
    auto find = [&](const std::wstring& type) -> const ImageInfo::Resource* {
        for (const auto& r : resources)
            if (r.typeName == type)
                return &r;
        return nullptr;
    };
    const ImageInfo::Resource* manifest = find(L"RT_MANIFEST");
    ASSERT_TRUE(manifest);
    EXPECT_EQ(24, manifest->typeId);
    EXPECT_EQ(L"1", manifest->name);
    EXPECT_EQ(1, manifest->nameId);
    EXPECT_EQ(L"1033", manifest->language);
    EXPECT_EQ(1033, manifest->languageId);
    std::string manifestText(manifest->data.begin(), manifest->data.end());
    EXPECT_NE(std::string::npos, manifestText.find("QoKiv.ResolverTest"));
    EXPECT_EQ(1, dep.getManifestResourceId());

    const ImageInfo::Resource* thirteen = find(L"13");
    ASSERT_TRUE(thirteen);
    EXPECT_EQ(13, thirteen->typeId);
    EXPECT_EQ(7, thirteen->nameId);
    EXPECT_EQ("thirteen", std::string(thirteen->data.begin(), thirteen->data.begin() + 8));
    const ImageInfo::Resource* named = find(L"QKZDATA");
    ASSERT_TRUE(named);
    EXPECT_EQ(0, named->typeId);
    EXPECT_EQ(L"PAYLOAD", named->name);
    EXPECT_EQ(0, named->nameId);
    EXPECT_TRUE(find(L"RT_VERSION"));

    ImageInfo app(resolverDir() / L"qkz_resolver_app.exe");
    auto imports = app.getImports();
    // by name and by ordinal; a hint (1 and 2 here) is never a member
    EXPECT_EQ((std::set<std::wstring>{L"5", L"Alpha", L"Beta"}), imports[WinPath(L"qkz_resolver_dep.dll")]);
    EXPECT_TRUE(app.getExports().empty());
    EXPECT_EQ(L"", app.getDotNetVersion());
    EXPECT_EQ(0u, app.getDotNetFlags());
}

TEST(ImageInfo, SyntheticImportsDotNetAndImageSize)
{
    SyntheticImage pe;  // PE32: 32-bit thunks, bit 31 marks an ordinal
    uint32_t module = pe.putString("Shared.dll");
    uint32_t hintName = pe.put("\x07\x00" "First\0", 8);
    uint32_t secondName = pe.put("\x09\x00" "Second\0", 9);
    uint32_t thunksA = pe.putValue(hintName);
    pe.putValue(0x80000011u);
    pe.putValue(uint32_t(0));
    uint32_t thunksB = pe.putValue(secondName);
    pe.putValue(uint32_t(0));
    IMAGE_IMPORT_DESCRIPTOR descriptors[3] = {};
    descriptors[0].OriginalFirstThunk = thunksA;
    descriptors[0].Name = module;
    descriptors[1].FirstThunk = thunksB;  // no hint table: the IAT is read
    descriptors[1].Name = module;
    uint32_t importDir = pe.put(descriptors, sizeof descriptors);
    pe.setDirectory(IMAGE_DIRECTORY_ENTRY_IMPORT, importDir, sizeof descriptors);

    // A CLI header whose metadata root names the runtime version.
    std::string root("BSJB\x01\x00\x01\x00\x00\x00\x00\x00\x0c\x00\x00\x00v4.0.30319\0\0", 28);
    uint32_t metadata = pe.put(root.data(), root.size());
    IMAGE_COR20_HEADER clr = {};
    clr.cb = sizeof clr;
    clr.MajorRuntimeVersion = 2;
    clr.MetaData.VirtualAddress = metadata;
    clr.MetaData.Size = static_cast<DWORD>(root.size());
    clr.Flags = COMIMAGE_FLAGS_ILONLY;
    pe.setDirectory(IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR, pe.putValue(clr), sizeof clr);

    TempDir dir;
    std::string bytes = pe.bytes();
    ImageInfo image(dir.write(L"synthetic.dll", bytes + std::string(777, 'x')));
    auto imports = image.getImports();
    ASSERT_EQ(1u, imports.size());
    EXPECT_EQ((std::set<std::wstring>{L"17", L"First", L"Second"}), imports[WinPath(L"shared.DLL")]);
    EXPECT_EQ(L"v4.0.30319", image.getDotNetVersion());
    EXPECT_EQ(unsigned(COMIMAGE_FLAGS_ILONLY), image.getDotNetFlags());
    EXPECT_EQ(ImageInfo::MachineI386, image.getMachineType());
    // appended bytes are not part of the image
    EXPECT_EQ(static_cast<long long>(bytes.size()), image.getImageSize());
    EXPECT_EQ(0xFFFF, image.getManifestResourceId());
}

TEST(ImageInfo, DamagedStructuresGiveTheRangeError)
{
    TempDir dir;
    auto expectRangeError = [&](const std::string& bytes, const std::function<void(ImageInfo&)>& query,
                                const char* what) {
        ImageInfo image(dir.write(L"damaged.dll", bytes));
        try {
            query(image);
            ADD_FAILURE() << what << ": no exception";
        } catch (const CZelException& e) {
            EXPECT_EQ(12u, e.getErrorCode()) << what;
            EXPECT_NE(std::wstring::npos, e.getMessage().find(L" trying to access data (")) << what;
            EXPECT_NE(std::wstring::npos, e.getMessage().find(L"PeImage.cpp:")) << what;
        }
    };
    // One export whose name lies at nameRva (0: a real name) and whose ordinal index is given.
    auto exporting = [](uint32_t nameRva, uint16_t ordinalIndex) {
        SyntheticImage pe;
        uint32_t nameTable = pe.putValue(nameRva ? nameRva : pe.putString("Alpha"));
        uint32_t ordinals = pe.putValue(ordinalIndex);
        uint32_t functions = pe.putValue(uint32_t(0x1000));
        IMAGE_EXPORT_DIRECTORY exports = {};
        exports.Base = 1;
        exports.NumberOfFunctions = exports.NumberOfNames = 1;
        exports.AddressOfNames = nameTable;
        exports.AddressOfNameOrdinals = ordinals;
        exports.AddressOfFunctions = functions;
        pe.setDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT, pe.putValue(exports), sizeof exports);
        return pe.bytes();
    };
    EXPECT_EQ((std::set<std::wstring>{L"1", L"Alpha"}), ImageInfo(dir.write(L"sound.dll", exporting(0, 0))).getExports());
    expectRangeError(exporting(0x1000 + 0x7FFF0, 0), [](ImageInfo& i) { i.getExports(); }, "name past the end");
    expectRangeError(exporting(0, 5), [](ImageInfo& i) { i.getExports(); }, "export ordinal");
    {
        // A hint/name entry in no section, an empty module name.
        auto importing = [](const std::string& moduleName, uint32_t hintName) {
            SyntheticImage pe;
            uint32_t module = pe.putString(moduleName);
            uint32_t thunks = pe.putValue(hintName ? hintName : pe.put("\x01\x00" "Sleep\0", 8));
            pe.putValue(uint32_t(0));
            IMAGE_IMPORT_DESCRIPTOR descriptors[2] = {};
            descriptors[0].OriginalFirstThunk = thunks;
            descriptors[0].Name = module;
            pe.setDirectory(IMAGE_DIRECTORY_ENTRY_IMPORT, pe.put(descriptors, sizeof descriptors), sizeof descriptors);
            return pe.bytes();
        };
        ImageInfo sound(dir.write(L"sound.dll", importing("KERNEL32.dll", 0)));
        EXPECT_EQ((std::set<std::wstring>{L"Sleep"}), sound.getImports()[WinPath(L"kernel32.dll")]);
        expectRangeError(importing("KERNEL32.dll", 0x50000), [](ImageInfo& i) { i.getImports(); }, "hint/name nowhere");
        expectRangeError(importing("", 0), [](ImageInfo& i) { i.getImports(); }, "empty module name");
    }
    {
        // A PE32+ header claiming the PE32 size, and an unknown kind.
        std::string bytes = SyntheticImage(true).bytes();
        uint16_t size = sizeof(IMAGE_OPTIONAL_HEADER32);
        memcpy(&bytes[SyntheticImage::kNtOffset + 20], &size, 2);
        expectRangeError(bytes, [](ImageInfo& i) { i.getImageSize(); }, "PE32+ with PE32 size");
        expectRangeError(bytes, [](ImageInfo& i) { i.getImports(); }, "PE32+ with PE32 size");
        std::string rom = SyntheticImage().bytes();
        uint16_t romMagic = 0x107;
        memcpy(&rom[SyntheticImage::kNtOffset + 24], &romMagic, 2);
        expectRangeError(rom, [](ImageInfo& i) { i.getImageSize(); }, "unknown kind");
    }
    {
        // Section table entries past the end of the file.
        SyntheticImage pe;
        pe.putString("data");
        std::string bytes = pe.bytes();
        uint16_t sections = 200;
        memcpy(&bytes[SyntheticImage::kNtOffset + 6], &sections, 2);
        expectRangeError(bytes.substr(0, 0x400), [](ImageInfo& i) { i.getImageSize(); }, "section table");
    }
    {
        // The export directory inside the section, but the section's raw data cut off.
        SyntheticImage pe;
        pe.putString(std::string(0x300, 'a'));
        IMAGE_EXPORT_DIRECTORY exports = {};
        pe.setDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT, pe.putValue(exports), sizeof exports);
        std::string bytes = pe.bytes();
        expectRangeError(bytes.substr(0, 0x400 + 0x200), [](ImageInfo& i) { i.getExports(); },
                         "export directory outside");
    }
    {
        // A resource directory whose only entry is the root itself.
        SyntheticImage pe;
        IMAGE_RESOURCE_DIRECTORY root = {};
        root.NumberOfIdEntries = 1;
        uint32_t rootRva = pe.putValue(root);
        pe.putValue(uint32_t(3));
        pe.putValue(uint32_t(0x80000000u));
        pe.setDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE, rootRva, 24);
        expectRangeError(pe.bytes(), [](ImageInfo& i) { i.getResources(); }, "resource loop");
        ImageInfo looping(dir.write(L"loop.dll", pe.bytes()));
        EXPECT_THROW(looping.getManifestResourceId(), CZelException);
    }
    {
        // A metadata root announcing a version longer than the file.
        SyntheticImage pe;
        std::string root("BSJB\x01\x00\x01\x00\x00\x00\x00\x00\xff\xff\xff\x7f", 16);
        IMAGE_COR20_HEADER clr = {};
        clr.MetaData.VirtualAddress = pe.put(root.data(), root.size());
        pe.setDirectory(IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR, pe.putValue(clr), sizeof clr);
        expectRangeError(pe.bytes(), [](ImageInfo& i) { i.getDotNetVersion(); }, "metadata");
    }
}

// Damaged copies of a real library, each parsed right before a no-access page.
TEST(PeImage, TruncatedAndBitFlippedImagesNeverReadOutside)
{
    std::string real = fileBytes(resolverDir() / L"qkz_resolver_dep.dll");
    ASSERT_GT(real.size(), 4096u);
    uint32_t nt;
    memcpy(&nt, &real[0x3C], 4);
    IMAGE_FILE_HEADER header;
    memcpy(&header, &real[nt + 4], sizeof header);
    uint32_t sectionTable = nt + 24 + header.SizeOfOptionalHeader;
    uint32_t sectionTableEnd = sectionTable + header.NumberOfSections * 40u;

    std::vector<size_t> cuts = {1, 63, 64, nt, nt + 3, nt + 4, nt + 23, nt + 24, nt + 24 + 0x10,
                                sectionTable, sectionTable + 39, sectionTableEnd - 1};
    for (size_t length = 512; length < real.size(); length += 509)
        cuts.push_back(length);
    for (size_t cut : cuts) {
        GuardedBytes bytes(real.substr(0, cut));
        unsigned long sizeError = queryAll(bytes.image());
        if (cut >= nt + 4 && cut < sectionTableEnd) {
            EXPECT_EQ(12u, sizeError) << "cut at " << cut;
        }
    }

    std::mt19937 random(20261207);
    std::uniform_int_distribution<size_t> anywhere(0, real.size() - 1);
    std::uniform_int_distribution<size_t> headers(0, sectionTableEnd);
    std::uniform_int_distribution<int> bit(0, 7);
    for (int round = 0; round < 600; ++round) {
        std::string damaged = real;
        for (int flips = 0; flips < 4; ++flips) {
            size_t at = flips % 2 ? anywhere(random) : headers(random);
            damaged[at] = static_cast<char>(damaged[at] ^ (1 << bit(random)));
        }
        GuardedBytes bytes(damaged);
        queryAll(bytes.image());
    }
}

// QKZ_IMAGE_FACTS names what objdump said about a set of images (see
// objdump_facts.py); every fact must match.
TEST(ImageInfoPeers, AgreesWithObjdump)
{
    const char* factsPath = std::getenv("QKZ_IMAGE_FACTS");
    if (!factsPath)
        GTEST_SKIP() << "run through the image_peers test";
    std::ifstream facts(factsPath);
    ASSERT_TRUE(facts.good()) << factsPath;
    std::string line;
    std::wstring image;
    unsigned long machine = 0;
    long long imageSize = 0;
    std::set<std::wstring> exports;
    std::map<WinPath, std::set<std::wstring>> imports;
    int images = 0;
    while (std::getline(facts, line)) {
        std::wstring text = WinAPI::fromUtf8(line);
        size_t space = text.find(L' ');
        std::wstring key = text.substr(0, space), value = space == std::wstring::npos ? L"" : text.substr(space + 1);
        if (key == L"IMAGE") {
            image = value;
            exports.clear();
            imports.clear();
        } else if (key == L"MACHINE") {
            machine = std::wcstoul(value.c_str(), nullptr, 16);
        } else if (key == L"IMAGESIZE") {
            imageSize = std::wcstoll(value.c_str(), nullptr, 10);
        } else if (key == L"EXPORT") {
            exports.insert(value);
        } else if (key == L"IMPORT") {
            size_t bar = value.find(L'|');
            auto& names = imports[WinPath(value.substr(0, bar))];
            if (bar + 1 < value.size())
                names.insert(value.substr(bar + 1));
        } else if (key == L"END") {
            SCOPED_TRACE(image);
            ImageInfo info{WinPath(image)};
            EXPECT_EQ(machine, static_cast<unsigned long>(info.getMachineType()));
            EXPECT_EQ(imageSize, info.getImageSize());
            EXPECT_EQ(exports, info.getExports());
            EXPECT_EQ(imports, info.getImports());
            ++images;
        }
    }
    EXPECT_GE(images, 6);
}
