// The Installer's text convention: call(buffer, &size) takes the capacity in
// characters and answers ERROR_MORE_DATA with the length it needs.
#pragma once

#include <windows.h>

#include <string>

namespace ZelUt {
namespace detail {

// Returns the status of the last call; `text` holds the value on success.
template <class Call>
UINT fetchMsiString(Call call, std::wstring& text)
{
    std::wstring buffer(64, L'\0');
    for (;;) {
        DWORD size = static_cast<DWORD>(buffer.size());
        UINT status = call(&buffer[0], &size);
        if (status == ERROR_MORE_DATA) {
            buffer.assign(static_cast<size_t>(size) + 1, L'\0');
            continue;
        }
        if (status == ERROR_SUCCESS)
            text.assign(buffer.data(), size < buffer.size() ? size : buffer.size());
        return status;
    }
}

} // namespace detail
} // namespace ZelUt
