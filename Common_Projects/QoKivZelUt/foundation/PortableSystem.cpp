// What the portable code needs from the system where there is no Windows (the
// native build of the fuzz targets): failures are thrown as PortableFailure,
// the thread's ANSI code page is Latin-1, and log entries go to standard
// error only when QKZ_PORTABLE_LOG is set.
#include <QoKivZelUt/ZelLog.h>

#include "foundation/CodePage.h"
#include "foundation/Failure.h"

#include <cstdio>
#include <cstdlib>

namespace ZelUt {

void fail(unsigned long code, const std::wstring& text)
{
    throw PortableFailure(code, text);
}

namespace detail {

std::string toThreadAnsi(const std::wstring& text)
{
    std::string out;
    out.reserve(text.size());
    for (wchar_t c : text)
        out += static_cast<unsigned long>(c) <= 0xFF ? static_cast<char>(c) : '?';
    return out;
}

std::wstring fromThreadAnsi(const char* text, size_t length)
{
    std::wstring out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i)
        out += static_cast<wchar_t>(static_cast<unsigned char>(text[i]));
    return out;
}

} // namespace detail
} // namespace ZelUt

ZelLogStream::ZelLogStream(int lvl, wchar_t t, bool dbg) : component(L"QoKivZelUt"), level(lvl), type(t), debug(dbg) {}

ZelLogStream::~ZelLogStream()
{
    if (std::getenv("QKZ_PORTABLE_LOG"))
        std::fprintf(stderr, "%s\n", ZelUt::detail::toThreadAnsi(str()).c_str());
}
