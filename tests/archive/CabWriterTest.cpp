#include <QoKivZelUt/CabExtractor.h>
#include <QoKivZelUt/CabWriter.h>
#include <QoKivZelUt/Guid.h>
#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/SelfExtractor.h>
#include <QoKivZelUt/Zipfile.h>

#include "TestEnv.h"
#include "archive/CabLimits.h"
#include "foundation/CurrentDirectory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

using namespace qkztest;

namespace {

// Names of the compressor's temporary files in the temporary directory.
std::vector<std::wstring> temporaryFiles()
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    WinAPI::FindHandle search = WinAPI::findFirstFile(WinAPI::getTempPath() / L"kiv*.tmp", data);
    for (bool more = search.valid(); more; more = WinAPI::findNextFile(search, data))
        names.push_back(data.cFileName);
    return names;
}

// The files of a tree, relative name to bytes.
const std::map<std::wstring, std::string> kTree = {
    {L"a.txt", "first file\r\n"},
    {L"empty.dat", ""},
    {L"sub\\deeper\\b.bin", std::string("\0\1\2\3binary", 10)},
    {L"sub\\\u00e9t\u00e9 \u4e2d.txt", "accents and CJK"},
    {L"with spaces\\a name with spaces.txt", std::string(70000, 'w')},
};

WinPath writeTree(const TempDir& dir)
{
    for (const auto& f : kTree) {
        (dir.path() / L"src" / f.first).getParent().createDirectory();
        dir.write(L"src\\" + f.first, f.second);
    }
    return dir.path() / L"src";
}

WinPath packTree(const TempDir& dir, const WinPath& source)
{
    WinPath cab = dir.path() / L"out.cab";
    ZelArchive archive(cab);
    for (const auto& f : kTree)
        EXPECT_TRUE(archive.Append(source / f.first, source));
    EXPECT_TRUE(archive.Close());
    return cab;
}

TEST(CabWriter, WritesWhatTheExtractorReadsBack)
{
    TempDir dir;
    std::vector<std::wstring> before = temporaryFiles();
    WinPath cab = packTree(dir, writeTree(dir));
    EXPECT_EQ(before, temporaryFiles());

    std::string raw = bytesOf(cab);
    ASSERT_GT(raw.size(), 36u);
    EXPECT_EQ("MSCF", raw.substr(0, 4));
    EXPECT_EQ(0x3634, fieldAt<uint16_t>(raw, 32));
    uint32_t entry = fieldAt<uint32_t>(raw, 16);
    const uint16_t files = fieldAt<uint16_t>(raw, 28);
    ASSERT_EQ(kTree.size(), files);
    for (uint16_t i = 0; i < files; ++i) {
        EXPECT_EQ(0x80, static_cast<unsigned char>(raw[entry + 14]) & 0x80) << i;  // names are UTF-8
        entry += 16 + static_cast<uint32_t>(strlen(&raw[entry + 16])) + 1;
    }

    LogCapture log;
    ZelCabExtractor extractor(cab);
    EXPECT_TRUE(log.contains(L"Archive vendor               : KIV SE"));
    ASSERT_TRUE(extractor.ExtractArchive(dir.path() / L"back")) << extractor.getLastErrorText();
    for (const auto& f : kTree)
        EXPECT_EQ(f.second, bytesOf(dir.path() / L"back" / f.first)) << f.first.c_str();
}

TEST(CabWriter, MissingSourceAndClosingTwice)
{
    TempDir dir;
    WinPath good = dir.write(L"good.txt", "good");
    std::vector<std::wstring> before = temporaryFiles();
    WinPath cab = dir.path() / L"partial.cab";
    {
        ZelArchive archive(cab);
        LogCapture log;
        EXPECT_FALSE(archive.AppendFileWithName(dir.path() / L"missing.txt", WinPath(L"missing.txt")));
        EXPECT_TRUE(log.contains(L"The file could not be appended to the cabinet archive '" + cab.str() +
                                 L"': Failure opening file to be stored in cabinet, Error code 0x00000001 (1)"));
        EXPECT_FALSE(archive.IsFatalError());
        EXPECT_TRUE(archive.AppendFileWithName(good, WinPath(L"good.txt")));
        EXPECT_TRUE(archive.Close());  // the missing file failed alone
        EXPECT_EQ(L"good.txt", ZelCabExtractor(cab).getContents().at(0).getFileName().str());
        EXPECT_TRUE(archive.Close());  // the second call does nothing
    }
    EXPECT_EQ(before, temporaryFiles());
    EXPECT_THROW(ZelArchive(dir.path() / std::wstring(256, L'n')), CZelException);  // no room for the name
    EXPECT_EQ(failureOf([&] { ZelArchive(dir.path() / L"missing\\out.cab"); }),
              (Failure{ERROR_PATH_NOT_FOUND, L"Could not create archive"}));
}

// The cabinet takes its name only when it is whole: it replaces an earlier one
// then, and a cabinet that cannot take its name leaves nothing behind.
TEST(CabWriter, CabinetTakesItsNameWhenWhole)
{
    TempDir dir;
    WinPath cab = packTree(dir, writeTree(dir));
    WinPath big = dir.write(L"big.bin", std::string(300000, 'b'));
    const size_t files = filesIn(dir.path()).size();
    {
        ZelArchive archive(cab);
        ASSERT_TRUE(archive.AppendFileWithName(big, WinPath(L"big.bin")));
        EXPECT_EQ(files + 1, filesIn(dir.path()).size()) << "the cabinet is written under another name";
        EXPECT_EQ(kTree.size(), ZelCabExtractor(cab).getContents().size()) << "the earlier cabinet is still whole";
        EXPECT_TRUE(archive.Close());
    }
    EXPECT_EQ(std::vector<WinPath>{WinPath(L"big.bin")}, ZelCabExtractor(cab).getContents());
    EXPECT_EQ(files, filesIn(dir.path()).size());
    const WinPath taken = dir.path() / L"taken.cab";
    taken.createDirectory();
    ZelArchive archive(taken);
    ASSERT_TRUE(archive.AppendFileWithName(big, WinPath(L"big.bin")));
    LogCapture log;
    EXPECT_FALSE(archive.Close());
    EXPECT_TRUE(log.contains(L"The cabinet archive '" + taken.str() + L"': cannot take its name: "));
    EXPECT_EQ(files, filesIn(dir.path()).size()) << "no half-written cabinet beside it";
    EXPECT_NE(0u, GetFileAttributesW(taken.str().c_str()) & FILE_ATTRIBUTE_DIRECTORY);
}

// The format's limits are kept before the compressor sees a file.
TEST(CabWriter, LimitsOfTheFormat)
{
    using ZelUt::cab::limitProblem;
    EXPECT_EQ(L"", limitProblem(0, 0, 0, 255));
    EXPECT_NE(L"", limitProblem(0, 0, 0, 256));
    EXPECT_EQ(L"", limitProblem(0, 65534, 0, 10));
    EXPECT_NE(L"", limitProblem(0, 65535, 0, 10));
    const uint64_t room = 0x80000000ull - 36 - 1024 * 1024 - ZelUt::cab::storedSize(0, 1);
    EXPECT_EQ(L"", limitProblem(room, 1, 0, 1));
    EXPECT_NE(L"", limitProblem(room + 1, 1, 0, 1));
    EXPECT_EQ(uint64_t(32768 + 8 + 16 + 2 + 8), ZelUt::cab::storedSize(32768, 1));
    EXPECT_EQ(uint64_t(32769 + 16 + 16 + 2 + 8), ZelUt::cab::storedSize(32769, 1));

    // A sparse file past the 2 GiB a cabinet may take: refused alone, the
    // cabinet finished with what it held, never continued in a second one.
    TempDir dir;
    WinPath small = dir.write(L"small.txt", "small");
    WinPath huge = dir.path() / L"huge.bin";
    {
        WinAPI::FileHandle file = WinAPI::createFile(huge);
        LARGE_INTEGER size;
        size.QuadPart = 0x80000000ll;
        ASSERT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file));
    }
    WinPath cab = dir.path() / L"limit.cab";
    ZelArchive archive(cab);
    ASSERT_TRUE(archive.AppendFileWithName(small, WinPath(L"small.txt")));
    LogCapture log;
    EXPECT_FALSE(archive.AppendFileWithName(huge, WinPath(std::wstring(255, L'h'))));  // the longest name: the size is what is refused
    EXPECT_TRUE(log.contains(L"Data-size or file-count exceeded CAB format limits, Error code 0x00000009 (9): its 2147483648 bytes"));
    EXPECT_TRUE(archive.IsFatalError());
    EXPECT_TRUE(archive.Close());
    EXPECT_EQ(1u, ZelCabExtractor(cab).getContents().size());
    EXPECT_EQ(3u, filesIn(dir.path()).size());  // no second cabinet beside it
}

// A bare archive name, a file outside its base, a name the format cannot
// hold, a file dated before 1980: each handled, none lost silently.
TEST(CabWriter, OddNamesPlacesAndDates)
{
    TempDir dir;
    WinPath old = dir.write(L"old.txt", "from 1970"), future = dir.write(L"future.txt", "from 2200");
    FILETIME y1970 = WinAPI::FileTime(116444736000000000ull + 36000000000ull);  // 1970-01-01 01:00 UTC
    FILETIME y2200 = WinAPI::FileTime(116444736000000000ull + 7258118400ull * 10000000);  // 2200-01-01 UTC
    for (const auto& dated : {std::make_pair(old, y1970), std::make_pair(future, y2200)}) {
        WinAPI::FileHandle file(CreateFileW(dated.first.str().c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                            0, nullptr));
        ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &dated.second));
    }
    {
        ZelUt::CurrentDirectory inDir(dir.path());
        ZelArchive bare(WinPath(L"bare.cab"));  // in the current directory, not at the drive's root
        LogCapture log;
        EXPECT_TRUE(bare.AppendFileWithName(old, WinPath(L"old.txt")));
        EXPECT_TRUE(bare.Append(dir.path() / L"elsewhere\\..\\future.txt", dir.path()));  // stored as future.txt
        EXPECT_FALSE(bare.Append(old, dir.path() / L"elsewhere"));
        EXPECT_FALSE(bare.Append(dir.path(), dir.path()));
        EXPECT_FALSE(bare.Append(dir.path() / L"elsewhere\\..\\old.txt", dir.path() / L"elsewhere"));
        for (const wchar_t* leaving : {L"..\\old.txt", L"C:\\old.txt", L"\\old.txt", L"old.txt:stream"})
            EXPECT_FALSE(bare.AppendFileWithName(old, WinPath(leaving))) << leaving;
        EXPECT_FALSE(bare.AppendFileWithName(old, WinPath(std::wstring(128, L'\u00e9'))));  // 256 bytes of UTF-8
        EXPECT_EQ(L"", log.missing({L"' is dated 1970, stored as 1980-01-01 00:00", L"' is dated 2200, stored as 2107-12-31 23:59",
                                    L"the file is not below the base directory",
                                    L"): the name leaves the destination directory.",
                                    L"its name takes 256 bytes in UTF-8, a cabinet holds names of at most 255"}));
        EXPECT_FALSE(bare.IsFatalError());
        EXPECT_TRUE(bare.Close());
    }
    ASSERT_TRUE((dir.path() / L"bare.cab").exists());
    ZelCabExtractor extractor(dir.path() / L"bare.cab");
    ASSERT_EQ((std::vector<WinPath>{WinPath(L"old.txt"), WinPath(L"future.txt")}), extractor.getContents());
    ASSERT_TRUE(extractor.ExtractArchive(dir.path() / L"out"));
    auto stamp = [&](const wchar_t* name) {
        SYSTEMTIME parts;
        FILETIME written = (dir.path() / L"out" / name).getLastWriteTime(), local;
        FileTimeToLocalFileTime(&written, &local);
        FileTimeToSystemTime(&local, &parts);
        wchar_t text[32];
        swprintf(text, 32, L"%04u-%02u-%02u %02u:%02u:%02u", parts.wYear, parts.wMonth, parts.wDay, parts.wHour,
                 parts.wMinute, parts.wSecond);
        return std::wstring(text);
    };
    EXPECT_EQ(L"1980-01-01 00:00:00", stamp(L"old.txt"));
    EXPECT_EQ(L"2107-12-31 23:59:58", stamp(L"future.txt"));
}

TEST(SelfExtractor, BuiltRunAndRefused)
{
    TempDir dir;
    WinPath cab = packTree(dir, writeTree(dir));
    WinPath stub = binDir() / L"KivSx.exe";
    WinPath setup = dir.write(L"setup.exe", "an older setup, replaced");
    ASSERT_TRUE(ZelUt::ZelCreateSx(stub, cab, setup).createSx());
    EXPECT_EQ(bytesOf(stub) + bytesOf(cab), bytesOf(setup));
    EXPECT_EQ(stub.getFileSize(), ZelCabExtractor(setup).getCabinetOffset());

    ZelUt::Process run = ran(setup, L"--target \"" + (dir.path() / L"unpacked").str() + L"\"", 120000);
    EXPECT_EQ(0u, run.getExitCode()) << WinAPI::toUtf8(run.getStderrA());
    for (const auto& f : kTree)
        EXPECT_EQ(f.second, bytesOf(dir.path() / L"unpacked" / f.first)) << f.first.c_str();

    // A program to run afterwards is the extracted folder's, never one of its
    // name beside the setup; its exit code is the setup's.
    TempDir payload;
    WinAPI::copyFile(binDir() / L"QoSnapshot64.exe", payload.path() / L"tool.exe");
    WinPath withTool = dir.path() / L"tool.cab";
    {
        ZelArchive archive(withTool);
        ASSERT_TRUE(archive.AppendFileWithName(payload.path() / L"tool.exe", WinPath(L"tool.exe")));
        ASSERT_TRUE(archive.AppendFileWithName(testChild(), WinPath(L"sleeper.exe")));
        // The libraries the tool is linked with where it is not linked statically.
        for (const wchar_t* library : {L"QoKivZelUt.dll", L"QoKivZelLg.dll", L"libstdc++-6.dll",
                                       L"libgcc_s_seh-1.dll", L"libgcc_s_dw2-1.dll", L"libwinpthread-1.dll"})
            if ((binDir() / library).exists()) {
                ASSERT_TRUE(archive.AppendFileWithName(binDir() / library, WinPath(library)));
            }
        ASSERT_TRUE(archive.Close());
    }
    WinPath downloads = dir.path() / L"downloads";
    downloads.createDirectory();
    WinPath toolSetup = downloads / L"setup.exe";
    ASSERT_TRUE(ZelUt::ZelCreateSx(stub, withTool, toolSetup).createSx());
    WinAPI::copyFile(stub, downloads / L"tool.exe");  // a decoy: exits 2 for these arguments
    ZelUt::Process then(toolSetup,
                        L"--target \"" + (dir.path() / L"again").str() + L"\" --run tool.exe /testReturnValue:7",
                        downloads);
    then.start(true);
    ASSERT_TRUE(then.wait(120000));
    EXPECT_EQ(7u, then.getExitCode());

    // Progress is written as it happens: there while the program run afterwards still runs.
    WinAPI::FileHandle job(CreateJobObjectW(nullptr, nullptr));
    ZelUt::Process waiting(toolSetup, L"--target \"" + (dir.path() / L"live").str() + L"\" --run sleeper.exe sleep 60000",
                           WinPath());
    ASSERT_TRUE(AssignProcessToJobObject(job, waiting.start(true).getHandle()));
    for (int i = 0; i < 100 && waiting.getOutputA().find(L"extracting into ") == std::wstring::npos; ++i)
        waiting.wait(200);
    EXPECT_NE(std::wstring::npos, waiting.getOutputA().find(L"extracting into ")) << WinAPI::toUtf8(waiting.getOutputA());
    TerminateJobObject(job, 1);
    waiting.wait(10000);

    // Without a target: a new folder in the temporary directory named by a
    // fresh GUID, that nobody else may add a file to.
    const std::wstring printed = ran(setup, L"", 120000).getOutputA();
    const std::wstring lead = L"extracting into " + (WinAPI::getTempPath() / L"KivSx-").str();
    ASSERT_EQ(0u, printed.find(lead)) << WinAPI::toUtf8(printed);
    const std::wstring guid = printed.substr(lead.size(), printed.find_first_of(L"\r\n") - lead.size());
    EXPECT_TRUE(guid.size() == 36 && CGuid::isGuid(guid)) << WinAPI::toUtf8(guid);
    EXPECT_EQ(L"", daclUnlessPrivate(WinAPI::getTempPath() / (L"KivSx-" + guid)));
    (WinAPI::getTempPath() / (L"KivSx-" + guid)).removeRecursively();
    // None is made for a stub without a cabinet; one that cannot be made is said so.
    const std::wstring temporary = WinAPI::getEnvironmentVariable(L"TMP");
    const WinPath ownTemporary = dir.path() / L"temporary";
    ownTemporary.createDirectory();
    SetEnvironmentVariableW(L"TMP", ownTemporary.str().c_str());
    EXPECT_EQ(3u, ran(stub, L"", 120000).getExitCode());
    WIN32_FIND_DATAW found;
    EXPECT_FALSE(WinAPI::findFirstFile(ownTemporary / L"*KivSx-*", found).valid());
    SetEnvironmentVariableW(L"TMP", (ownTemporary / L"missing").str().c_str());
    ZelUt::Process noFolder = ran(setup, L"", 120000);
    SetEnvironmentVariableW(L"TMP", temporary.empty() ? nullptr : temporary.c_str());
    EXPECT_EQ(4u, noFolder.getExitCode());
    EXPECT_EQ(0u, noFolder.getStderrA().find(L"KivSx: no folder to extract into: Could not create "))
        << WinAPI::toUtf8(noFolder.getStderrA());

    // No cabinet, a damaged one, a bad command line, a program that cannot start: its exit code and message.
    std::string cabBytes = bytesOf(cab);
    const std::wstring never = L"--target \"" + (dir.path() / L"never").str() + L"\"";
    const struct {
        WinPath program;
        std::wstring arguments;
        unsigned long code;
        const wchar_t* message;
    } refused[] = {
        {stub, never, 3, L"KivSx: no cabinet is attached to "},
        {dir.write(L"damaged.exe", bytesOf(stub) + cabBytes.substr(0, cabBytes.size() / 2)), never, 4, L"KivSx: "},
        {setup, L"--target", 2, L"usage: KivSx [--target DIR]"},
        {toolSetup, never + L" --run missing.exe", 5, L"KivSx: cannot start "},
    };
    for (const auto& bad : refused) {
        ZelUt::Process p = ran(bad.program, bad.arguments, 120000);
        EXPECT_EQ(bad.code, p.getExitCode());
        EXPECT_EQ(0u, p.getStderrA().find(bad.message)) << WinAPI::toUtf8(p.getStderrA());
    }

    // Missing inputs, a target that is an input, a copy that fails: the
    // target (and the inputs) as they were, no temporary file left.
    WinPath untouched = dir.write(L"untouched.exe", "as it was");
    EXPECT_FALSE(ZelUt::ZelCreateSx(dir.path() / L"no-stub.exe", cab, untouched).createSx());
    EXPECT_FALSE(ZelUt::ZelCreateSx(stub, dir.path() / L"no.cab", untouched).createSx());
    const std::string cabBefore = bytesOf(cab);
    EXPECT_FALSE(ZelUt::ZelCreateSx(stub, cab, cab).createSx());
    EXPECT_EQ(cabBefore, bytesOf(cab));
    WinAPI::FileHandle locked(CreateFileW(cab.str().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(ZelUt::ZelCreateSx(stub, cab, untouched).createSx());
    EXPECT_EQ("as it was", bytesOf(untouched));
    WIN32_FIND_DATAW data;
    EXPECT_FALSE(WinAPI::findFirstFile(dir.path() / L"~kiv*.tmp", data).valid());
}

// A setup carrying a hostile cabinet writes nothing outside its target and
// names what it refused.
TEST(SelfExtractor, HostileCabinetsStayInTheTarget)
{
    TempDir dir;
    WinPath stub = binDir() / L"KivSx.exe", cabs = binDir().getParent() / L"test-cabs";
    for (const wchar_t* name : {L"evil-dotdot.cab", L"evil-absolute.cab", L"evil-drive.cab", L"evil-names.cab"}) {
        WinPath setup = dir.path() / L"setup.exe", target = dir.path() / L"deep" / L"target";
        ASSERT_TRUE(ZelUt::ZelCreateSx(stub, cabs / name, setup).createSx());
        ZelUt::Process p = ran(setup, L"--target \"" + target.str() + L"\"", 120000);
        EXPECT_EQ(4u, p.getExitCode()) << name;
        EXPECT_NE(std::wstring::npos, p.getStderrA().find(L"entries were not extracted")) << name;
        EXPECT_TRUE((target / L"ok.txt").exists()) << name;
        for (const WinPath& file : filesIn(dir.path()))
            EXPECT_TRUE(target.contains(file) || file == setup) << file.str().c_str();
        for (const wchar_t* escaped : {L"C:\\qkz-evil-drive.txt", L"C:\\qkz-evil-absolute.txt", L"C:\\qkz-evil-root.txt"})
            EXPECT_FALSE(WinPath(escaped).exists()) << escaped;
        (dir.path() / L"deep").removeRecursively();
    }
}

TEST(Zipfile, SignaturesOfRealArchives)
{
    WinPath zips = binDir().getParent() / L"test-cabs" / L"zip";
    EXPECT_TRUE(ZelUt::Zipfile(zips / L"local.zip").isZipfile());
    EXPECT_TRUE(ZelUt::Zipfile(zips / L"empty.zip").isZipfile());
    EXPECT_TRUE(ZelUt::Zipfile(zips / L"split.z01").isZipfile());
    TempDir dir;
    EXPECT_FALSE(ZelUt::Zipfile(dir.write(L"three.bin", std::string("PK\3", 3))).isZipfile());
    for (const char* mixed : {"PK\3\6", "PK\5\x08", "PK\7\4", "QK\3\4"})  // halves of two signatures
        EXPECT_FALSE(ZelUt::Zipfile(dir.write(L"mixed.bin", std::string(mixed, 4))).isZipfile()) << mixed;
    EXPECT_FALSE(ZelUt::Zipfile(dir.path() / L"missing.zip").isZipfile());
    EXPECT_FALSE(ZelUt::Zipfile(binDir().getParent() / L"test-cabs" / L"plain.cab").isZipfile());
}

} // namespace

namespace {

// Writes the tree QKZ_WRITER_SOURCE names into QKZ_WRITER_CAB (writer_peers.sh reads it back).
TEST(CabWriterPeers, WritesTheGivenTree)
{
    std::wstring source = WinAPI::getEnvironmentVariable(L"QKZ_WRITER_SOURCE");
    if (source.empty())
        GTEST_SKIP() << "run through the writer_peers test";
    std::vector<WinPath> files = filesIn(WinPath(source));
    std::vector<std::wstring> before = temporaryFiles();
    WinPath cab(WinAPI::getEnvironmentVariable(L"QKZ_WRITER_CAB"));
    {
        ZelArchive archive(cab);
        for (const WinPath& file : files)
            ASSERT_TRUE(archive.Append(file, WinPath(source))) << file.str().c_str();
        ASSERT_TRUE(archive.Close());
    }
    EXPECT_EQ(before, temporaryFiles());
    ZelCabExtractor extractor(cab);
    EXPECT_EQ(files.size(), extractor.getContents().size());
}

} // namespace
