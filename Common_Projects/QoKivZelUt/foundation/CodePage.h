// Conversions between wide text and the calling thread's ANSI code page.
#pragma once

#include <windows.h>

#include <string>

namespace ZelUt {
namespace detail {

// Characters without a mapping become the code page's default character.
inline std::string toThreadAnsi(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_THREAD_ACP, 0, text.data(), size, &out[0], n, nullptr, nullptr);
    return out;
}

inline std::wstring fromThreadAnsi(const char* text, size_t length)
{
    if (length == 0)
        return std::wstring();
    int size = static_cast<int>(length);
    int n = MultiByteToWideChar(CP_THREAD_ACP, 0, text, size, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_THREAD_ACP, 0, text, size, &out[0], n);
    return out;
}

inline std::wstring fromThreadAnsi(const std::string& text)
{
    return fromThreadAnsi(text.data(), text.size());
}

} // namespace detail
} // namespace ZelUt
