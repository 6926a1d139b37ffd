// Product and file versions read from text. Properties: a text without a
// decimal digit is refused, any other gives the numbers that printing and
// reading again give back; a file version's four parts, printed (an unset part
// as 65535) and read again, come back the same and compare equal, and it is
// valid exactly when no part is unset. A piece of 65535 reads as an unset part
// and later pieces are still read: no comparison can tell, since one unset
// part makes the whole version invalid.
#include "FuzzText.h"
#include "values/VersionText.h"

#include <algorithm>

using namespace ZelUt;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::wstring text = qkzfuzz::utf16Units(data, size);
    bool hasDigit = std::any_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
    ProductVersionValue version;
    QKZ_REQUIRE(productVersionFromText(text, version) == hasDigit);
    if (hasDigit) {
        std::wstring printed = version.major ? std::to_wstring(version.major) + L"." + std::to_wstring(version.minor)
                                             : std::to_wstring(version.minor);
        ProductVersionValue again;
        QKZ_REQUIRE(productVersionFromText(L"v" + printed + L" x", again));
        QKZ_REQUIRE(again.major == version.major && again.minor == version.minor);
        QKZ_REQUIRE(compareProductVersions(version, again) == 0);
    }

    std::string narrow(data, data + size);
    FileVersionValue file = fileVersionFromText(narrow);
    std::string printed;
    bool anyUnset = false;
    for (int p = 0; p < 4; ++p) {
        printed += (p ? "." : "") + std::to_string(file.parts[p]);
        anyUnset |= file.parts[p] == 0xFFFF;
    }
    FileVersionValue again = fileVersionFromText(printed);
    QKZ_REQUIRE(std::equal(file.parts, file.parts + 4, again.parts));
    QKZ_REQUIRE(file.compare(again) == 0 && again.compare(file) == 0);
    QKZ_REQUIRE(file.isValid() == !anyUnset);
    // The text split at its dots: the pieces up to the first that is not wholly
    // a number of at most 65535 fill the parts, the rest stay unset.
    size_t from = 0;
    bool converting = true;
    for (int p = 0; p < 4; ++p) {
        const size_t dot = std::min(narrow.find('.', from), narrow.size());
        const std::string piece = from <= narrow.size() ? narrow.substr(from, dot - from) : std::string();
        unsigned long value = 0;
        converting = converting && !piece.empty();
        for (char c : piece) {
            converting = converting && c >= '0' && c <= '9';
            value = std::min(value * 10 + static_cast<unsigned long>(c - '0'), 0x10000ul);
        }
        converting = converting && value <= 0xFFFF;
        QKZ_REQUIRE(file.parts[p] == (converting ? value : 0xFFFF));
        from = dot + 1;
    }
    return 0;
}
