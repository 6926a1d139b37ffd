#include <QoKivZelUt/CodeSigning.h>

#include "TestEnv.h"
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
    std::string text = WinAPI::readFileA(WinAPI::openFileReadOnly(signedFiles() / (std::wstring(L"signer-") + digest + L".txt")));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return WinAPI::fromUtf8(text);
}

DWORD handleCount()
{
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return count;
}

} // namespace

TEST(CodeSigning, SignedFilesNameTheSignerLikeOsslsigncode)
{
    for (const wchar_t* digest : {L"sha256", L"sha1"}) {
        std::wstring expected = peerSigner(digest);
        ASSERT_EQ(expected, L"QoKivZelUt Test Signer");
        ZelUt::CodeSigningReader reader(signedFiles() / (std::wstring(L"signed-") + digest + L".exe"));
        qkztest::LogCapture log;
        EXPECT_EQ(reader.readSignerInfo(), expected) << digest;
        DWORD handles = handleCount();
        for (int i = 0; i < 20; ++i)
            EXPECT_EQ(reader.readSignerInfo(), expected);
        EXPECT_EQ(handleCount(), handles) << "each reading releases the handles of the one before";
        EXPECT_TRUE(log.entries().empty());
    }
}

TEST(CodeSigning, MissingUnsignedTamperedAndForeignFilesGiveNoNameQuietly)
{
    qkztest::TempDir dir;
    WinPath text = dir.write(L"text.exe", "not a program");
    DWORD handles = handleCount();
    qkztest::LogCapture log;
    for (const WinPath& file : {signedFiles() / L"unsigned.exe", signedFiles() / L"tampered.exe",
                                signedFiles() / L"missing.exe", text}) {
        ZelUt::CodeSigningReader reader(file);
        EXPECT_EQ(reader.readSignerInfo(), L"") << file.str();
    }
    EXPECT_TRUE(log.entries().empty());
    EXPECT_EQ(handleCount(), handles);
}

TEST(CodeSigning, AnUntrustedRootIsRejectedByWindows)
{
    ZelUt::CodeSigningReader reader(signedFiles() / L"self-signed.exe");
    EXPECT_EQ(reader.readSignerInfo(), qkztest::trustAcceptsUntrustedRoots() ? L"QoKivZelUt Self Signer" : L"");
}
