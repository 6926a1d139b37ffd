#include "ConditionText.h"

#include <locale>
#include <sstream>

namespace ZelUt {
namespace condition {

std::wstring upperCase(const std::wstring& text)
{
    std::locale global;
    const auto& ctype = std::use_facet<std::ctype<wchar_t>>(global);
    std::wstring out(text);
    for (wchar_t& c : out)
        c = ctype.toupper(c);
    return out;
}

bool applyOperator(int op, int threeWay)
{
    switch (op) {
    case 260: return threeWay == 0;
    case 261: return threeWay != 0;
    case 262: return threeWay > 0;
    case 263: return threeWay < 0;
    case 264: return threeWay >= 0;
    case 265: return threeWay <= 0;
    default: return false;
    }
}

int compareText(const std::wstring& left, const std::wstring& right)
{
    std::wstring l = upperCase(left), r = upperCase(right);
    size_t n = l.size() < r.size() ? l.size() : r.size();
    for (size_t i = 0; i < n; ++i) {
        unsigned short a = static_cast<unsigned short>(l[i]), b = static_cast<unsigned short>(r[i]);
        if (a != b)
            return a < b ? -1 : 1;
    }
    return l.size() == r.size() ? 0 : l.size() < r.size() ? -1 : 1;
}

int compareNumbers(int left, int right)
{
    return left < right ? -1 : left > right ? 1 : 0;
}

bool wholeInteger(const std::wstring& text, int& value)
{
    std::wistringstream in(text);
    int parsed = 0;
    if (!(in >> parsed))
        return false;
    in >> std::ws;
    if (!in.eof())
        return false;
    value = parsed;
    return true;
}

} // namespace condition
} // namespace ZelUt
