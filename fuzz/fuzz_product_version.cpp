// Product and file versions read from text. Properties: a text without a
// decimal digit is refused, any other gives the numbers that printing and
// reading again give back; a file version's parts are set from the front and
// read back from their own text.
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
    int set = 0;
    for (; set < 4 && file.parts[set] != 0xFFFF; ++set)
        printed += (set ? "." : "") + std::to_string(file.parts[set]);
    for (int rest = set; rest < 4; ++rest)
        QKZ_REQUIRE(file.parts[rest] == 0xFFFF);
    FileVersionValue again = fileVersionFromText(printed);
    QKZ_REQUIRE(std::equal(file.parts, file.parts + 4, again.parts));
    QKZ_REQUIRE(file.compare(again) == 0 && again.compare(file) == 0);
    QKZ_REQUIRE(file.isValid() == (set == 4));
    return 0;
}
