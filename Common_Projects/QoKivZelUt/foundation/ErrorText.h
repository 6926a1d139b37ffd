// The one place that builds wrapper failure texts and throws them.
#pragma once

#include <QoKivZelUt/ZelException.h>

#include <string>

namespace ZelUt {
namespace detail {

// "WinAPI::" + op + "(" + arg + ") failed."
inline std::wstring failedText(const std::wstring& op, const std::wstring& arg)
{
    return L"WinAPI::" + op + L"(" + arg + L") failed.";
}

// Throws with GetLastError(), read before anything else can change it.
[[noreturn]] inline void throwLastError(const std::wstring& message)
{
    DWORD code = ::GetLastError();
    throw CZelException(code, message);
}

[[noreturn]] inline void throwStatus(long status, const std::wstring& message)
{
    throw CZelException(static_cast<unsigned long>(status), message);
}

} // namespace detail
} // namespace ZelUt
