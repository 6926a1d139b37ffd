// The one grow-and-retry helper for system calls that fill a caller's buffer.
#pragma once

#include "ErrorText.h"

#include <string>

namespace ZelUt {
namespace detail {

// call(buffer, capacity) returns the characters written without the
// terminator when they fit, the needed size (or the capacity, for calls
// that truncate) when they do not, and 0 on failure. Throws `failure` with
// the last error when call fails.
template <class Call>
std::wstring fetchString(Call call, const std::wstring& failure, DWORD initial = 260)
{
    std::wstring buffer(initial, L'\0');
    for (;;) {
        ::SetLastError(0);
        DWORD n = call(&buffer[0], static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            if (::GetLastError() != 0)
                throwLastError(failure);
            return std::wstring();
        }
        if (n < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.assign(n > buffer.size() ? n + 1 : buffer.size() * 2, L'\0');
    }
}

} // namespace detail
} // namespace ZelUt
