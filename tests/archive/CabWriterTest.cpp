#include <QoKivZelUt/CabExtractor.h>
#include <QoKivZelUt/CabWriter.h>
#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/SelfExtractor.h>
#include <QoKivZelUt/Zipfile.h>

#include "TestEnv.h"
#include "WineDifferences.h"

#include <gtest/gtest.h>

#include <map>

using namespace qkztest;

namespace {

std::string bytesOf(const WinPath& path)
{
    return WinAPI::readFileA(WinAPI::openFileReadOnly(path));
}

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
    EXPECT_EQ(0x3634, static_cast<unsigned char>(raw[32]) | static_cast<unsigned char>(raw[33]) << 8);
    uint32_t entry;
    memcpy(&entry, &raw[16], 4);
    uint16_t files = static_cast<unsigned char>(raw[28]) | static_cast<unsigned char>(raw[29]) << 8;
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
        bool closed = archive.Close();
        if (qkztest::flushFailsAfterAFailedAppend()) {
            EXPECT_FALSE(closed);
        } else {
            EXPECT_TRUE(closed);
            EXPECT_EQ(L"good.txt", ZelCabExtractor(cab).getContents().at(0).getFileName().str());
        }
        EXPECT_TRUE(archive.Close());  // the second call does nothing
    }
    EXPECT_EQ(before, temporaryFiles());
    EXPECT_THROW(ZelArchive(dir.path() / std::wstring(300, L'n')), CZelException);  // no room for the name
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

    ZelUt::Process run(setup, L"--target \"" + (dir.path() / L"unpacked").str() + L"\"", WinPath());
    run.start(true);
    ASSERT_TRUE(run.wait(120000));
    EXPECT_EQ(0u, run.getExitCode()) << WinAPI::toUtf8(run.getStderrA());
    for (const auto& f : kTree)
        EXPECT_EQ(f.second, bytesOf(dir.path() / L"unpacked" / f.first)) << f.first.c_str();

    // A program to run afterwards gives the exit code.
    ZelUt::Process then(setup, L"--target \"" + (dir.path() / L"again").str() + L"\" --run cmd.exe /c exit 7", WinPath());
    then.start(true);
    ASSERT_TRUE(then.wait(120000));
    EXPECT_EQ(7u, then.getExitCode());

    // No cabinet, or a damaged one: a message and a non-zero exit code.
    std::string cabBytes = bytesOf(cab);
    WinPath damaged = dir.write(L"damaged.exe", bytesOf(stub) + cabBytes.substr(0, cabBytes.size() / 2));
    for (const auto& bad : {std::make_pair(stub, 3u), std::make_pair(damaged, 4u)}) {
        ZelUt::Process p(bad.first, L"--target \"" + (dir.path() / L"never").str() + L"\"", WinPath());
        p.start(true);
        ASSERT_TRUE(p.wait(120000));
        EXPECT_EQ(bad.second, p.getExitCode()) << bad.first.str().c_str();
        EXPECT_EQ(0u, p.getStderrA().find(L"KivSx: ")) << bad.first.str().c_str();
    }

    // Missing inputs leave the target alone; a copy that fails leaves nothing.
    WinPath untouched = dir.write(L"untouched.exe", "as it was");
    EXPECT_FALSE(ZelUt::ZelCreateSx(dir.path() / L"no-stub.exe", cab, untouched).createSx());
    EXPECT_FALSE(ZelUt::ZelCreateSx(stub, dir.path() / L"no.cab", untouched).createSx());
    EXPECT_EQ("as it was", bytesOf(untouched));
    WinAPI::FileHandle locked(CreateFileW(cab.str().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    WinPath failed = dir.path() / L"failed.exe";
    EXPECT_FALSE(ZelUt::ZelCreateSx(stub, cab, failed).createSx());
    EXPECT_FALSE(failed.exists());
    WIN32_FIND_DATAW data;
    EXPECT_FALSE(WinAPI::findFirstFile(WinAPI::getCurrentDirectory() / L"exe*.tmp", data).valid());
}

TEST(Zipfile, SignaturesOfRealArchives)
{
    WinPath zips = binDir().getParent() / L"test-cabs" / L"zip";
    EXPECT_TRUE(ZelUt::Zipfile(zips / L"local.zip").isZipfile());
    EXPECT_TRUE(ZelUt::Zipfile(zips / L"empty.zip").isZipfile());
    EXPECT_TRUE(ZelUt::Zipfile(zips / L"split.z01").isZipfile());
    TempDir dir;
    EXPECT_FALSE(ZelUt::Zipfile(dir.write(L"three.bin", std::string("PK\3", 3))).isZipfile());
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
