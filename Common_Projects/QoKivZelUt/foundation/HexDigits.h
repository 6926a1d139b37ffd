// The value of one hexadecimal digit: pure text, no system calls.
#pragma once

namespace ZelUt {

// 0 to 15 for a digit of either case; -1 for any other character.
inline int hexDigitValue(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

} // namespace ZelUt
