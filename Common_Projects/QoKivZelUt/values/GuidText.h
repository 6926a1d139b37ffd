// GUID text, read and written without the system: the 36-character form
// xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx and the same in braces, hex digits of
// either case, nothing before or after.
#pragma once

#include <cstdint>
#include <string>

namespace ZelUt {

// The fields of a GUID in the order of its text.
struct GuidFields {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    uint8_t data4[8] = {};
};

// False when the text is neither form (an empty text included).
bool guidFromText(const std::wstring& text, GuidFields& guid);

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case.
std::wstring guidText(const GuidFields& guid);

} // namespace ZelUt
