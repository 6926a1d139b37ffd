// The pure side of the blob format: text form and the XOR scheme.
#pragma once

#include <cstddef>
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

} // namespace crypto
} // namespace ZelUt
