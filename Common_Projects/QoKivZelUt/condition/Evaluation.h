// One condition evaluation, shared by the scanner, the grammar's actions and
// its owner (ZelCondition in the library).
#pragma once

#include "ConditionScanner.h"
#include "Environment.h"

namespace ZelUt {
namespace condition {

struct Evaluation : ConditionScanner::Host {
    std::wstring expression;
    std::wstring errorMessage;
    std::string narrowExpression;
    Environment* environment = nullptr;
    bool result = false;
    bool accepted = false;
    ConditionScanner scanner;

    // Takes the text (kept in the thread's ANSI code page for the scanner).
    void start(const std::wstring& text, Environment& env);
    void discard();
    // Scans and parses from the start; true when the grammar accepts the whole text.
    bool run();
    // Records "Error in expression ..." for the current position and logs it.
    void reportError(const char* message);

    Environment& env() { return *environment; }
    std::wstring expand(const std::wstring& reference) override { return environment->expandSymbol(reference); }
    void scanError(const char* message) override { reportError(message); }
};

// Runs the grammar over the evaluation's expression; true when it accepts.
bool runParser(Evaluation& eval);

} // namespace condition
} // namespace ZelUt
