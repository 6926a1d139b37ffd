#include <QoKivZelUt/DotNetResolver.h>
#include <QoKivZelUt/Process.h>

#include "Metadata.h"
#include "SyntheticImage.h"
#include "TestEnv.h"
#include "image/PeImage.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <map>
#include <set>
#include <tuple>

namespace {

WinPath assemblies()
{
    return qkztest::binDir() / L"assemblies";
}

// "name FILE|DISPLAY" and "ref FILE|DISPLAY" lines monodis gave at build time.
std::vector<std::pair<std::wstring, std::wstring>> monodisFacts(const std::wstring& kind)
{
    std::vector<std::pair<std::wstring, std::wstring>> facts;
    std::string text = WinAPI::readFileA(WinAPI::openFileReadOnly(assemblies() / L"expected.txt"));
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        std::wstring line = WinAPI::fromUtf8(text.substr(start, end - start));
        size_t blank = line.find(L' '), bar = line.find(L'|');
        if (line.substr(0, blank) == kind)
            facts.emplace_back(line.substr(blank + 1, bar - blank - 1), line.substr(bar + 1));
    }
    return facts;
}

// Where the metadata root of an assembly lies in the file.
uint64_t metadataRoot(const std::string& file, uint64_t& size)
{
    ZelUt::PeImage image(reinterpret_cast<const unsigned char*>(file.data()), file.size());
    return image.dotNetMetadata(size);
}

// The tables stream is the first one mcs writes; its header names its offset and size.
std::pair<uint32_t, uint32_t> tablesStream(const std::string& root)
{
    const uint32_t versionLength = qkztest::fieldAt<uint32_t>(root, 12);
    return {qkztest::fieldAt<uint32_t>(root, 20 + versionLength), qkztest::fieldAt<uint32_t>(root, 24 + versionLength)};
}

std::wstring strongToken()
{
    std::wstring name = ZelUt::DotNetResolver(assemblies() / L"strong" / L"Strong.dll").getAssemblyName();
    return name.substr(name.rfind(L'=') + 1);
}

} // namespace

TEST(DotNetResolver, NamesAndReferencesAgreeWithMonodis)
{
    // Ours, made by mcs, and the framework assemblies Debian's mono ships.
    std::vector<std::pair<std::wstring, std::wstring>> names = monodisFacts(L"name");
    ASSERT_GE(names.size(), 7u);
    for (const auto& fact : names)
        EXPECT_EQ(ZelUt::DotNetResolver(assemblies() / fact.first).getAssemblyName(), fact.second) << fact.first;
    std::map<std::wstring, std::set<std::wstring>> expected;
    for (const auto& fact : monodisFacts(L"ref"))
        expected[fact.first].insert(fact.second);
    ASSERT_GE(expected.size(), 2u);
    for (const auto& file : expected) {
        ZelUt::DotNetResolver resolver(assemblies() / file.first);
        resolver.resolveReferences();
        std::set<std::wstring> got;
        for (const auto& entry : resolver.getRequiredAssemblies())
            got.insert(entry.first);
        EXPECT_EQ(got, file.second) << file.first;
    }

    ZelUt::DotNetResolver program(assemblies() / L"app" / L"Program.exe");
    EXPECT_FALSE(program.resolveReferences());
    const auto& map = program.getRequiredAssemblies();
    EXPECT_EQ(map.at(L"Lib, Version=1.2.3.4, Culture=neutral, PublicKeyToken=null").str(),
              (assemblies() / L"app" / L"Lib.dll").str());
    EXPECT_EQ(map.at(L"Culture, Version=1.0.0.0, Culture=de, PublicKeyToken=null").str(),
              (assemblies() / L"app" / L"Culture.dll").str());
    std::set<std::wstring> missing;
    for (const std::wstring& name : program.getMissingAssemblyNames())
        missing.insert(name.substr(0, name.find(L',')));
    EXPECT_EQ(missing, (std::set<std::wstring>{L"Absent", L"Strong", L"mscorlib"}));
    EXPECT_EQ(program.getDotNetUtils().str(), (qkztest::binDir() / L"DotNetUtils20.exe").str());

    qkztest::LogCapture log;
    program.dumpRequiredAssemblies();
    const std::wstring app = (assemblies() / L"app").str();
    EXPECT_TRUE(log.contains(
        L"Required assemblies for " + program.getImagePath().str() + L":\n"
        L"\tAbsent, Version=0.0.0.0, Culture=neutral, PublicKeyToken=null *Missing* \n"
        L"\tCulture, Version=1.0.0.0, Culture=de, PublicKeyToken=null at path " + app + L"\\Culture.dll\n"
        L"\tLib, Version=1.2.3.4, Culture=neutral, PublicKeyToken=null at path " + app + L"\\Lib.dll\n"
        L"\tStrong, Version=2.0.1.7, Culture=neutral, PublicKeyToken=" + strongToken() + L" *Missing* \n"
        L"\tmscorlib, Version=4.0.0.0, Culture=neutral, PublicKeyToken=b77a5c561934e089 *Missing* \n"));
}

TEST(DotNetResolver, StrongNamedReferencesResolveInBothCacheLayouts)
{
    std::wstring token = strongToken();
    std::wstring reference = L"Strong, Version=2.0.1.7, Culture=neutral, PublicKeyToken=" + token;
    WinPath windows = WinAPI::getWindowsDirectory();
    struct Layout {
        WinPath root;
        std::wstring folder;
    } layouts[] = {{windows / L"assembly", L"2.0.1.7__" + token},
                   {windows / L"Microsoft.NET" / L"assembly", L"v4.0_2.0.1.7__" + token}};
    for (const Layout& layout : layouts) {
        bool rootExisted = layout.root.exists();
        qkztest::MadeDirectory cache(layout.root / L"GAC_MSIL" / L"Strong");
        WinPath folder = cache.path() / layout.folder;
        folder.createDirectory();
        WinAPI::copyFile(assemblies() / L"strong" / L"Strong.dll", folder / L"Strong.dll");
        ZelUt::DotNetResolver program(assemblies() / L"app" / L"Program.exe");
        program.resolveReferences();
        EXPECT_EQ(program.getRequiredAssemblies().at(reference).str(), (folder / L"Strong.dll").str());
        EXPECT_EQ(program.getMissingAssemblyNames().count(reference), 0u);
        if (!rootExisted)
            layout.root.removeRecursively();
    }
}

TEST(DotNetResolver, OnlyAssembliesAreAccepted)
{
    qkztest::TempDir dir;
    for (const auto& item : {std::make_pair(dir.write(L"text.dll", "just text"), L"Not a PE image."),
                             std::make_pair(qkztest::binDir() / L"qkz_testlib.dll", L"Not an assembly.")}) {
        EXPECT_EQ(qkztest::failureOf([&] { ZelUt::DotNetResolver resolver(item.first); }),
                  (qkztest::Failure{2u, item.second}));
    }
}

// The metadata of every truncation and of every single bit flipped in the
// tables stream is read cleanly (a result or MetadataError): the buffer ends
// at an inaccessible page, so any read past it faults.
TEST(DotNetMetadata, DamagedMetadataFailsCleanly)
{
    std::string file = qkztest::bytesOf(assemblies() / L"app" / L"Program.exe");
    uint64_t size = 0;
    uint64_t root = metadataRoot(file, size);
    ASSERT_NE(root, ZelUt::PeImage::kNowhere);
    std::vector<uint8_t> metadata(file.begin() + root, file.begin() + root + size);
    EXPECT_EQ(dotnetutils::readMetadata(metadata.data(), metadata.size()).references.size(), 5u);

    int failures = 0, cases = 0;
    auto attempt = [&](const std::vector<uint8_t>& bytes, size_t length) {
        qkztest::GuardedBytes guarded(std::string(bytes.begin(), bytes.begin() + length));
        ++cases;
        try {
            dotnetutils::readMetadata(guarded.data(), length);
        } catch (const dotnetutils::MetadataError&) {
            ++failures;
        }
    };
    for (size_t length = 0; length < metadata.size(); ++length)
        attempt(metadata, length);
    uint32_t tablesOffset, tablesSize;
    std::tie(tablesOffset, tablesSize) = tablesStream(std::string(metadata.begin(), metadata.end()));
    ASSERT_LE(uint64_t(tablesOffset) + tablesSize, metadata.size());
    for (uint32_t at = tablesOffset; at < tablesOffset + tablesSize; ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            std::vector<uint8_t> flipped(metadata);
            flipped[at] ^= uint8_t(1u << bit);
            attempt(flipped, flipped.size());
        }
    }
    EXPECT_GT(failures, int(metadata.size()) - 8) << "truncations fail (almost) all";
    std::printf("%d damaged metadata images read, %d refused\n", cases, failures);
}

// Damaged files through the utility itself: refused with exit code 6 and a
// reason on standard error, never a crash.
TEST(DotNetMetadata, TheUtilityRefusesDamagedFiles)
{
    std::string file = qkztest::bytesOf(assemblies() / L"app" / L"Program.exe");
    uint64_t size = 0;
    uint64_t root = metadataRoot(file, size);
    qkztest::TempDir dir;
    std::vector<std::string> damaged;
    for (uint64_t cut : {root, root + 12, root + 16, root + 40, root + size / 2, root + size - 1})
        damaged.emplace_back(file.begin(), file.begin() + cut);
    std::string overgrown(file.begin(), file.end());
    uint32_t tables = tablesStream(file.substr(root)).first;
    std::memset(&overgrown[root + tables + 8], 0xFF, 24);  // every table present, with huge row counts
    damaged.push_back(overgrown);
    for (size_t i = 0; i < damaged.size(); ++i) {
        WinPath path = dir.write(L"damaged" + std::to_wstring(i) + L".exe", damaged[i]);
        ZelUt::Process utility =
            qkztest::ran(qkztest::binDir() / L"DotNetUtils20.exe", L"/getAssemblyReferences:" + path.str());
        EXPECT_EQ(utility.getExitCode(), 6u) << i;
        EXPECT_NE(utility.getStderr().find(L"Damaged"), std::wstring::npos) << i;
    }
    // A file too large to be read into memory is unreadable (exit code 3).
    const WinPath huge = dir.writeLarge(L"huge.exe", file, 3ull << 30);
    ZelUt::Process utility = qkztest::ran(qkztest::binDir() / L"DotNetUtils20.exe", L"/getAssemblyReferences:" + huge.str());
    EXPECT_EQ(utility.getExitCode(), 3u);
    EXPECT_EQ(utility.getStderr(), huge.str() + L" is larger than 256 MiB; it is not read\n");
    // Quotes around the path that reach the utility (escaped on its command line) are taken off.
    const WinPath whole = dir.write(L"whole.exe", file);
    EXPECT_EQ(0u, qkztest::ran(qkztest::binDir() / L"DotNetUtils20.exe",
                               ZelUt::quoteArgument(L"/getAssemblyReferences:\"" + whole.str() + L"\"")).getExitCode());
}

// Names that would forge or flood the answer are damaged metadata (exit 6);
// names the display-name grammar escapes are escaped; a device name is never
// probed as a file.
TEST(DotNetMetadata, HostileNamesNeitherForgeNorFloodTheAnswer)
{
    struct Case {
        std::string name, reference;
        uint32_t references;
        unsigned exitCode;
        const wchar_t* answer;
    } cases[] = {
        {"Lib", "a||C\nb", 1, 6, nullptr},
        {"Lib", "a\x7f", 1, 6, nullptr},
        {"Lib\nFake||C:\\evil.dll", "x", 1, 6, nullptr},
        {"Lib", std::string(60000, 'n'), 20000, 6, nullptr},
        {"Lib", std::string(1000, 'n'), 4096, 6, nullptr},  // the name alone is answered
        {"Lib", "x", 4097, 6, nullptr},
        {"a,b=c", "CON", 1, 0, L"CON, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null||\r\n"},
        {"a,b=c", "a\"b", 1, 0, L"a\\\"b, Version=1.0.0.0, Culture=neutral, PublicKeyToken=null||\r\n"},
    };
    qkztest::TempDir dir;
    for (const Case& test : cases) {
        WinPath path = dir.write(L"hostile.dll", qkztest::syntheticAssembly(test.name, test.reference, test.references));
        for (const wchar_t* command : {L"/getAssemblyName:", L"/getAssemblyReferences:"}) {
            ZelUt::Process utility = qkztest::ran(qkztest::binDir() / L"DotNetUtils20.exe", command + path.getQuoted());
            bool names = std::wcscmp(command, L"/getAssemblyName:") == 0;
            bool onlyTheAnswerIsLong = names && test.references == 4096;
            EXPECT_EQ(utility.getExitCode(), onlyTheAnswerIsLong ? 0 : test.exitCode)
                << test.name << " " << test.reference.substr(0, 20);
            EXPECT_LE(utility.getOutput().size(), 1u << 20);
            if (test.answer)
                EXPECT_EQ(utility.getOutput(),
                          L"\xfeff" + std::wstring(names ? L"a\\,b\\=c, Version=1.0.0.0, Culture=neutral, "
                                                          L"PublicKeyToken=null\r\n"
                                                        : test.answer));
        }
    }
}
