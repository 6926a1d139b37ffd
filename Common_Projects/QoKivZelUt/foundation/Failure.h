// How the portable code (no system calls, built for Windows and natively)
// reports a failure: a Windows error code and a text. In the DLL this throws
// CZelException; where there is no Windows, a PortableFailure.
#pragma once

#include <exception>
#include <string>

namespace ZelUt {

// The Windows error codes the portable code reports, by value.
const unsigned long kErrorInvalidAccess = 12;
const unsigned long kErrorInvalidData = 13;
const unsigned long kErrorInvalidParameter = 87;
const unsigned long kErrorBadExeFormat = 193;

[[noreturn]] void fail(unsigned long code, const std::wstring& text);

// What fail() throws outside Windows.
struct PortableFailure : std::exception {
    PortableFailure(unsigned long c, const std::wstring& t) : code(c), text(t) {}
    const char* what() const noexcept override { return "ZelUt::PortableFailure"; }
    unsigned long code;
    std::wstring text;
};

} // namespace ZelUt
