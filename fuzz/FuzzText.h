// Turning fuzz input into the texts the parsers take, and back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace qkzfuzz {

// Pairs of bytes as UTF-16 code units (little-endian), one per wchar_t: the
// library's wide text, whatever the width of wchar_t.
inline std::wstring utf16Units(const uint8_t* data, size_t size)
{
    std::wstring text;
    text.reserve(size / 2);
    for (size_t i = 0; i + 1 < size; i += 2)
        text += static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    return text;
}

inline std::wstring latin1(const uint8_t* data, size_t size)
{
    return std::wstring(data, data + size);
}

// UTF-16 code units as UTF-8; false at a surrogate without its partner.
inline bool toUtf8(const std::wstring& units, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t c = static_cast<uint32_t>(units[i]) & 0xFFFF;
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= units.size())
                return false;
            uint32_t low = static_cast<uint32_t>(units[i + 1]) & 0xFFFF;
            if (low < 0xDC00 || low > 0xDFFF)
                return false;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return true;
}

// A property that must hold: stops the run with the text (libFuzzer keeps the input).
#define QKZ_REQUIRE(condition)                                                                  \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "property failed at %s:%d: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

} // namespace qkzfuzz
