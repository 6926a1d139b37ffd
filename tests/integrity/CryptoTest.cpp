#include "TestEnv.h"

#include <QoKivZelUt/Crypto.h>

#include "integrity/CryptoBlob.h"
#include "integrity/CryptoKeys.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <wincrypt.h>

using qkztest::LogCapture;

namespace {

std::vector<unsigned char> blobOf(const void* data, unsigned long size, encryption_type type)
{
    CZelEncryptData encrypt(data, size);
    std::vector<unsigned char> blob(encrypt.GetEncryptedData(nullptr, 0, type));
    encrypt.GetEncryptedData(blob.data(), static_cast<unsigned long>(blob.size()), type);
    return blob;
}

unsigned long decryptedLength(const std::vector<unsigned char>& blob)
{
    return CZelDecryptData(blob.data(), static_cast<unsigned long>(blob.size())).GetDecryptedData(nullptr, 0);
}

TEST(Crypto, AlternateSchemeRoundTripsEveryLength)
{
    for (unsigned long n : {0ul, 1ul, 2ul, 255ul, 256ul, 257ul, 4097ul}) {
        std::vector<unsigned char> data(n + 1);  // never a null pointer: that is "no input"
        for (unsigned long i = 0; i < n; ++i)
            data[i] = static_cast<unsigned char>(i * 7 + 3);
        data.resize(n);
        std::vector<unsigned char> blob = blobOf(data.data(), n, encryption_alternate);
        ASSERT_EQ(2 * n + 1, blob.size()) << n;
        EXPECT_EQ(encryption_alternate, blob.back());
        CZelDecryptData decrypt(blob.data(), static_cast<unsigned long>(blob.size()));
        std::vector<unsigned char> back(n + 1, 0xEE);
        ASSERT_EQ(n, decrypt.GetDecryptedData(back.data(), static_cast<unsigned long>(back.size()))) << n;
        back.resize(n);
        EXPECT_EQ(data, back) << n;
    }

    // A scheme that cannot be used falls back to the alternate one.
    LogCapture log;
    std::vector<unsigned char> fallback = blobOf("ab", 2, static_cast<encryption_type>(7));
    EXPECT_TRUE(log.contains(L"OS Encryption failed, falling back to alternate"));
    EXPECT_EQ(blobOf("ab", 2, encryption_alternate), fallback);
}

// The legacy reading of plaintext as text, and whether it gives the plaintext back.
TEST(Crypto, LegacyTextIsExactOnlyForCharactersUpToFF)
{
    const struct {
        std::vector<unsigned char> plain;
        const wchar_t* text;
        bool exact;
    } rows[] = {
        {{'a', 0, 'b', 0}, L"ab", true},        {{'a', 'b'}, L"ab", true},          {{0xE4, 0}, L"\u00e4", true},
        {{'p', 0, 0xAC, 0x20}, L"p\u00ac ", false}, {{'a', 0, 0}, L"a", false},    {{0, 'a'}, L"a", false},
        {{}, L"", true},
    };
    for (const auto& row : rows) {
        std::wstring text;
        EXPECT_EQ(row.exact, ZelUt::crypto::legacyText(row.plain, text)) << row.text;
        EXPECT_EQ(row.text, text);
    }
    EXPECT_EQ(0x7FFFFFFEu * 2 + 1, 0xFFFFFFFDu);  // the longest blob's length stays below "no result"
    EXPECT_EQ(0x7FFFFFFEu, ZelUt::crypto::kLongestPlaintext);
}

TEST(Crypto, BlobsTheirLengthsAndRefusals)
{
    LogCapture log;
    EXPECT_EQ(1u, ZelCrypto::encryptString(L"").size());
    EXPECT_EQ(L"", ZelCrypto::decryptBlob(ZelCrypto::encryptString(L"")));
    std::vector<unsigned char> abc = ZelCrypto::encryptString(L"abc");
    ASSERT_EQ(13u, abc.size());
    EXPECT_EQ(encryption_os, abc.back());
    EXPECT_EQ(L"abc", ZelCrypto::decryptBlob(abc));
    EXPECT_EQ(L"a\u00ac ", ZelCrypto::decryptBlob(ZelCrypto::encryptString(L"a\u20ac")));  // bytes, not characters
    const unsigned char narrow[] = {'a', 'b'};
    EXPECT_EQ(L"ab", ZelCrypto::decryptBlob(blobOf(narrow, 2, encryption_alternate)));
    EXPECT_EQ(L"a", ZelCrypto::decryptBlob(blobOf(narrow, 1, encryption_os)));  // a plaintext of one byte

    CZelEncryptData twice(L"abc", 6);
    EXPECT_EQ(13u, twice.GetEncryptedData(nullptr, 0, encryption_os));
    EXPECT_FALSE(log.contains(L"Buffer to small")) << "a length asked for is no buffer too small";
    unsigned char small[5] = {};
    EXPECT_EQ(13u, twice.GetEncryptedData(small, sizeof small, encryption_os));
    EXPECT_TRUE(log.contains(L"Encryption failed: Buffer to small. Have 5, need 13"));
    EXPECT_EQ(0, small[0]);
    std::vector<unsigned char> copied(13);
    EXPECT_EQ(13u, twice.GetEncryptedData(copied.data(), 13, encryption_os));
    EXPECT_EQ(abc, copied);
    CZelDecryptData decrypt(abc.data(), 13);
    unsigned char room[5] = {0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    EXPECT_EQ(6u, decrypt.GetDecryptedData(room, 5));  // too small: the length, nothing copied
    EXPECT_EQ(0xEE, room[0]);
    EXPECT_EQ(0xFFFFFFFFu, CZelEncryptData(nullptr, 0).GetEncryptedData(nullptr, 0, encryption_os));
    EXPECT_EQ(0xFFFFFFFFu, CZelDecryptData(nullptr, 0).GetDecryptedData(nullptr, 0));

    std::vector<unsigned char> even(abc.begin() + 1, abc.end());
    std::vector<unsigned char> unknownType = abc, badDigit = abc;
    unknownType.back() = 66;
    badDigit[3] = 'Z';
    for (const auto* bad : {&even, &unknownType, &badDigit}) {
        EXPECT_EQ(0u, decryptedLength(*bad));
        EXPECT_EQ(L"", ZelCrypto::decryptBlob(*bad));
    }
    EXPECT_EQ(qkztest::failureOf([&] { ZelCrypto::decryptBlob({}); }), (qkztest::Failure{87u, L"Decryption failed."}));
}

// Without the user's default key container, the first encryption makes it.
TEST(Crypto, MissingKeyContainerIsMadeOnFirstUse)
{
    HCRYPTPROV deleted = 0;
    CryptAcquireContextW(&deleted, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL, CRYPT_DELETEKEYSET);
    LogCapture log;
    std::vector<unsigned char> blob = ZelCrypto::encryptString(L"after a fresh start");
    EXPECT_EQ(encryption_os, blob.back());
    EXPECT_TRUE(log.contains(L"Encrypt: CryptoApi has to be initialized"));
    EXPECT_TRUE(log.contains(L"First attempt to acquire a Crypto Context failed, try to CRYPT_NEWKEYSET ..."));
    EXPECT_EQ(L"after a fresh start", ZelCrypto::decryptBlob(blob));
    HCRYPTPROV again = 0;
    ASSERT_TRUE(CryptAcquireContextW(&again, nullptr, MS_DEF_PROV_W, PROV_RSA_FULL, 0));
    HCRYPTKEY key = 0;
    EXPECT_TRUE(CryptGetUserKey(again, AT_KEYEXCHANGE, &key));
    CryptDestroyKey(key);
    CryptReleaseContext(again, 0);
}

TEST(Crypto, DataProtectionRoundTripsAndRefusals)
{
    for (const std::wstring& text : {std::wstring(), std::wstring(L"abc"), std::wstring(L"\u00fc\U0001F600\u4e2d x")}) {
        std::vector<unsigned char> blob = WinAPI::protectString(text);
        EXPECT_EQ(text, WinAPI::unprotectString(blob));
        blob[blob.size() / 2] ^= 0x40;
        EXPECT_EQ(qkztest::failureOf([&] { WinAPI::unprotectString(blob); }).message, L"Decryption of data failed.");
    }
    // Four bytes of 0xFF anywhere (a length field claiming 4 GiB among them):
    // refused or, where the system checks nothing, still the text; never a crash.
    std::vector<unsigned char> blob = WinAPI::protectString(L"secret");
    for (size_t at = 0; at + 4 <= blob.size(); ++at) {
        std::vector<unsigned char> damaged(blob);
        std::memset(&damaged[at], 0xFF, 4);
        try {
            EXPECT_EQ(WinAPI::unprotectString(damaged), L"secret") << at;
        } catch (const CZelException& e) {
            EXPECT_EQ(e.getMessage(), L"Decryption of data failed.");
            EXPECT_TRUE(at != 44 || e.getErrorCode() == ERROR_INVALID_DATA) << "the description's length";
        }
    }
    for (size_t length = 0; length < blob.size(); ++length)
        EXPECT_FALSE(ZelUt::crypto::protectedBlobIsWhole(blob.data(), length)) << length;
    EXPECT_TRUE(ZelUt::crypto::protectedBlobIsWhole(blob.data(), blob.size()));
    DATA_BLOB odd{5, const_cast<BYTE*>(reinterpret_cast<const BYTE*>("abcde"))};
    DATA_BLOB entropy{256, const_cast<BYTE*>(ZelUt::crypto::kProtectEntropy)}, out{0, nullptr};
    ASSERT_TRUE(CryptProtectData(&odd, L"x", &entropy, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &out));
    std::vector<unsigned char> oddBlob(out.pbData, out.pbData + out.cbData);
    LocalFree(out.pbData);
    EXPECT_EQ(qkztest::failureOf([&] { WinAPI::unprotectString(oddBlob); }),
              (qkztest::Failure{13u, L"Decrypted blob is not a string."}));
}

// Blobs computed outside by crypto_peer.py with its own MD5, RC4 and XOR:
// QKZ_CRYPTO_PEERS names the list of "scheme plain-hex blob-hex" lines.
TEST(CryptoPeers, BothSchemesEqualAnIndependentImplementation)
{
    std::wstring list = WinAPI::getEnvironmentVariable(L"QKZ_CRYPTO_PEERS");
    if (list.empty())
        GTEST_SKIP() << "run through the crypto_peers test";
    auto fromHex = [](const std::string& hex) {
        std::vector<unsigned char> bytes;
        for (size_t i = 0; hex != "-" && i + 1 < hex.size(); i += 2)
            bytes.push_back(static_cast<unsigned char>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        return bytes;
    };
    std::ifstream in(WinAPI::toUtf8(list));
    std::string plainHex, blobHex;
    int scheme = 0, lines = 0;
    while (in >> scheme >> plainHex >> blobHex) {
        std::vector<unsigned char> plain = fromHex(plainHex);
        std::wstring text(reinterpret_cast<const wchar_t*>(plain.data()), plain.size() / 2);
        EXPECT_EQ(fromHex(blobHex), scheme == 64 ? ZelCrypto::encryptString(text)
                                                 : blobOf(plain.data() ? plain.data() : reinterpret_cast<const unsigned char*>(""),
                                                          static_cast<unsigned long>(plain.size()), encryption_alternate))
            << scheme << " " << plainHex.substr(0, 40);
        ++lines;
    }
    EXPECT_EQ(17, lines);
}

} // namespace
