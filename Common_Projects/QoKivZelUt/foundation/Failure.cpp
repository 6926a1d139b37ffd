#include "foundation/Failure.h"

#include <QoKivZelUt/ZelException.h>

namespace ZelUt {

void fail(unsigned long code, const std::wstring& text)
{
    throw CZelException(code, text);
}

} // namespace ZelUt
