// The one grow-and-retry helper for system calls that fill a caller's buffer.
#pragma once

#include "ErrorText.h"

#include <string>

namespace ZelUt {
namespace detail {

// call(buffer, capacity) returns the characters written without the
// terminator when they fit, the needed size when they do not, and 0 on
// failure. Calls that truncate return the capacity or one less (the
// truncated text), so a result that fills the buffer is taken as truncated
// and the call is repeated with a larger one. Throws `failure` with the last
// error when call fails.
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
        if (n + 1 < buffer.size()) {
            buffer.resize(n);
            return buffer;
        }
        buffer.assign(n >= buffer.size() ? n + 1 : buffer.size() * 2, L'\0');
    }
}

} // namespace detail
} // namespace ZelUt
