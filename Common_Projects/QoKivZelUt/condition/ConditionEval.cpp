#include "ConditionEval.h"

#include "ConditionText.h"

namespace ZelUt {
namespace condition {

bool symbolNumberComparison(Environment& env, int op, const std::wstring& symbol, int number, bool symbolOnLeft)
{
    int cmp;
    int value = 0;
    if (env.isFullPath(symbol)) {
        int side = env.pathExists(symbol) ? 0 : -1;
        cmp = symbolOnLeft ? compareNumbers(side, number) : compareNumbers(number, side);
    } else if (wholeInteger(symbol, value)) {
        cmp = symbolOnLeft ? compareNumbers(value, number) : compareNumbers(number, value);
    } else {
        std::wstring digits = std::to_wstring(number);
        cmp = symbolOnLeft ? compareText(symbol, digits) : compareText(digits, symbol);
    }
    return applyOperator(op, cmp);
}

bool fileVersionComparison(int op, const FileVersionValue& left, const FileVersionValue& right)
{
    return applyOperator(op, left.compare(right));
}

bool pathVersionComparison(Environment& env, int op, const std::wstring& symbol, const FileVersionValue& right)
{
    if (!env.isFullPath(symbol))
        return op == OP_NE;
    return fileVersionComparison(op, env.fullPathVersion(symbol), right);
}

FileVersionValue fileVersionOf(Environment& env, const std::wstring& symbol)
{
    return env.isFullPath(symbol) ? env.fullPathVersion(symbol) : env.queryFileVersion(symbol);
}

bool membership(Environment& env, const std::wstring& symbol, const std::vector<std::wstring>& list)
{
    if (!env.isFullPath(symbol)) {
        std::wstring upper = upperCase(symbol);
        for (const std::wstring& element : list)
            if (element == upper)
                return true;
        return false;
    }
    if (list.empty())
        return true;
    std::vector<std::wstring> lines;
    if (!env.readLines(symbol, lines) || lines.empty())
        return false;
    for (std::wstring& line : lines)
        line = upperCase(line);
    for (const std::wstring& element : list) {
        bool found = false;
        for (const std::wstring& line : lines)
            if (line.find(element) != std::wstring::npos) {
                found = true;
                break;
            }
        if (!found)
            return false;
    }
    return true;
}

} // namespace condition
} // namespace ZelUt
