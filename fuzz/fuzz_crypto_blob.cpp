// The blob encoding and the data-protection blob's layout check. Properties:
// a blob that decodes encodes back to the same bytes; the XOR scheme applied
// twice gives the data back; the legacy text reading of a plaintext with a
// zero byte is exact only for UTF-16 of characters up to U+00FF.
#include "FuzzText.h"
#include "integrity/CryptoBlob.h"

#include <vector>

using namespace ZelUt::crypto;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<unsigned char> cipher;
    unsigned char type = 0;
    if (fromBlob(data, size, cipher, type)) {
        QKZ_REQUIRE(toBlob(cipher, type) == std::vector<unsigned char>(data, data + size));
        std::vector<unsigned char> twice(cipher);
        xorWithKeyTable(twice.data(), twice.size());
        xorWithKeyTable(twice.data(), twice.size());
        QKZ_REQUIRE(twice == cipher);
    }
    std::vector<unsigned char> plain(data, data + size);
    std::wstring text;
    bool exact = legacyText(plain, text);
    bool zero = false;
    for (unsigned char b : plain)
        zero |= b == 0;
    if (exact && zero) {
        QKZ_REQUIRE(plain.size() == text.size() * 2);
        for (size_t i = 0; i < text.size(); ++i)
            QKZ_REQUIRE(plain[2 * i] == text[i] && plain[2 * i + 1] == 0);
    }
    if (protectedBlobIsWhole(data, size)) {
        std::vector<unsigned char> longer(data, data + size);
        longer.push_back(0);
        QKZ_REQUIRE(protectedBlobIsWhole(longer.data(), longer.size()));
    }
    return 0;
}
