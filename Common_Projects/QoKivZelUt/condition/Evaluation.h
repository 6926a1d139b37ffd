// The process-wide state of one condition evaluation, shared by the scanner,
// the grammar's actions and ZelCondition. Used under ZelCondition::m_cs only.
#pragma once

#include "ConditionScanner.h"

#include <QoKivZelUt/ZelCondition.h>

namespace ZelUt {
namespace condition {

struct Evaluation : ConditionScanner::Host {
    std::wstring expression;
    std::wstring errorMessage;
    std::string narrowExpression;
    IZelConditionCallback* callback = nullptr;
    bool result = false;
    bool accepted = false;
    ConditionScanner scanner;

    void start(const std::wstring& text, IZelConditionCallback* cb);
    void discard();
    // Records "Error in expression ..." for the current position and logs it.
    void reportError(const char* message);
    // The callback, which a condition that needs one must have.
    IZelConditionCallback& answer();

    std::wstring expand(const std::wstring& reference) override;
    void scanError(const char* message) override { reportError(message); }
};

Evaluation& evaluation();

// Runs the grammar over the evaluation's expression; true when it accepts.
bool runParser(Evaluation& eval);

} // namespace condition
} // namespace ZelUt
