#include <QoKivZelUt/CabExtractor.h>
#include <QoKivZelUt/CabWriter.h>
#include <QoKivZelUt/ImageInfo.h>

#include "TestEnv.h"
#include "archive/CabNames.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

using namespace qkztest;

namespace {

// Made at build time by make_cabs.sh: the cabinets and the files packed in them.
WinPath cabDir() { return binDir().getParent() / L"test-cabs"; }
WinPath sourceDir() { return cabDir() / L"src"; }

const std::vector<std::wstring> kGcabFiles = {L"a.txt",     L"sub\\deeper\\b.bin", L"sub\\Grüße €.txt",
                                              L"empty.dat", L"random.bin",         L"text.txt"};

WIN32_FILE_ATTRIBUTE_DATA attributesOf(const WinPath& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    EXPECT_TRUE(GetFileAttributesExW(path.str().c_str(), GetFileExInfoStandard, &data)) << path.str();
    return data;
}

unsigned long long ticks(const FILETIME& t)
{
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

struct Recorder : ZelCabExtractor::ICallback {
    std::vector<WinPath> files, directories;
    void onFileExtracted(const WinPath& path) override { files.push_back(path); }
    void onDirectoryCreated(const WinPath& path) override { directories.push_back(path); }
};

// Every file below the directory, relative path to bytes.
std::map<std::wstring, std::string> filesBelow(const WinPath& dir)
{
    std::map<std::wstring, std::string> found;
    for (const WinPath& file : filesIn(dir))
        found[dir.getRelativePath(file).str()] = bytesOf(file);
    return found;
}

// Bytes compared without printing them.
::testing::AssertionResult sameBytes(const std::string& expected, const std::string& actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    size_t at = 0;
    while (at < expected.size() && at < actual.size() && expected[at] == actual[at])
        ++at;
    return ::testing::AssertionFailure() << "sizes " << expected.size() << " and " << actual.size()
                                         << ", first difference at " << at;
}

} // namespace

TEST(CabExtractor, GcabArchivesExtractWithExactBytesTimesAndAttributes)
{
    for (const wchar_t* cab : {L"plain.cab", L"mszip.cab"}) {
        SCOPED_TRACE(cab);
        TempDir dir;
        WinPath destination = dir.path() / L"new" / L"target";
        Recorder recorder;
        LogCapture log;
        {
            ZelCabExtractor extractor(cabDir() / cab);
            extractor.setCallback(&recorder);
            EXPECT_EQ(0u, extractor.getCabinetOffset());
            EXPECT_EQ(static_cast<long long>((cabDir() / cab).getFileSize()), extractor.getArchiveSize());
            EXPECT_EQ(kGcabFiles.size(), extractor.getNumberOfFiles());
            EXPECT_TRUE(log.contains(L"   Archive vendor               : Unknown\n"));

            long long total = 0;
            for (const auto& name : kGcabFiles)
                total += static_cast<long long>((sourceDir() / name).getFileSize());
            EXPECT_EQ(total, extractor.getExtractedSize());
            EXPECT_EQ(kGcabFiles.size(), extractor.getContents().size());
            EXPECT_FALSE((dir.path() / L"new").exists()) << "listing wrote something";

            ASSERT_TRUE(extractor.ExtractArchive(destination)) << extractor.getLastErrorText();
            EXPECT_EQ(L"No error.", extractor.getLastErrorText());
            for (const auto& name : kGcabFiles) {
                SCOPED_TRACE(name);
                EXPECT_TRUE(sameBytes(bytesOf(sourceDir() / name), bytesOf(destination / name)));
                WIN32_FILE_ATTRIBUTE_DATA source = attributesOf(sourceDir() / name);
                WIN32_FILE_ATTRIBUTE_DATA extracted = attributesOf(destination / name);
                EXPECT_EQ(ticks(source.ftLastWriteTime), ticks(extracted.ftLastWriteTime));
                EXPECT_EQ(ticks(source.ftLastWriteTime), ticks(extracted.ftCreationTime));
                EXPECT_EQ(DWORD(FILE_ATTRIBUTE_ARCHIVE), extracted.dwFileAttributes);
            }
            EXPECT_EQ(kGcabFiles.size(), recorder.files.size());
            // new, new\target, ...\sub, ...\sub\deeper: each once, from the top
            ASSERT_EQ(4u, recorder.directories.size());
            EXPECT_EQ(dir.path() / L"new", recorder.directories[0]);
            EXPECT_EQ(destination / L"sub" / L"deeper", recorder.directories[3]);

            // A second extraction over the first replaces the files.
            EXPECT_TRUE(extractor.ExtractArchive(destination));
        }
        EXPECT_FALSE((dir.path() / L"new").exists()) << "not cleaned up";
        EXPECT_TRUE(dir.path().exists());
        EXPECT_TRUE(log.contains(L"Removing directory '" + destination.str() + L"' succeeded."));
    }
}

TEST(CabExtractor, SeveralFoldersAttributesAndKeptFiles)
{
    TempDir dir;
    {
        ZelCabExtractor extractor(cabDir() / L"folders.cab", true);
        EXPECT_EQ(4u, extractor.getNumberOfFiles());
        ASSERT_TRUE(extractor.ExtractArchive(dir.path()));
    }
    auto files = filesBelow(dir.path());
    EXPECT_EQ(4u, files.size());
    const struct {
        const wchar_t *extracted, *source;
        DWORD attributes;
    } expected[] = {{L"one\\a.txt", L"a.txt", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
                    {L"one\\random.bin", L"random.bin", FILE_ATTRIBUTE_ARCHIVE},
                    {L"two\\text.txt", L"text.txt", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
                    {L"two\\deeper\\b.bin", L"sub\\deeper\\b.bin", FILE_ATTRIBUTE_ARCHIVE}};
    for (const auto& e : expected) {
        EXPECT_TRUE(sameBytes(bytesOf(sourceDir() / e.source), files[e.extracted])) << e.extracted;
        EXPECT_EQ(e.attributes, attributesOf(dir.path() / e.extracted).dwFileAttributes) << e.extracted;
    }

    // Extracting again over the read-only file works; listing alone deletes nothing.
    EXPECT_TRUE(ZelCabExtractor(cabDir() / L"folders.cab", true).ExtractArchive(dir.path()));
    EXPECT_EQ(4u, ZelCabExtractor(cabDir() / L"folders.cab").getContents().size());
    EXPECT_EQ(4u, filesBelow(dir.path()).size());
}

TEST(CabExtractor, CabinetAttachedBehindAnExecutable)
{
    TempDir dir;
    std::string program = bytesOf(testChild());
    WinPath selfExtractor = dir.write(L"setup.exe", program + bytesOf(cabDir() / L"mszip.cab"));
    LogCapture log;
    ZelCabExtractor extractor(selfExtractor);
    EXPECT_EQ(program.size(), extractor.getCabinetOffset());
    EXPECT_TRUE(log.contains(L"Found that " + selfExtractor.str() +
                             L" is a selfextracting executable. Attached cabfile starts at offset " +
                             std::to_wstring(program.size()) + L" and has size " +
                             std::to_wstring((cabDir() / L"mszip.cab").getFileSize())));
    ASSERT_TRUE(extractor.ExtractArchive(dir.path() / L"out"));
    EXPECT_TRUE(sameBytes(bytesOf(sourceDir() / L"text.txt"), bytesOf(dir.path() / L"out" / L"text.txt")));
    // Behind zeros: across two of the pieces the file is read in, and behind
    // 1.5 GiB, for which a 32-bit process has no room in one view.
    const unsigned long imageEnd = static_cast<unsigned long>(ImageInfo(testChild()).getImageSize());
    for (unsigned long behind : {imageEnd + (1u << 20) - 2, static_cast<unsigned long>(program.size()) + (3u << 29)}) {
        ZelCabExtractor distant(dir.writeLarge(L"far.exe", program, behind, bytesOf(cabDir() / L"mszip.cab")));
        EXPECT_EQ(behind, distant.getCabinetOffset());
        ASSERT_TRUE(distant.ExtractArchive(dir.path() / L"far"));
        EXPECT_TRUE(sameBytes(bytesOf(sourceDir() / L"text.txt"), bytesOf(dir.path() / L"far" / L"text.txt")));
    }
    // Past 2 GiB the decompressor cannot reach it: no cabinet, and the log says why.
    LogCapture farLog;
    const WinPath tooFar = dir.writeLarge(L"too-far.exe", program, 9ull << 28, bytesOf(cabDir() / L"mszip.cab"));
    EXPECT_EQ(L"Not a cabinet file.", failureOf([&] { ZelCabExtractor unreachable(tooFar); }).message);
    EXPECT_TRUE(farLog.contains(L"past what the decompressor can reach"));

    // A program without a cabinet behind it is no cabinet.
    EXPECT_EQ(L"Not a cabinet file.", failureOf([] { ZelCabExtractor plainProgram(testChild()); }).message);
}

TEST(CabExtractor, HostileNamesAreSkippedAndReported)
{
    struct Case {
        const wchar_t* cab;
        std::vector<std::wstring> written;
        std::vector<std::wstring> refused;
    };
    const Case cases[] = {
        {L"evil-dotdot.cab", {L"ok.txt", L"inside.txt"}, {L"..\\..\\qkz-evil-dotdot.txt", L"x/../../qkz-evil-slash.txt"}},
        {L"evil-absolute.cab", {L"ok.txt"}, {L"\\qkz-evil-absolute.txt", L"/qkz-evil-root.txt"}},
        {L"evil-drive.cab", {L"ok.txt"}, {L"C:\\qkz-evil-drive.txt", L"C:qkz-evil-relative-drive.txt",
                                          L"\\\\server\\share\\qkz-evil-unc.txt"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cab);
        TempDir dir;
        WinPath destination = dir.path() / L"a" / L"b";
        LogCapture log;
        ZelCabExtractor extractor(cabDir() / c.cab, true);
        EXPECT_FALSE(extractor.ExtractArchive(destination));
        auto files = filesBelow(dir.path());
        EXPECT_EQ(c.written.size(), files.size());
        for (const auto& name : c.written)
            EXPECT_TRUE(files.count(L"a\\b\\" + name)) << name;
        for (const auto& name : c.refused)
            EXPECT_TRUE(log.contains(L"Cabinet Extraction: skipping '" + name + L"'")) << name;
        for (const wchar_t* outside : {L"C:\\qkz-evil-drive.txt", L"C:\\qkz-evil-relative-drive.txt",
                                       L"Z:\\qkz-evil-absolute.txt", L"Z:\\qkz-evil-root.txt"})
            EXPECT_FALSE(WinPath(outside).exists()) << outside;
        EXPECT_FALSE((dir.path() / L"qkz-evil-dotdot.txt").exists());
        EXPECT_FALSE((dir.path() / L"qkz-evil-slash.txt").exists());
        EXPECT_FALSE((dir.path() / L"a" / L"qkz-evil-slash.txt").exists());
        // listing leaves them out too
        EXPECT_EQ(c.written.size(), ZelCabExtractor(cabDir() / c.cab).getContents().size());
    }
}

// Every entry that is not written where its name says fails the extraction and
// is named with its reason; duplicates are written and reported once.
TEST(CabExtractor, EntriesThatCannotBeWrittenAsNamedFailTheExtraction)
{
    TempDir dir;
    Recorder recorder;
    LogCapture log;
    ZelCabExtractor extractor(cabDir() / L"evil-names.cab", true);
    extractor.setCallback(&recorder);
    EXPECT_FALSE(extractor.ExtractArchive(dir.path()));
    auto files = filesBelow(dir.path());
    EXPECT_EQ((std::vector<std::wstring>{L"dup.txt", L"file", L"ok.txt"}),
              [&] { std::vector<std::wstring> names; for (auto& f : files) names.push_back(f.first); return names; }());
    EXPECT_TRUE(sameBytes(bytesOf(sourceDir() / L"a.txt"), files[L"dup.txt"]));  // the first one stays
    EXPECT_EQ(3u, recorder.files.size());
    const std::wstring text = extractor.getLastErrorText();
    EXPECT_EQ(0u, text.find(L"12 entries were not extracted: ")) << text;
    const std::wstring longName = std::wstring(300, L'0') + L".txt";
    const std::pair<std::wstring, std::wstring> refused[] = {
        {L"CON", L"a part of the name is a device name."},
        {L"nul.txt", L"a part of the name is a device name."},
        {L"Com1.log", L"a part of the name is a device name."},
        {L"trail.", L"a part of the name ends with a dot or a blank."},
        {L"blank ", L"a part of the name ends with a dot or a blank."},
        {L"...\\x.txt", L"a part of the name ends with a dot or a blank."},
        {L".. \\y.txt", L"a part of the name ends with a dot or a blank."},
        {L"DUP.TXT", L"the name occurs more than once in the cabinet."},
        {L"file\\inner.txt", L"the file could not be created: "},
        {L"ctl\x01.txt", L"the name holds a control character."},
        {longName, L"a part of the name is longer than 255 characters."},
        {L"q?.txt", L"the name holds a character that file names cannot hold."},
    };
    for (const auto& entry : refused) {
        EXPECT_NE(std::wstring::npos, text.find(L"'" + entry.first + L"': " + entry.second)) << entry.first;
        EXPECT_TRUE(log.contains(L"Cabinet Extraction: skipping '" + entry.first + L"' in ")) << entry.first;
    }
    // Listing leaves out what no file can be written for and holds each name once.
    EXPECT_EQ(4u, ZelCabExtractor(cabDir() / L"evil-names.cab").getContents().size());

    // A destination so deep that a.txt, the shortest name, would have the longest
    // path the file system cannot take (32,767 characters as a long path): every
    // entry is refused and nothing is made for it.
    std::wstring deep = dir.path().str() + L"\\deep";
    const size_t wanted = 32767 - std::wstring(L"\\\\?\\").size() - std::wstring(L"\\a.txt").size();
    size_t rest;
    while ((rest = wanted - deep.size()) > 400)
        deep += L"\\" + std::wstring(199, L'd');
    deep += L"\\" + std::wstring((rest - 2) / 2, L'd') + L"\\" + std::wstring(rest - 2 - (rest - 2) / 2, L'd');
    ZelCabExtractor tooDeep(cabDir() / L"plain.cab", true);
    EXPECT_FALSE(tooDeep.ExtractArchive(WinPath(deep)));
    const std::wstring refusal = L"'a.txt': the path is longer than the file system allows.";
    EXPECT_NE(std::wstring::npos, tooDeep.getLastErrorText().find(refusal)) << tooDeep.getLastErrorText().substr(0, 200);
    EXPECT_FALSE((dir.path() / L"deep").exists());
}

TEST(CabExtractor, ThousandsOfEntriesAndAShareAsDestination)
{
    Recorder recorder;
    {
        const WinPath share(L"\\\\qkzserver\\qkzshare");
        WinPath destination = share / uniqueName(L"qkz-cab") / L"sub";
        ZelCabExtractor extractor(cabDir() / L"many.cab");
        extractor.setCallback(&recorder);
        EXPECT_EQ(3000u, extractor.getContents().size());
        ASSERT_TRUE(extractor.ExtractArchive(destination)) << extractor.getLastErrorText();
        EXPECT_EQ(3000u, recorder.files.size());
        EXPECT_EQ("file 2999\n", bytesOf(destination / L"f2999.txt"));
        ASSERT_EQ(2u, recorder.directories.size());
        EXPECT_EQ(destination.getParent(), recorder.directories[0]);

        // A share that does not exist cannot be written to: a failure, nothing skipped silently.
        ZelCabExtractor nowhere(cabDir() / L"plain.cab");
        EXPECT_FALSE(nowhere.ExtractArchive(WinPath(L"\\\\qkzserver\\qkz-no-share\\x")));
        EXPECT_EQ(0u, nowhere.getLastErrorText().find(L"6 entries were not extracted: 'a.txt': its directory could"))
            << nowhere.getLastErrorText();
        // The next extraction that succeeds says so.
        ASSERT_TRUE(nowhere.ExtractArchive(destination / L"again")) << nowhere.getLastErrorText();
        EXPECT_EQ(L"No error.", nowhere.getLastErrorText());
    }
    EXPECT_FALSE(recorder.directories[0].exists()) << "not cleaned up";
}

// Tables that run past the cabinet, or count no folder or file, are refused
// before the decompressor reads them; listing and extraction agree.
TEST(CabExtractor, DamagedTablesAreRefusedUpFront)
{
    TempDir dir;
    const std::string cab = bytesOf(cabDir() / L"plain.cab");
    const uint32_t filesAt = fieldAt<uint32_t>(cab, 16), dataAt = fieldAt<uint32_t>(cab, 36);  // first data block
    const std::map<std::string, std::string> damaged = {
        {"last name running into the data", patched(cab, dataAt - 1, 'X')},
        {"no folders", patched(cab, 26, uint16_t(0))},
        {"no files", patched(cab, 28, uint16_t(0))},
        {"file table past the end", patched(cab, 16, uint32_t(cab.size() - 10))},
        {"folder that is not there", patched(cab, filesAt + 8, uint16_t(3))},
        {"name past the cabinet size", patched(cab, 8, filesAt + 18)},
        {"more files than the table holds", patched(cab, 28, uint16_t(60000))},
        {"cabinet size below its header", patched(cab, 8, uint32_t(20))},
        {"data blocks starting at the end", patched(cab, 36, uint32_t(cab.size()))},
        {"empty first name", patched(cab, filesAt + 16, '\0')},
    };
    for (const auto& c : damaged)
        EXPECT_EQ(failureOf([&] { ZelCabExtractor extractor(dir.write(L"damaged.cab", c.second)); }),
                  (Failure{4u, L"Not a cabinet file or file is corrupted."})) << c.first;
    // Bytes after the header that the flags announce move every offset: the names of the
    // cabinets before and after this one in its set, a reserved area. Either is skipped.
    auto afterHeader = [&](const std::string& inserted, uint16_t flags, uint16_t firstFolder) {
        const uint32_t grown = uint32_t(inserted.size());
        std::string grownCab = patched(patched(cab, 8, uint32_t(cab.size()) + grown), 16, filesAt + grown);
        grownCab = patched(grownCab.substr(0, 36) + inserted + grownCab.substr(36), 30, flags);
        for (size_t entry = 36 + grown, folders = fieldAt<uint16_t>(cab, 26); folders--; entry += 8)
            grownCab = patched(grownCab, entry, fieldAt<uint32_t>(grownCab, entry) + grown);
        return dir.write(L"grown.cab", patched(grownCab, filesAt + grown + 8, firstFolder));
    };
    // In a middle cabinet the first file may be continued from the one before (folder 0xFFFD).
    EXPECT_EQ(kGcabFiles.size(),
              ZelCabExtractor(afterHeader(std::string("a.cab\0d1\0c.cab\0d3\0", 18), 3, 0xFFFD)).getNumberOfFiles());
    EXPECT_EQ(kGcabFiles.size(), ZelCabExtractor(afterHeader(std::string("\x06\0\0\0RESERV", 10), 4,
                                                             fieldAt<uint16_t>(cab, filesAt + 8))).getNumberOfFiles());
    // The signature search reads nothing past the range it is given.
    GuardedBytes almost(std::string("xxMSC", 5));
    EXPECT_EQ(-1, ZelUt::cab::findCabinetSignature(almost.data(), 0, almost.size()));
    for (int code : {-1, 12})  // codes outside the decompressor's twelve
        EXPECT_STREQ(L"Unknown FDI error.", ZelUt::cab::fdiErrorText(code)) << code;
    EXPECT_STREQ(L"FDI aborted.", ZelUt::cab::fdiErrorText(11));
    // A name not flagged as UTF-8 is read as UTF-8 where it is that, else in the ANSI code page.
    wchar_t e[2] = {};
    MultiByteToWideChar(CP_ACP, 0, "\xe9", 1, e, 1);
    ASSERT_NE(0xFFFD, e[0]);
    const std::string unflagged = patched(cab, filesAt + 14, uint16_t(fieldAt<uint16_t>(cab, filesAt + 14) & ~0x80));
    for (const auto& name : {std::make_pair(std::string("\xe9"), e + std::wstring(L".txt")),
                             std::make_pair(std::string("\xc3\xa9"), std::wstring(L"\u00e9txt"))})
        EXPECT_EQ(name.second, ZelCabExtractor(dir.write(L"unflagged.cab", std::string(unflagged).replace(
                                                             filesAt + 16, name.first.size(), name.first)))
                                   .getContents().at(0).getFileName().str());
    // Sizes of 2 GiB and more are unsigned: a file announcing 3 GiB lists as such.
    ZelCabExtractor large(dir.write(L"large.cab", patched(cab, filesAt, 0xC0000000u)));
    EXPECT_GE(large.getExtractedSize(), 0xC0000000ll);
}

TEST(CabExtractor, MissingTruncatedAndDamagedArchivesFailCleanly)
{
    TempDir dir;
    auto expectRefused = [&](const WinPath& archive, const std::wstring& message, unsigned long code) {
        Failure failure = failureOf([&] { ZelCabExtractor extractor(archive); });
        EXPECT_EQ(message, failure.message) << archive.str();
        EXPECT_TRUE(!code || code == failure.code) << archive.str();
    };
    expectRefused(dir.path() / L"absent.cab", L"Archive " + (dir.path() / L"absent.cab").str() + L" does not exist.",
                  2);
    std::string cab = bytesOf(cabDir() / L"mszip.cab");
    {
        LogCapture log;
        expectRefused(dir.write(L"half.cab", cab.substr(0, cab.size() / 2)), L"Not a cabinet file or file is corrupted.",
                      4);
        EXPECT_TRUE(log.contains(L"The cabinet file is corrupt."));  // the decompressor's reason
    }
    expectRefused(dir.write(L"header.cab", cab.substr(0, 20)), L"Not a cabinet file.", 0);
    expectRefused(dir.write(L"empty.cab", ""), L"Not a cabinet file.", 0);
    expectRefused(dir.write(L"text.cab", "just some text, no cabinet in here"), L"Not a cabinet file.", 0);

    // Bit flips in the compressed data: extraction fails or succeeds, and every
    // file left behind has the bytes it had when packed.
    const uint32_t dataStart = fieldAt<uint32_t>(cab, 36);
    std::mt19937 random(7);
    std::uniform_int_distribution<size_t> where(dataStart + 8, cab.size() - 1);
    int failures = 0;
    for (int round = 0; round < 12; ++round) {
        std::string damaged = cab;
        damaged[where(random)] ^= static_cast<char>(1 << (round % 8));
        WinPath archive = dir.write(L"flipped.cab", damaged);
        WinPath out = dir.path() / L"flipped";
        {
            ZelCabExtractor extractor(archive, true);
            if (!extractor.ExtractArchive(out)) {
                ++failures;
                EXPECT_NE(L"No error.", extractor.getLastErrorText());
            }
        }
        for (const auto& file : filesBelow(out))
            EXPECT_TRUE(sameBytes(bytesOf(sourceDir() / file.first), file.second)) << file.first.c_str();
        out.removeRecursively();
    }
    EXPECT_GT(failures, 0);

    // The third data block damaged: random.bin breaks off inside, and what was
    // written of it does not stay behind; the files before it do.
    size_t block = dataStart;
    for (int k = 0; k < 2; ++k)
        block += 8 + fieldAt<uint16_t>(cab, block + 4);
    std::string broken = cab;
    broken[block + 8 + 1000] ^= 0x55;
    WinPath out = dir.path() / L"broken";
    EXPECT_FALSE(ZelCabExtractor(dir.write(L"broken.cab", broken), true).ExtractArchive(out));
    EXPECT_TRUE((out / L"a.txt").exists());
    EXPECT_FALSE((out / L"random.bin").exists());

    // A folder of a compression type the decompressor does not know: it gives up
    // with the first file created and nothing written, and that file is removed.
    ZelCabExtractor unknown(dir.write(L"unknown.cab", patched(cab, 36 + 6, uint16_t(0x000F))), true);
    EXPECT_FALSE(unknown.ExtractArchive(dir.path() / L"unknown"));
    EXPECT_TRUE(filesBelow(dir.path() / L"unknown").empty());
    EXPECT_EQ(L"The cabinet file is corrupt.", unknown.getLastErrorText());
}

// A caller's callback that throws ends the extraction with its exception; it
// never unwinds through the system's decompressor, and nothing is left open.
TEST(CabExtractor, ACallbackThatThrowsEndsTheRun)
{
    struct Throwing : ZelCabExtractor::ICallback {
        bool onDirectory = false;
        void onFileExtracted(const WinPath&) override { throw std::runtime_error("from the file callback"); }
        void onDirectoryCreated(const WinPath&) override
        {
            if (onDirectory)
                throw CZelException(ERROR_CANCELLED, L"from the directory callback");
        }
    };
    TempDir dir;
    std::vector<unsigned long> handles;  // after each round: the first has set-up of its own
    for (int round = 0; round < 3; ++round) {
        for (bool onDirectory : {false, true}) {
            Throwing callback;
            callback.onDirectory = onDirectory;
            ZelCabExtractor extractor(cabDir() / L"mszip.cab");
            extractor.setCallback(&callback);
            if (onDirectory)
                EXPECT_EQ(failureOf([&] { extractor.ExtractArchive(dir.path() / L"d"); }),
                          (Failure{ERROR_CANCELLED, L"from the directory callback"}));
            else
                EXPECT_THROW(extractor.ExtractArchive(dir.path() / L"f"), std::runtime_error);
        }
        handles.push_back(openHandleCount());
    }
    EXPECT_EQ(handles[1], handles[2]);
    EXPECT_TRUE(filesIn(dir.path()).empty());
}

// A destination others may write to can hold links: what would go through
// one is skipped and named, the rest is extracted. The tree is made outside
// (links.sh): QKZ_LINK_TREE names a directory with kept\\precious.txt and
// tree\\{own.txt, link -> kept}.
TEST(CabExtractorLinks, LinksInTheDestinationAreNotFollowed)
{
    const std::wstring root = WinAPI::getEnvironmentVariable(L"QKZ_LINK_TREE");
    if (root.empty())
        GTEST_SKIP() << "run through the archive_links test";
    const WinPath tree = WinPath(root) / L"tree";
    TempDir dir;
    WinPath cab = dir.path() / L"links.cab";
    {
        ZelArchive archive(cab);
        for (const wchar_t* name : {L"own.txt", L"link\\precious.txt", L"link\\deeper\\new.txt"})
            ASSERT_TRUE(archive.AppendFileWithName(dir.write(L"source.txt", "from the cabinet"), WinPath(name)));
        ASSERT_TRUE(archive.Close());
    }
    ZelCabExtractor extractor(cab);
    EXPECT_FALSE(extractor.ExtractArchive(tree));
    EXPECT_EQ(L"2 entries were not extracted: 'link\\precious.txt': its directory " + (tree / L"link").str() +
                  L" is a link to elsewhere; it is not followed. 'link\\deeper\\new.txt': its directory " +
                  (tree / L"link").str() + L" is a link to elsewhere; it is not followed.",
              extractor.getLastErrorText());
    EXPECT_EQ("from the cabinet", bytesOf(tree / L"own.txt"));

    // A link the caller names as the destination is the caller's to follow
    // (and this extractor takes its files away again).
    const WinPath behind = tree / L"link";
    ZelCabExtractor named(cab);
    EXPECT_TRUE(named.ExtractArchive(behind));
    EXPECT_EQ("from the cabinet", bytesOf(behind / L"link" / L"deeper" / L"new.txt"));
}
