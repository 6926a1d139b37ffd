#include "Evaluation.h"

#include "foundation/CodePage.h"
#include "foundation/Log.h"

#include <algorithm>
#include <cstring>

namespace ZelUt {
namespace condition {

void Evaluation::start(const std::wstring& text, Environment& env)
{
    discard();
    expression = text;
    narrowExpression = detail::toThreadAnsi(text);
    environment = &env;
}

void Evaluation::discard()
{
    expression.clear();
    errorMessage.clear();
    narrowExpression.clear();
    environment = nullptr;
    result = false;
    accepted = false;
    scanner.reset(narrowExpression, *this);
}

bool Evaluation::run()
{
    result = false;
    accepted = false;
    errorMessage.clear();
    scanner.reset(narrowExpression, *this);
    accepted = runParser(*this);
    return accepted;
}

void Evaluation::reportError(const char* message)
{
    size_t position = std::min<size_t>(scanner.position(), narrowExpression.size());
    // The position counts bytes of the narrow text; the split is made at the
    // character those bytes end at, which differs for multi-byte code pages.
    size_t split = std::min(detail::fromThreadAnsi(narrowExpression.data(), position).size(), expression.size());
    errorMessage = L"Error in expression '" + expression + L"' at posistion " + std::to_wstring(position) + L" '" +
                   expression.substr(0, split) + L"<-here " + expression.substr(split) + L"': " +
                   detail::fromThreadAnsi(message, std::strlen(message));
    ZEL_LOG_ERROR << errorMessage;
}

} // namespace condition
} // namespace ZelUt
