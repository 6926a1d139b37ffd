#include "security/SidText.h"

#include "foundation/HexDigits.h"

#include <cwchar>

namespace ZelUt {

namespace {

// Decimal digits from `at` as a number below 2^32; false when there are none
// or the number does not fit.
bool readDecimal(const std::wstring& text, size_t& at, uint32_t& value)
{
    const size_t start = at;
    uint64_t number = 0;
    for (; at < text.size() && text[at] >= L'0' && text[at] <= L'9'; ++at) {
        number = number * 10 + static_cast<uint64_t>(text[at] - L'0');
        if (number > 0xFFFFFFFFull)
            return false;
    }
    value = static_cast<uint32_t>(number);
    return at > start;
}

bool readAuthority(const std::wstring& text, size_t& at, uint8_t (&authority)[6])
{
    uint64_t value = 0;
    if (text.compare(at, 2, L"0x") == 0 || text.compare(at, 2, L"0X") == 0) {
        const size_t start = at += 2;
        for (int digit; at < text.size() && (digit = hexDigitValue(text[at])) >= 0; ++at) {
            if (at - start == 12)
                return false;
            value = value << 4 | static_cast<uint64_t>(digit);
        }
        if (at == start)
            return false;
    } else {
        uint32_t decimal = 0;
        if (!readDecimal(text, at, decimal))
            return false;
        value = decimal;
    }
    for (int i = 5; i >= 0; --i, value >>= 8)
        authority[i] = static_cast<uint8_t>(value & 0xFF);
    return true;
}

} // namespace

bool SidFields::operator==(const SidFields& other) const
{
    for (int i = 0; i < 6; ++i)
        if (authority[i] != other.authority[i])
            return false;
    return subAuthorities == other.subAuthorities;
}

bool sidFromText(const std::wstring& text, SidFields& sid)
{
    if (text.size() < 4 || (text[0] != L'S' && text[0] != L's') || text.compare(1, 3, L"-1-") != 0)
        return false;
    SidFields read;
    size_t at = 4;
    if (!readAuthority(text, at, read.authority))
        return false;
    while (at < text.size()) {
        uint32_t sub = 0;
        if (text[at] != L'-' || read.subAuthorities.size() == kMostSubAuthorities || !readDecimal(text, ++at, sub))
            return false;
        read.subAuthorities.push_back(sub);
    }
    sid = read;
    return true;
}

std::wstring sidText(const SidFields& sid)
{
    const uint8_t* a = sid.authority;
    std::wstring text = L"S-1-";
    if (a[0] == 0 && a[1] == 0) {
        text += std::to_wstring((static_cast<uint32_t>(a[2]) << 24) | (a[3] << 16) | (a[4] << 8) | a[5]);
    } else {
        wchar_t hex[16];
        swprintf(hex, 16, L"0x%02x%02x%02x%02x%02x%02x", a[0], a[1], a[2], a[3], a[4], a[5]);
        text += hex;
    }
    for (uint32_t sub : sid.subAuthorities)
        text += L"-" + std::to_wstring(sub);
    return text;
}

} // namespace ZelUt
