#include "../Command.h"

#include <QoKivZelUt/ZelException.h>

namespace zelut {
namespace {

int run(const Args& args)
{
    if (args.empty())
        throw UsageError{L"missing error code"};
    for (const std::wstring& code : args)
        out(CZelException::getSystemErrorText(parseNumber(code)) + L"\n");
    return kTrue;
}

const Registration registration{{L"error", L"print the system text of Win32 error codes or HRESULTs",
                                 L"usage: zelut error CODE...\n"
                                 L"  CODE is decimal or 0x-prefixed hexadecimal, e.g. 5 or 0x80070005\n",
                                 run}};

} // namespace
} // namespace zelut
