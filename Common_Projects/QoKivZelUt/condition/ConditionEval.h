// The comparisons of the condition grammar that need the file system or the callback.
#pragma once

#include "ConditionValue.h"

namespace ZelUt {
namespace condition {

// Absolute, and free of the characters a path may not hold.
bool isFullPath(const std::wstring& symbol);

bool symbolNumberComparison(int op, const std::wstring& symbol, int number, bool symbolOnLeft);
bool fileVersionComparison(int op, const FileVersionNumber& left, const FileVersionNumber& right);
// symbols operator file_version: only full paths are read; otherwise true for "<>" alone.
bool pathVersionComparison(int op, const std::wstring& symbol, const FileVersionNumber& right);
// The version of a full path: invalid when missing or unreadable, 0.0.0.0 for a directory.
FileVersionNumber fullPathVersion(const std::wstring& symbol);
bool membership(const std::wstring& symbol, const std::vector<std::wstring>& list);

} // namespace condition
} // namespace ZelUt
