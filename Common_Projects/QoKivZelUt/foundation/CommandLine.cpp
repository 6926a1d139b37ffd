// Command lines as the system splits them: pure text, no system calls.
#include "foundation/CommandLine.h"

namespace ZelUt {

std::wstring quoteArgument(const std::wstring& argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring text = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        text.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        text += c;
    }
    return text.append(backslashes * 2, L'\\') + L"\"";
}

} // namespace ZelUt
