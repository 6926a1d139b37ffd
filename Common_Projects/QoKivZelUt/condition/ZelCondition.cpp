#include <QoKivZelUt/ZelCondition.h>

#include "Evaluation.h"
#include "foundation/CodePage.h"
#include "foundation/Log.h"

#include <atomic>
#include <cstring>

using ZelUt::condition::Evaluation;

namespace {

// The thread that holds the evaluator, so that a second one on the same
// thread is refused instead of waiting for itself forever.
std::atomic<DWORD> g_ownerThread{0};

} // namespace

std::mutex ZelCondition::m_cs;

// ---------------------------------------------------------------- FileVersionNumber

FileVersionNumber::FileVersionNumber() : major(0xFFFF), minor(0xFFFF), build(0xFFFF), revision(0xFFFF) {}

FileVersionNumber::FileVersionNumber(unsigned short ma, unsigned short mi, unsigned short bu, unsigned short re)
    : major(ma), minor(mi), build(bu), revision(re)
{
}

bool FileVersionNumber::isValid() const
{
    return major < 0xFFFF && minor < 0xFFFF && build < 0xFFFF && revision < 0xFFFF;
}

int FileVersionNumber::compare(const FileVersionNumber& other) const
{
    if (!isValid() || !other.isValid())
        return isValid() ? 1 : other.isValid() ? -1 : 0;
    const unsigned short mine[] = {major, minor, build, revision};
    const unsigned short theirs[] = {other.major, other.minor, other.build, other.revision};
    for (int i = 0; i < 4; ++i)
        if (mine[i] != theirs[i])
            return mine[i] < theirs[i] ? -1 : 1;
    return 0;
}

// ---------------------------------------------------------------- Evaluation

namespace ZelUt {
namespace condition {

Evaluation& evaluation()
{
    static Evaluation state;
    return state;
}

void Evaluation::start(const std::wstring& text, IZelConditionCallback* cb)
{
    discard();
    expression = text;
    narrowExpression = detail::toThreadAnsi(text);
    callback = cb;
}

void Evaluation::discard()
{
    expression.clear();
    errorMessage.clear();
    narrowExpression.clear();
    callback = nullptr;
    result = false;
    accepted = false;
    scanner.reset(narrowExpression, *this);
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

IZelConditionCallback& Evaluation::answer()
{
    if (!callback)
        throw CZelException(ERROR_INVALID_PARAMETER,
                            L"ZelCondition: the condition '" + expression + L"' needs a callback, but none was given");
    return *callback;
}

std::wstring Evaluation::expand(const std::wstring& reference)
{
    return answer().expandSymbol(reference);
}

} // namespace condition
} // namespace ZelUt

// ---------------------------------------------------------------- ZelCondition

ZelCondition::ZelCondition(const std::wstring& expression, IZelConditionCallback* callback)
{
    if (g_ownerThread.load() == GetCurrentThreadId())
        throw CZelException(ERROR_POSSIBLE_DEADLOCK,
                            L"ZelCondition: this thread already holds a condition evaluator; destroy it first");
    m_hold = std::unique_lock<std::mutex>(m_cs);
    ZelUt::condition::evaluation().start(expression, callback);
    g_ownerThread.store(GetCurrentThreadId());
}

ZelCondition::~ZelCondition()
{
    ZelUt::condition::evaluation().discard();
    g_ownerThread.store(0);
}

bool ZelCondition::parse() const
{
    Evaluation& eval = ZelUt::condition::evaluation();
    eval.result = false;
    eval.accepted = false;
    eval.errorMessage.clear();
    eval.scanner.reset(eval.narrowExpression, eval);
    eval.accepted = ZelUt::condition::runParser(eval);
    return eval.accepted;
}

bool ZelCondition::getResult() const
{
    const Evaluation& eval = ZelUt::condition::evaluation();
    bool result = eval.accepted && eval.result;
    ZEL_LOG_INFO << L"Condition '" << eval.expression << L"' evaluated to " << (result ? L"true" : L"false") << L".";
    return result;
}

std::wstring ZelCondition::getErrorMessage() const
{
    return ZelUt::condition::evaluation().errorMessage;
}
