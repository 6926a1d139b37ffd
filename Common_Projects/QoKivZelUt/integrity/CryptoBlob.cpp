#include "integrity/CryptoBlob.h"

#include "integrity/CryptoKeys.h"

#include <cstdint>
#include <cstring>

namespace ZelUt {
namespace crypto {

void xorWithKeyTable(unsigned char* data, size_t length)
{
    size_t k = length % 2 ? kBlobKey[length % 256] : length % 16;
    for (size_t i = 0; i < length; ++i)
        data[i] ^= kBlobKey[((i % 256) * k) % 256];
}

std::vector<unsigned char> toBlob(const std::vector<unsigned char>& cipher, unsigned char type)
{
    std::vector<unsigned char> blob;
    blob.reserve(cipher.size() * 2 + 1);
    for (unsigned char c : cipher) {
        blob.push_back(static_cast<unsigned char>(kBlobDigits[c & 0x0F]));
        blob.push_back(static_cast<unsigned char>(kBlobDigits[c >> 4]));
    }
    blob.push_back(type);
    return blob;
}

namespace {

int digitValue(unsigned char c)
{
    const void* at = c ? std::memchr(kBlobDigits, c, 16) : nullptr;
    return at ? static_cast<int>(static_cast<const char*>(at) - kBlobDigits) : -1;
}

} // namespace

bool fromBlob(const unsigned char* blob, size_t length, std::vector<unsigned char>& cipher, unsigned char& type)
{
    if (length % 2 == 0)
        return false;
    type = blob[length - 1];
    cipher.assign(length / 2, 0);
    for (size_t i = 0; i < cipher.size(); ++i) {
        int low = digitValue(blob[2 * i]), high = digitValue(blob[2 * i + 1]);
        if (low < 0 || high < 0)
            return false;
        cipher[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

bool protectedBlobIsWhole(const unsigned char* blob, size_t length)
{
    uint64_t at = 44;
    auto skipCounted = [&] {
        uint32_t size;
        if (at + 4 > length)
            return false;
        std::memcpy(&size, blob + at, 4);
        at += 4 + uint64_t(size);
        return at <= length;
    };
    auto skipWords = [&] { return (at += 8) <= length; };
    return at <= length && skipCounted() && skipWords() && skipCounted() && skipCounted() && skipWords() &&
           skipCounted() && skipCounted() && skipCounted();
}

bool legacyText(const std::vector<unsigned char>& plain, std::wstring& text)
{
    text.clear();
    bool zeroSeen = false;
    for (unsigned char b : plain) {
        zeroSeen |= b == 0;
        if (b != 0)
            text += static_cast<wchar_t>(b);
    }
    if (!zeroSeen)
        return true;
    if (plain.size() != text.size() * 2)
        return false;
    for (size_t i = 0; i < text.size(); ++i)
        if (plain[2 * i] != text[i] || plain[2 * i + 1] != 0)
            return false;
    return true;
}

} // namespace crypto
} // namespace ZelUt
