// The pure side of the blob format: text form, the XOR scheme, its limits and
// the legacy reading of plaintext as text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ZelUt {
namespace crypto {

// Scheme 65; applying it twice gives the data back.
void xorWithKeyTable(unsigned char* data, size_t length);

// Two digits per ciphertext byte (low four bits first), then the type byte.
std::vector<unsigned char> toBlob(const std::vector<unsigned char>& cipher, unsigned char type);

// The ciphertext and type of a blob; false for an even length or a character
// that is no digit of the alphabet.
bool fromBlob(const unsigned char* blob, size_t length, std::vector<unsigned char>& cipher, unsigned char& type);

// The longest plaintext whose blob (2n + 1 bytes) a 32-bit length holds and
// that length's "no result" value does not.
const size_t kLongestPlaintext = 0x7FFFFFFE;

// The legacy reading of a plaintext: one character per non-zero byte, the
// byte's value its code. True when that gives the plaintext back exactly
// (single-byte text, or UTF-16LE of characters up to U+00FF); a text of other
// characters comes back altered.
bool legacyText(const std::vector<unsigned char>& plain, std::wstring& text);

// True when every length field of a data-protection blob lies inside it: a
// version, provider GUID, master-key version and GUID and flags (44 bytes),
// the description, two words, salt, HMAC key, two words, HMAC, data and
// signature, each but the words preceded by its 32-bit length. Trailing bytes
// are allowed, as the system allows them.
bool protectedBlobIsWhole(const unsigned char* blob, size_t length);

// The plaintext of a blob (either scheme); empty when it does not decrypt.
std::vector<unsigned char> decryptToBytes(const std::vector<unsigned char>& blob);

} // namespace crypto
} // namespace ZelUt
