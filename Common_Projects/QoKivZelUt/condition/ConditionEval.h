// The comparisons of the condition grammar that ask the environment.
#pragma once

#include "ConditionValue.h"
#include "Environment.h"

namespace ZelUt {
namespace condition {

// A full path compares by its existence (0 when there, else -1); a whole
// integer as a number; anything else as text against the number's digits.
bool symbolNumberComparison(Environment& env, int op, const std::wstring& symbol, int number, bool symbolOnLeft);
bool fileVersionComparison(int op, const FileVersionValue& left, const FileVersionValue& right);
// symbols operator file_version: only full paths are read; otherwise true for "<>" alone.
bool pathVersionComparison(Environment& env, int op, const std::wstring& symbol, const FileVersionValue& right);
// The version FileVersion(symbol) stands for: a full path's own, else the caller's answer.
FileVersionValue fileVersionOf(Environment& env, const std::wstring& symbol);
// A symbol in the list; for a full path, every element found in some line of the file.
bool membership(Environment& env, const std::wstring& symbol, const std::vector<std::wstring>& list);

} // namespace condition
} // namespace ZelUt
