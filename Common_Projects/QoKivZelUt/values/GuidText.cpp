#include "values/GuidText.h"

#include "foundation/HexDigits.h"

namespace ZelUt {

namespace {

const size_t kBareLength = 36;
// Where the groups of hex digits start in the bare form, and how many digits each has.
const size_t kGroupStart[] = {0, 9, 14, 19, 21, 24, 26, 28, 30, 32, 34};
const size_t kGroupDigits[] = {8, 4, 4, 2, 2, 2, 2, 2, 2, 2, 2};

bool readHex(const wchar_t* text, size_t digits, uint32_t& value)
{
    value = 0;
    for (size_t i = 0; i < digits; ++i) {
        int digit = hexDigitValue(text[i]);
        if (digit < 0)
            return false;
        value = value << 4 | static_cast<uint32_t>(digit);
    }
    return true;
}

bool fromBareText(const wchar_t* text, GuidFields& guid)
{
    for (size_t dash : {8, 13, 18, 23})
        if (text[dash] != L'-')
            return false;
    uint32_t groups[11];
    for (size_t i = 0; i < 11; ++i)
        if (!readHex(text + kGroupStart[i], kGroupDigits[i], groups[i]))
            return false;
    guid.data1 = groups[0];
    guid.data2 = static_cast<uint16_t>(groups[1]);
    guid.data3 = static_cast<uint16_t>(groups[2]);
    for (size_t i = 0; i < 8; ++i)
        guid.data4[i] = static_cast<uint8_t>(groups[3 + i]);
    return true;
}

} // namespace

bool guidFromText(const std::wstring& text, GuidFields& guid)
{
    GuidFields read;
    bool sound = text.size() == kBareLength ? fromBareText(text.c_str(), read)
                 : text.size() == kBareLength + 2 && text.front() == L'{' && text.back() == L'}'
                     ? fromBareText(text.c_str() + 1, read)
                     : false;
    if (sound)
        guid = read;
    return sound;
}

std::wstring guidText(const GuidFields& guid)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text = L"{";
    auto put = [&](uint32_t value, int count) {
        for (int shift = (count - 1) * 4; shift >= 0; shift -= 4)
            text += digits[(value >> shift) & 0xF];
    };
    put(guid.data1, 8);
    text += L'-';
    put(guid.data2, 4);
    text += L'-';
    put(guid.data3, 4);
    text += L'-';
    for (size_t i = 0; i < 8; ++i) {
        if (i == 2)
            text += L'-';
        put(guid.data4[i], 2);
    }
    return text + L"}";
}

} // namespace ZelUt
