// Conversions between wide text and the calling thread's ANSI code page.
// Wide text holds UTF-16 code units, one per wchar_t, whatever its width.
#pragma once

#include <cstddef>
#include <string>

namespace ZelUt {
namespace detail {

// Characters without a mapping become the code page's default character.
std::string toThreadAnsi(const std::wstring& text);
std::wstring fromThreadAnsi(const char* text, size_t length);

inline std::wstring fromThreadAnsi(const std::string& text)
{
    return fromThreadAnsi(text.data(), text.size());
}

} // namespace detail
} // namespace ZelUt
