// Command lines as the system splits them: pure text. The declaration callers
// see is in Process.h; this one serves the code built without Windows headers.
#pragma once

#include <QoKivZelUt/Export.h>

#include <string>

namespace ZelUt {

QOKIVZELUT_API std::wstring quoteArgument(const std::wstring& argument);

} // namespace ZelUt
