// Pure comparison rules of the condition language.
#pragma once


#include <string>

namespace ZelUt {
namespace condition {

// Upper-cased character by character with the global locale's wide mapping.
std::wstring upperCase(const std::wstring& text);

// The six operators over a three-way comparison; false for an unknown code.
bool applyOperator(int op, int threeWay);

int compareText(const std::wstring& left, const std::wstring& right);
int compareNumbers(int left, int right);

// True when the whole text (white space around allowed) is one signed 32-bit integer.
bool wholeInteger(const std::wstring& text, int& value);

} // namespace condition
} // namespace ZelUt
