#include "TestEnv.h"
#include "integrity/ChecksumRecord.h"

#include <QoKivZelUt/FileHasher.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

using qkztest::LogCapture;
using qkztest::TempDir;
using ZelUt::FileHasher;

namespace {

const wchar_t kEmptySha[] = L"SHA-256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

std::string record(uint32_t magic, uint32_t size, uint32_t version, uint32_t crcAt28, size_t length = 48)
{
    std::string r = qkztest::patched(qkztest::patched(std::string(48, '\0'), 0, magic), 4, size);
    return qkztest::patched(qkztest::patched(r, 8, version), 28, crcAt28).substr(0, length);
}

TEST(FileHasher, KnownDigestsAndChecksums)
{
    FileHasher hasher;
    EXPECT_EQ(kEmptySha, hasher.createHash(std::vector<unsigned char>()));
    EXPECT_EQ(L"SHA-256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
              hasher.createHash(std::vector<unsigned char>{'a', 'b', 'c'}));
    EXPECT_EQ(0ul, hasher.crcFromString(L""));
    EXPECT_EQ(ZelUt::crc32(0, "a\0", 2), hasher.crcFromString(L"a"));

    TempDir dir;
    WinPath empty = dir.write(L"empty.bin", "");
    EXPECT_EQ(kEmptySha, hasher.createHash(empty));
    EXPECT_EQ(0ul, hasher.crcFromFile(empty));
    EXPECT_EQ(0ul, hasher.crcFromFile(dir.path() / L"missing.bin"));
    WinPath digits = dir.write(L"digits.txt", "123456789");
    EXPECT_EQ(0xCBF43926ul, hasher.crcFromFile(digits));
    FileHasher copy = hasher;
    EXPECT_EQ(hasher.createHash(digits), copy.createHash(digits));
    EXPECT_THROW(hasher.createHash(dir.path() / L"missing.bin"), CZelException);
}

TEST(FileHasher, SealAndVerify)
{
    FileHasher hasher;
    TempDir dir;
    WinPath file = dir.write(L"setup.dll", std::string(100000, 'q'));
    EXPECT_TRUE(hasher.authenticateFile(file));  // nothing recorded yet
    hasher.updateAuthentication(file);
    WinPath repository = dir.path() / L"signatures\\setup.dll.xig";
    ASSERT_EQ(48u, repository.getFileSize());
    std::wstring sealedHash = hasher.createHash(file);
    LogCapture log;
    EXPECT_TRUE(hasher.authenticateFile(file));
    dir.write(L"setup.dll", std::string(99999, 'q') + "Q");
    EXPECT_FALSE(hasher.authenticateFile(file));
    EXPECT_EQ(L"", log.missing({L"Security: '" + file.str() + L"' is original",
                                L"Security: '" + file.str() + L"' has been modified (" + sealedHash + L" -> " +
                                    hasher.createHash(file) + L")"}));

    // A record name that is a second name of another file: the record takes the
    // name, the other file stays as it was.
    WinPath victim = dir.write(L"victim.ini", "[kept]\n");
    WinAPI::deleteFile(repository);
    ASSERT_TRUE(CreateHardLinkW(repository.str().c_str(), victim.str().c_str(), nullptr));
    hasher.updateAuthentication(file);
    EXPECT_EQ("[kept]\n", qkztest::bytesOf(victim));
    EXPECT_TRUE(hasher.authenticateFile(file));
    EXPECT_EQ(1u, qkztest::filesIn(dir.path() / L"signatures").size()) << "nothing left beside the record";
}

TEST(FileHasher, VersionOneCorruptAndUnsupportedRecords)
{
    FileHasher hasher;
    TempDir dir;
    WinPath file = dir.write(L"app.exe", "123456789");
    (dir.path() / L"signatures").createDirectory();
    auto check = [&](const std::string& rec, bool expected, const std::wstring& logged) {
        dir.write(L"signatures\\app.exe.xig", rec);
        LogCapture log;
        EXPECT_EQ(expected, hasher.authenticateFile(file)) << std::string(logged.begin(), logged.end());
        EXPECT_TRUE(log.contains(logged)) << std::string(logged.begin(), logged.end());
    };
    const std::wstring p = file.str();
    check(record(0x3634, 48, 1, 0xCBF43926), true, L"Security: '" + p + L"' is original (CRC32 0xcbf43926)");
    check(record(0x3634, 48, 1, 0x0000abcd), false, L"Security: '" + p + L"' has been modified (CRC32 0x0000abcd -> 0xcbf43926)");
    check(record(0x3634, 48, 1, 0, 47), false, L"Security: corrupt checksum file for '" + p + L"'");
    check("", false, L"Security: corrupt checksum file for '" + p + L"'");
    check(record(0x3635, 48, 2, 0), false, L"Security: corrupt checksum file for '" + p + L"'");
    check(record(0x3634, 47, 2, 0), false, L"Security: corrupt checksum file for '" + p + L"'");
    check(record(0x3634, 48, 3, 0), false, L"Security: unsupported signature version 3 for '" + p + L"'");
    // Only the record is read of a file with gigabytes behind it.
    dir.writeLarge(L"signatures\\app.exe.xig", record(0x3634, 48, 1, 0xCBF43926), 3ull << 30);
    EXPECT_TRUE(hasher.authenticateFile(file));
    WinPath empty = dir.write(L"empty.exe", "");
    dir.write(L"signatures\\empty.exe.xig", record(0x3634, 48, 1, 0));
    LogCapture log;
    EXPECT_FALSE(hasher.authenticateFile(empty));
    EXPECT_TRUE(log.contains(L"Security: failed to calculate CRC32 checksum for '" + empty.str() + L"'"));
}

// The repository's CRC reader takes a version-1 record of exactly its size, nothing else.
TEST(FileHasher, OnlyAnExactVersionOneRecordGivesItsCrc)
{
    const struct {
        std::string bytes;
        uint32_t crc;
    } cases[] = {{record(0x3634, 48, 1, 0xCBF43926), 0xCBF43926}, {record(0x3634, 48, 1, 1) + "x", 7},
                 {record(0x3634, 48, 1, 1, 47), 7}, {record(0x3634, 48, 2, 1), 7}, {record(0x3635, 48, 1, 1), 7}};
    for (const auto& c : cases) {
        uint32_t crc = 7;
        const auto* bytes = reinterpret_cast<const unsigned char*>(c.bytes.data());
        EXPECT_EQ(c.crc != 7, ZelUt::checksum::exactCrc32Record(bytes, c.bytes.size(), crc)) << c.bytes.size();
        EXPECT_EQ(c.crc, crc);
    }
}

// Only a record that is not there means "nothing recorded"; one that cannot be
// read fails the check.
TEST(FileHasher, SealingThatCannotWriteThrowsAndUnreadableRecordsFail)
{
    FileHasher hasher;
    TempDir dir;
    WinPath file = dir.write(L"locked.dll", "x");
    (dir.path() / L"signatures\\locked.dll.xig").createDirectory();  // the record's name is taken by a directory
    EXPECT_THROW(hasher.updateAuthentication(file), CZelException);
    {
        LogCapture log;
        EXPECT_FALSE(hasher.authenticateFile(file));
        EXPECT_TRUE(log.contains(L"Security: checksum file for '" + file.str() + L"' cannot be read: "));
    }
    WinPath sealed = dir.write(L"sealed.dll", "y");
    hasher.updateAuthentication(sealed);
    WinAPI::FileHandle exclusive(CreateFileW((dir.path() / L"signatures\\sealed.dll.xig").str().c_str(), GENERIC_READ,
                                             0, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(exclusive.valid());
    EXPECT_FALSE(hasher.authenticateFile(sealed));  // sharing violation
    exclusive = WinAPI::FileHandle();
    EXPECT_TRUE(hasher.authenticateFile(sealed));
}

// Files made and measured by sha256sum and zlib outside: QKZ_PEER_LIST names a
// list of "windows-path sha256 crc32" lines (see peers.sh).
TEST(FileHasherPeers, EqualsSha256sumAndZlib)
{
    const char* list = std::getenv("QKZ_PEER_LIST");
    if (!list)
        GTEST_SKIP() << "run through the integrity_peers test";
    std::ifstream in(list);
    FileHasher hasher;
    int files = 0;
    for (std::string path, sha, crc; in >> path >> sha >> crc; ++files) {
        WinPath file(std::wstring(path.begin(), path.end()));
        EXPECT_EQ(L"SHA-256:" + std::wstring(sha.begin(), sha.end()), hasher.createHash(file)) << path;
        EXPECT_EQ(std::strtoul(crc.c_str(), nullptr, 10), hasher.crcFromFile(file)) << path;
    }
    EXPECT_GE(files, 6);
}

// zlib's figures for every start 0-15 and length 0-4096 of one buffer
// (QKZ_PEER_PIECES.bin / .txt, one line of 4097 numbers per start).
TEST(FileHasherPeers, EveryLengthAndStartEqualsZlib)
{
    const char* pieces = std::getenv("QKZ_PEER_PIECES");
    if (!pieces)
        GTEST_SKIP() << "run through the integrity_peers test";
    std::ifstream bin(std::string(pieces) + ".bin", std::ios::binary), text(std::string(pieces) + ".txt");
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(bin)), std::istreambuf_iterator<char>());
    ASSERT_EQ(4096u + 15, data.size());
    int mismatches = 0;
    for (size_t start = 0; start < 16; ++start)
        for (size_t length = 0; length <= 4096; ++length) {
            unsigned long expected = 0;
            ASSERT_TRUE(text >> expected);
            if (ZelUt::crc32(0, data.data() + start, length) != expected && ++mismatches <= 5)
                ADD_FAILURE() << "start " << start << ", length " << length;
        }
    EXPECT_EQ(0, mismatches);
}

} // namespace
