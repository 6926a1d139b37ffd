#include "foundation/CodePage.h"

#include <windows.h>

namespace ZelUt {
namespace detail {

std::string toThreadAnsi(const std::wstring& text)
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

std::wstring fromThreadAnsi(const char* text, size_t length)
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

} // namespace detail
} // namespace ZelUt
