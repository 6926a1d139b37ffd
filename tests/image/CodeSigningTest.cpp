#include <QoKivZelUt/CodeSigning.h>

#include "TestEnv.h"
#include "image/PeImage.h"
#include "WineDifferences.h"

#include <gtest/gtest.h>

namespace {

WinPath signedFiles()
{
    return qkztest::binDir() / L"signed";
}

// The signer's common name as osslsigncode verify reported it at build time.
std::wstring peerSigner(const wchar_t* digest)
{
    std::string text = qkztest::bytesOf(signedFiles() / (std::wstring(L"signer-") + digest + L".txt"));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return WinAPI::fromUtf8(text);
}

} // namespace

TEST(CodeSigning, SignedFilesNameTheSignerLikeOsslsigncode)
{
    for (const wchar_t* digest : {L"sha256", L"sha1"}) {
        std::wstring expected = peerSigner(digest);
        ASSERT_EQ(expected, L"QoKivZelUt Test Signer");
        ZelUt::CodeSigningReader reader(signedFiles() / (std::wstring(L"signed-") + digest + L".exe"));
        qkztest::LogCapture log;
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(reader.readSignerInfo(), expected) << digest;
        const size_t before = qkztest::heapInUse();
        for (int i = 0; i < 400; ++i)
            reader.readSignerInfo();
        EXPECT_LT(qkztest::heapInUse(), before + 256 * 1024) << "each reading releases what the one before held";
        EXPECT_TRUE(log.entries().empty());
    }
}

TEST(CodeSigning, MissingUnsignedTamperedAndForeignFilesGiveNoNameQuietly)
{
    qkztest::TempDir dir;
    WinPath text = dir.write(L"text.exe", "not a program");
    qkztest::LogCapture log;
    for (const WinPath& file : {signedFiles() / L"unsigned.exe", signedFiles() / L"tampered.exe",
                                signedFiles() / L"missing.exe", text}) {
        EXPECT_EQ(ZelUt::CodeSigningReader(file).readSignerInfo(), L"") << file.str();
        EXPECT_TRUE(file != text || DeleteFileW(file.str().c_str())) << "no handle left on the file";
    }
    EXPECT_TRUE(log.entries().empty());
}

TEST(CodeSigning, AnUntrustedRootIsRejectedByWindows)
{
    EXPECT_EQ(ZelUt::CodeSigningReader(signedFiles() / L"self-signed.exe").readSignerInfo(),
              qkztest::trustAcceptsUntrustedRoots() ? L"Q" : L"");
}

// Certificate tables the file's own headers betray: another type than PKCS #7
// (some trust providers crash on it), a length past the table, a table past
// the end of the file. No name, no crash; the file is free again afterwards.
TEST(CodeSigning, DamagedCertificateTablesGiveNoName)
{
    std::string program = qkztest::bytesOf(signedFiles() / L"signed-sha256.exe");
    uint32_t offset = 0, size = 0;
    ASSERT_TRUE(ZelUt::PeImage(reinterpret_cast<const unsigned char*>(program.data()), program.size())
                    .certificateTable(offset, size));
    qkztest::TempDir dir;
    const std::string damaged[] = {
        qkztest::patched(program, offset + 6, uint16_t(1)),  // X.509 instead of PKCS #7
        qkztest::patched(program, offset, size + 1),         // a length past the table
        qkztest::patched(program, offset, uint32_t(7)),      // shorter than its own header
        program.substr(0, program.size() - 16),       // the table cut off
    };
    for (const std::string& bytes : damaged) {
        WinPath file = dir.write(L"damaged.exe", bytes);
        EXPECT_EQ(ZelUt::CodeSigningReader(file).readSignerInfo(), L"") << (&bytes - damaged);
        EXPECT_TRUE(DeleteFileW(file.str().c_str())) << "the reading holds no handle on the file";
    }
    // A table that claims gigabytes, in a file that has them, is not read into memory.
    std::string directory(8, '\0');
    std::memcpy(&directory[0], &offset, 4);
    std::memcpy(&directory[4], &size, 4);
    const size_t entry = program.find(directory);
    ASSERT_NE(std::string::npos, entry);
    const uint32_t huge = (3u << 30) - offset;
    const WinPath large = dir.writeLarge(
        L"large.exe", qkztest::patched(qkztest::patched(program, entry + 4, huge), offset, huge), uint64_t(offset) + huge);
    EXPECT_EQ(ZelUt::CodeSigningReader(large).readSignerInfo(), L"");
    WinPath good = dir.write(L"good.exe", program);
    EXPECT_EQ(ZelUt::CodeSigningReader(good).readSignerInfo(), peerSigner(L"sha256"));
    EXPECT_TRUE(DeleteFileW(good.str().c_str()));
}
