#include <QoKivZelUt/ImageInfo.h>

#include "SyntheticImage.h"
#include "TestEnv.h"
#include "image/PeImage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>

using namespace qkztest;

namespace {

const ImageInfo::MachineType kOwnMachine =
    sizeof(void*) == 8 ? ImageInfo::MachineAmd64 : ImageInfo::MachineI386;

WinPath resolverDir() { return binDir() / L"resolver"; }

// Runs every query; each one must answer or throw CZelException. Returns the
// error code of the image-size query.
unsigned long queryAll(const ZelUt::PeImage& image)
{
    for (const auto& query : std::vector<std::function<void()>>{
             [&] { image.machine(); }, [&] { image.exports(); }, [&] { image.imports(); }, [&] { image.resources(); },
             [&] { image.dotNetVersion(); }, [&] { image.dotNetFlags(); }})
        failureOf(query);
    return failureOf([&] { image.imageSize(); }).code;
}

// A resource as "type typeId name nameId language languageId".
std::wstring described(const ImageInfo::Resource& r)
{
    return r.typeName + L" " + std::to_wstring(r.typeId) + L" " + r.name + L" " + std::to_wstring(r.nameId) + L" " +
           r.language + L" " + std::to_wstring(r.languageId);
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
    EXPECT_EQ(qkztest::failureOf([&] { text.getMachineType(); }).message, L"ImageNtHeader() failed.");
    EXPECT_THROW(text.getImageSize(), CZelException);
    EXPECT_THROW(text.getDotNetVersion(), CZelException);

    EXPECT_EQ(qkztest::failureOf([&] { ImageInfo empty(dir.write(L"empty.dll", "")); }).message,
              L"CreateFileMapping() failed.");
    EXPECT_THROW(ImageInfo(dir.path() / L"absent.dll"), CZelException);
    EXPECT_EQ(qkztest::failureOf([&] { ImageInfo huge(dir.writeLarge(L"huge.dll", "MZ", 5ull << 30)); }),
              (qkztest::Failure{ERROR_FILE_TOO_LARGE, L"FileMapping() failes: filesize is too big!"}));
    // All ones is a size here, not the failure GetFileSize answers with.
    const WinPath allOnes = dir.writeLarge(L"all ones.dll", "MZ", 0xFFFFFFFFull);
    const qkztest::Failure mapped = qkztest::failureOf([&] {
        ImageInfo image(allOnes);
        EXPECT_FALSE(image.isPEImage());
    });
    EXPECT_NE(L"FileMapping() failes: GetFileSize() failed.", mapped.message);
}

TEST(ImageInfo, ExportsImportsAndResourcesOfLinkedImages)
{
    ImageInfo dep(resolverDir() / L"qkz_resolver_dep.dll");
    ASSERT_TRUE(dep.isPEImage());
    EXPECT_EQ(kOwnMachine, dep.getMachineType());
    // Alpha @1, Beta @2, an unnamed export @5; the zero entries 3 and 4 add nothing.
    EXPECT_EQ((std::set<std::wstring>{L"1", L"2", L"5", L"Alpha", L"Beta"}), dep.getExports());
    EXPECT_TRUE(dep.getImports().count(WinPath(L"KERNEL32.dll")));

    std::map<std::wstring, std::wstring> resources;  // type to the rest of its description
    std::map<std::wstring, std::string> data;
    for (const auto& r : dep.getResources()) {
        resources[r.typeName] = described(r);
        data[r.typeName].assign(r.data.begin(), r.data.end());
    }
    EXPECT_EQ(L"RT_MANIFEST 24 1 1 1033 1033", resources[L"RT_MANIFEST"]);
    EXPECT_NE(std::string::npos, data[L"RT_MANIFEST"].find("QoKiv.ResolverTest"));
    EXPECT_EQ(1, dep.getManifestResourceId());
    EXPECT_EQ(L"13 13 7 7 1033 1033", resources[L"13"]);
    EXPECT_EQ("thirteen", data[L"13"].substr(0, 8));
    EXPECT_EQ(L"QKZDATA 0 PAYLOAD 0 1033 1033", resources[L"QKZDATA"]);
    EXPECT_TRUE(resources.count(L"RT_VERSION"));

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

// One export whose name lies at nameRva (0: a real name) and whose ordinal index is
// given, its address table at functionsRva (0: a real one).
std::string exporting(uint32_t nameRva, uint16_t ordinalIndex, uint32_t functionsRva = 0)
{
    SyntheticImage pe;
    IMAGE_EXPORT_DIRECTORY exports = {};
    exports.Base = 1;
    exports.NumberOfFunctions = exports.NumberOfNames = 1;
    exports.AddressOfNames = pe.putValue(nameRva ? nameRva : pe.putString("Alpha"));
    exports.AddressOfNameOrdinals = pe.putValue(ordinalIndex);
    exports.AddressOfFunctions = functionsRva ? functionsRva : pe.putValue(uint32_t(0x1000));
    pe.setDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT, pe.putValue(exports), sizeof exports);
    return pe.bytes();
}

// One import of a module by a hint/name entry at hintName (0: a real one).
std::string importing(const std::string& moduleName, uint32_t hintName)
{
    SyntheticImage pe;
    IMAGE_IMPORT_DESCRIPTOR descriptors[2] = {};
    descriptors[0].Name = pe.putString(moduleName);
    descriptors[0].OriginalFirstThunk = pe.putValue(hintName ? hintName : pe.put("\x01\x00" "Sleep\0", 8));
    pe.putValue(uint32_t(0));
    pe.setDirectory(IMAGE_DIRECTORY_ENTRY_IMPORT, pe.put(descriptors, sizeof descriptors), sizeof descriptors);
    return pe.bytes();
}

TEST(ImageInfo, DamagedStructuresGiveTheRangeError)
{
    TempDir dir;
    for (uint32_t functions : {0u, 0x900000u})  // a real address table, one outside every section
        EXPECT_EQ((std::set<std::wstring>{L"1", L"Alpha"}),
                  ImageInfo(dir.write(L"sound.dll", exporting(0, 0, functions))).getExports());
    EXPECT_EQ((std::set<std::wstring>{L"Sleep"}),
              ImageInfo(dir.write(L"sound.dll", importing("KERNEL32.dll", 0))).getImports()[WinPath(L"kernel32.dll")]);
    // A section at RVA 0 does not make the absent directories (RVA 0) present.
    SyntheticImage atZero;
    atZero.putString(std::string(64, 'x'));
    ImageInfo zero(dir.write(L"zero.dll", patched(atZero.bytes(), atZero.sectionTableOffset() + 12, uint32_t(0))));
    EXPECT_TRUE(zero.getExports().empty() && zero.getImports().empty() && zero.getResources().empty());

    SyntheticImage sectionsCut, exportsCut, loop, metadata;
    sectionsCut.putString("data");
    exportsCut.putString(std::string(0x300, 'a'));
    IMAGE_EXPORT_DIRECTORY noExports = {};
    exportsCut.setDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT, exportsCut.putValue(noExports), sizeof noExports);
    IMAGE_RESOURCE_DIRECTORY root = {};  // whose only entry is the root itself
    root.NumberOfIdEntries = 1;
    uint32_t rootRva = loop.putValue(root);
    loop.putValue(uint32_t(3));
    loop.putValue(uint32_t(0x80000000u));
    loop.setDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE, rootRva, 24);
    SyntheticImage deep;  // four directories, each the only entry of the one above
    const uint32_t deepRoot = deep.putValue(root);
    for (uint32_t level = 1; level <= 4; ++level) {
        deep.putValue(uint32_t(level));
        deep.putValue(level < 4 ? 0x80000000u | (24 * level) : 24 * level);
        if (level < 4)
            deep.putValue(root);
    }
    deep.putValue(IMAGE_RESOURCE_DATA_ENTRY{deepRoot, 4, 0, 0});
    deep.setDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE, deepRoot, 24 * 4 + 16);
    // 2,000 languages sharing one data block, and the type's name: each resource would take a copy of both.
    auto sharedResources = [](uint32_t dataBytes, uint16_t typeNameLength) {
        SyntheticImage shared;
        const uint32_t languages = 2000, dataEntry = 64 + 8 * languages, typeName = dataEntry + 16 + dataBytes;
        IMAGE_RESOURCE_DIRECTORY one = {}, many = {};
        one.NumberOfIdEntries = 1;
        many.NumberOfIdEntries = languages;
        const uint32_t root = shared.putValue(one);
        for (uint32_t value : {typeNameLength ? 0x80000000u | typeName : 10u, 0x80000018u})  // the name directory at 24
            shared.putValue(value);
        shared.putValue(one);
        for (uint32_t value : {1u, 0x80000030u})  // name 1, the language directory at 48
            shared.putValue(value);
        shared.putValue(many);
        for (uint32_t i = 0; i < 2 * languages; ++i)
            shared.putValue(i % 2 ? dataEntry : 1033u);
        shared.putValue(IMAGE_RESOURCE_DATA_ENTRY{root + dataEntry + 16, dataBytes, 0, 0});
        shared.put(std::string(dataBytes, 'd').data(), dataBytes);
        shared.putValue(typeNameLength);
        shared.put(std::string(2u * typeNameLength, 'T').data(), 2u * typeNameLength);
        shared.setDirectory(IMAGE_DIRECTORY_ENTRY_RESOURCE, root, typeName + 2 + 2u * typeNameLength);
        return shared.bytes();
    };
    SyntheticImage spread;  // 200 modules sharing one list of 2,000 ordinals, 1,000 names sharing one text
    std::vector<uint32_t> thunks(2000, 0x80000001u), nameRvas(1000, spread.putString(std::string(4000, 'n')));
    thunks.push_back(0);
    const uint32_t list = spread.put(thunks.data(), thunks.size() * 4);
    std::vector<IMAGE_IMPORT_DESCRIPTOR> modules(201, IMAGE_IMPORT_DESCRIPTOR{});
    for (size_t i = 0; i + 1 < modules.size(); ++i) {
        modules[i].OriginalFirstThunk = list;
        modules[i].Name = spread.putString("m" + std::to_string(i) + ".dll");
    }
    const uint32_t descriptorBytes = static_cast<uint32_t>(modules.size() * sizeof modules[0]);
    spread.setDirectory(IMAGE_DIRECTORY_ENTRY_IMPORT, spread.put(modules.data(), descriptorBytes), descriptorBytes);
    IMAGE_EXPORT_DIRECTORY named = {};
    named.NumberOfFunctions = 1;
    named.NumberOfNames = static_cast<DWORD>(nameRvas.size());
    named.AddressOfNames = spread.put(nameRvas.data(), nameRvas.size() * 4);
    named.AddressOfNameOrdinals = spread.put(std::string(nameRvas.size() * 2, '\0').data(), nameRvas.size() * 2);
    named.AddressOfFunctions = spread.putValue(uint32_t(0x1000));
    spread.setDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT, spread.putValue(named), sizeof named);
    IMAGE_COR20_HEADER clr = {};  // a metadata root announcing a version longer than the file
    clr.MetaData.VirtualAddress = metadata.put("BSJB\x01\x00\x01\x00\x00\x00\x00\x00\xff\xff\xff\x7f", 16);
    metadata.setDirectory(IMAGE_DIRECTORY_ENTRY_COM_DESCRIPTOR, metadata.putValue(clr), sizeof clr);
    const std::string plusWithSmallHeader =
        patched(SyntheticImage(true).bytes(), SyntheticImage::kNtOffset + 20, uint16_t(sizeof(IMAGE_OPTIONAL_HEADER32)));
    const std::function<void(ImageInfo&)> exports = [](ImageInfo& i) { i.getExports(); },
                                          imports = [](ImageInfo& i) { i.getImports(); },
                                          size = [](ImageInfo& i) { i.getImageSize(); };
    const struct {
        const char* what;
        std::string bytes;
        std::function<void(ImageInfo&)> query;
    } cases[] = {
        {"export name past the end", exporting(0x1000 + 0x7FFF0, 0), exports},
        {"export ordinal", exporting(0, 5), exports},
        {"hint/name nowhere", importing("KERNEL32.dll", 0x50000), imports},
        {"empty module name", importing("", 0), imports},
        {"PE32+ with the PE32 size", plusWithSmallHeader, size},
        {"PE32+ with the PE32 size", plusWithSmallHeader, imports},
        {"unknown kind", patched(SyntheticImage().bytes(), SyntheticImage::kNtOffset + 24, uint16_t(0x107)), size},
        {"section table", patched(sectionsCut.bytes(), SyntheticImage::kNtOffset + 6, uint16_t(200)).substr(0, 0x400), size},
        {"export directory outside", exportsCut.bytes().substr(0, 0x600), exports},
        {"export directory cut", exportsCut.bytes().substr(0, 0x718), exports},
        {"resource loop", loop.bytes(), [](ImageInfo& i) { i.getResources(); }},
        {"resource loop", loop.bytes(), [](ImageInfo& i) { i.getManifestResourceId(); }},
        {"resource tree four deep", deep.bytes(), [](ImageInfo& i) { i.getResources(); }},
        {"resource data shared", sharedResources(0x10000, 0), [](ImageInfo& i) { i.getResources(); }},
        {"resource type name shared", sharedResources(0, 0xFFFF), [](ImageInfo& i) { i.getResources(); }},
        {"import thunks shared", spread.bytes(), imports},
        {"export names shared", spread.bytes(), exports},
        {"metadata", metadata.bytes(), [](ImageInfo& i) { i.getDotNetVersion(); }},
    };
    for (const auto& c : cases) {
        ImageInfo image(dir.write(L"damaged.dll", c.bytes));
        Failure failure = failureOf([&] { c.query(image); });
        EXPECT_EQ(12u, failure.code) << c.what;
        EXPECT_NE(std::wstring::npos, failure.message.find(L"PeImage.cpp:")) << c.what;
        // The address named lies outside the range named, unless a reason follows.
        const size_t text = failure.message.find(L" trying to access data (");
        unsigned long long at = 0, low = 0, high = 0;
        ASSERT_NE(std::wstring::npos, text) << c.what;
        ASSERT_EQ(3, swscanf(failure.message.c_str() + text, L" trying to access data (0x%llx out of valid range (0x%llx, 0x%llx)",
                             &at, &low, &high)) << failure;
        if (failure.message.back() == L')')
            EXPECT_TRUE(at < low || at > high) << failure;
    }
    // A directory outside every section is none: nothing to read, nothing damaged.
    SyntheticImage astray;
    astray.setDirectory(IMAGE_DIRECTORY_ENTRY_EXPORT, 0x900000, 40);
    EXPECT_TRUE(ImageInfo(dir.write(L"astray.dll", astray.bytes())).getExports().empty());
    // Finding the manifest copies no resource data: shared many times over, it is no damage there.
    EXPECT_EQ(0xFFFF, ImageInfo(dir.write(L"shared.dll", sharedResources(0x10000, 0))).getManifestResourceId());
}

// Damaged copies of a real library, each parsed right before a no-access page.
TEST(PeImage, TruncatedAndBitFlippedImagesNeverReadOutside)
{
    std::string real = bytesOf(resolverDir() / L"qkz_resolver_dep.dll");
    ASSERT_GT(real.size(), 4096u);
    const uint32_t nt = fieldAt<uint32_t>(real, 0x3C);
    const IMAGE_FILE_HEADER header = fieldAt<IMAGE_FILE_HEADER>(real, nt + 4);
    uint32_t sectionTable = nt + 24 + header.SizeOfOptionalHeader;
    uint32_t sectionTableEnd = sectionTable + header.NumberOfSections * 40u;

    std::vector<size_t> cuts = {1, 63, 64, nt, nt + 3, nt + 4, nt + 23, nt + 24, nt + 24 + 0x10,
                                sectionTable, sectionTable + 39, sectionTableEnd - 1};
    for (size_t length = 512; length < real.size(); length += 509)
        cuts.push_back(length);
    for (size_t cut : cuts) {
        GuardedBytes bytes(real.substr(0, cut));
        unsigned long sizeError = queryAll(ZelUt::PeImage(bytes.data(), bytes.size()));
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
        queryAll(ZelUt::PeImage(bytes.data(), bytes.size()));
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
