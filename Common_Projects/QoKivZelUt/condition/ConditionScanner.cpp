#include "ConditionScanner.h"

#include "condition/ConditionText.h"
#include "foundation/HexDigits.h"
#include "foundation/CodePage.h"

#include <climits>
#include <cstring>

namespace ZelUt {
namespace condition {

namespace {

using Bytes = std::string;

bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

bool isSymbolChar(char c)
{
    return c != '\0' && !isBlank(c) && std::strchr("\"%&(),<=>[]|", c) == nullptr;
}

bool isListChar(char c)
{
    return c != '\0' && !isBlank(c) && c != ',' && c != ']';
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool isHex(char c)
{
    return hexDigitValue(static_cast<unsigned char>(c)) >= 0;
}

template <class Pred>
size_t run(const Bytes& s, size_t i, Pred pred)
{
    size_t n = 0;
    while (i + n < s.size() && pred(s[i + n]))
        ++n;
    return n;
}

size_t blanks(const Bytes& s, size_t i)
{
    return run(s, i, isBlank);
}

bool at(const Bytes& s, size_t i, const char* literal)
{
    size_t n = std::strlen(literal);
    return i <= s.size() && s.size() - i >= n && s.compare(i, n, literal) == 0;
}

bool atChar(const Bytes& s, size_t i, char c)
{
    return i < s.size() && s[i] == c;
}

// [ \t]* literal [ \t]*
size_t padded(const Bytes& s, size_t i, const char* literal)
{
    size_t b = blanks(s, i);
    if (!at(s, i + b, literal))
        return 0;
    size_t n = b + std::strlen(literal);
    return n + blanks(s, i + n);
}

// open [^%]+ close, where open and close are "%" or "%%"
size_t reference(const Bytes& s, size_t i, const char* mark)
{
    size_t m = std::strlen(mark);
    if (!at(s, i, mark))
        return 0;
    size_t body = run(s, i + m, [](char c) { return c != '%'; });
    return body > 0 && at(s, i + m + body, mark) ? m + body + m : 0;
}

// [ \t]* C+ ([ \t]+ C+)*
template <class Pred>
size_t blankSeparatedRun(const Bytes& s, size_t i, Pred member)
{
    size_t n = blanks(s, i);
    size_t first = run(s, i + n, member);
    if (first == 0)
        return 0;
    n += first;
    for (;;) {
        size_t b = blanks(s, i + n);
        size_t more = b > 0 ? run(s, i + n + b, member) : 0;
        if (more == 0)
            return n;
        n += b + more;
    }
}

size_t dottedNumber(const Bytes& s, size_t i, int dots)
{
    size_t n = run(s, i, isDigit);
    if (n == 0)
        return 0;
    for (int d = 0; d < dots; ++d) {
        if (!atChar(s, i + n, '.'))
            return 0;
        size_t part = run(s, i + n + 1, isDigit);
        if (part == 0)
            return 0;
        n += 1 + part;
    }
    return n;
}

size_t guidLiteral(const Bytes& s, size_t i)
{
    static const int groups[] = {8, 4, 4, 4, 12};
    if (!atChar(s, i, '{'))
        return 0;
    size_t n = 1;
    for (int g = 0; g < 5; ++g) {
        if (g > 0) {
            if (!atChar(s, i + n, '-'))
                return 0;
            ++n;
        }
        if (run(s, i + n, isHex) < static_cast<size_t>(groups[g]))
            return 0;
        n += groups[g];
    }
    return atChar(s, i + n, '}') ? n + 1 : 0;
}

size_t signedDigits(const Bytes& s, size_t i)
{
    size_t sign = atChar(s, i, '-') ? 1 : 0;
    size_t n = run(s, i + sign, isDigit);
    return n > 0 ? sign + n : 0;
}

size_t restOfLine(const Bytes& s, size_t i)
{
    return run(s, i, [](char c) { return c != '\n'; });
}

const char* const kKeywords[] = {"IsProductAvailable",     "IsProductAvailableOnServer",     "IsProductInstalled",
                                 "IsProductPartAvailable", "IsProductPartAvailableOnServer", "IsProductPartInstalled",
                                 "ProductVersion",         "FileVersion"};

// Keeps the longest match offered; among equal lengths the first offered.
struct Longest {
    size_t length = 0, head = 0;
    int rule = 0;
    void offer(int r, size_t len, size_t consumed)
    {
        if (len > length) {
            length = len;
            head = consumed;
            rule = r;
        }
    }
    void offer(int r, size_t len) { offer(r, len, len); }
};

} // namespace

int saturatingAtoi(const char* text)
{
    bool negative = *text == '-';
    if (negative)
        ++text;
    long long value = 0;
    for (; isDigit(*text); ++text) {
        value = value * 10 + (*text - '0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            value = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative)
        return static_cast<int>(-value);
    return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

void ConditionScanner::reset(const std::string& text, Host& host)
{
    m_text = &text;
    m_host = &host;
    m_position = 0;
    m_beginningOfLine = true;
    m_state = State::Initial;
    m_string.clear();
    m_list.clear();
}

ConditionScanner::Match ConditionScanner::longestInitial() const
{
    const Bytes& s = *m_text;
    const size_t i = m_position;
    Longest best;
    best.offer(1, atChar(s, i, '%') ? 1 : 0);
    if (m_beginningOfLine)
        best.offer(2, blanks(s, i));
    size_t b = blanks(s, i);
    if (b > 0 && atChar(s, i + b, '\n'))
        best.offer(3, b + 1, b);
    best.offer(4, padded(s, i, "("));
    best.offer(5, padded(s, i, ")"));
    best.offer(6, padded(s, i, "&"));
    if (size_t head = padded(s, i, "AND"))
        best.offer(7, head + restOfLine(s, i + head), head);
    best.offer(8, padded(s, i, "|"));
    if (size_t head = padded(s, i, "OR"))
        best.offer(9, head + restOfLine(s, i + head), head);
    if (at(s, i + b, "NOT")) {
        size_t head = b + 3 + blanks(s, i + b + 3);
        if (atChar(s, i + head, '('))
            best.offer(10, head + 1, head);
    }
    static const char* const operators[] = {">=", "<=", "=", "<>", ">", "<"};
    for (int k = 0; k < 6; ++k)
        best.offer(11 + k, padded(s, i, operators[k]));
    for (int k = 0; k < 8; ++k)
        best.offer(17 + k, at(s, i, kKeywords[k]) ? std::strlen(kKeywords[k]) : 0);
    best.offer(25, guidLiteral(s, i));
    if (atChar(s, i, '['))
        best.offer(26, 1 + blanks(s, i + 1));
    if (atChar(s, i, '"')) {
        size_t number = signedDigits(s, i + 1);
        if (number > 0 && atChar(s, i + 1 + number, '"'))
            best.offer(30, number + 2);
        best.offer(31, 1);
    }
    best.offer(36, reference(s, i, "%%"));
    best.offer(37, reference(s, i, "%"));
    best.offer(38, signedDigits(s, i));
    best.offer(39, dottedNumber(s, i, 1));
    best.offer(40, dottedNumber(s, i, 3));
    best.offer(41, blankSeparatedRun(s, i, isSymbolChar));
    return {best.length, best.head, best.rule};
}

ConditionScanner::Match ConditionScanner::longestString() const
{
    const Bytes& s = *m_text;
    const size_t i = m_position;
    Longest best;
    best.offer(32, atChar(s, i, '"') ? 1 : 0);
    best.offer(33, reference(s, i, "%%"));
    best.offer(34, reference(s, i, "%"));
    best.offer(35, run(s, i, [](char c) { return c != '"' && c != '%'; }));
    return {best.length, best.head, best.rule};
}

ConditionScanner::Match ConditionScanner::longestList() const
{
    const Bytes& s = *m_text;
    const size_t i = m_position;
    Longest best;
    best.offer(27, blankSeparatedRun(s, i, isListChar));
    best.offer(28, padded(s, i, ","));
    size_t b = blanks(s, i);
    best.offer(29, atChar(s, i + b, ']') ? b + 1 : 0);
    return {best.length, best.head, best.rule};
}

std::string ConditionScanner::consume(const Match& m)
{
    std::string text = m_text->substr(m_position, m.head);
    m_position += m.head;
    m_beginningOfLine = !text.empty() && text.back() == '\n';
    return text;
}

std::wstring ConditionScanner::wide(const std::string& bytes) const
{
    return detail::fromThreadAnsi(bytes);
}

int ConditionScanner::endOfInput()
{
    if (m_state == State::String)
        m_host->scanError("Unterminated string constant");
    else if (m_state == State::List)
        m_host->scanError("Unterminated bracket list");
    m_state = State::Initial;
    m_position = m_text->size();
    return END_OF_CONDITION;
}

int ConditionScanner::next(ConditionValue& value)
{
    static const int keywordTokens[] = {IS_PRODUCT_AVAILABLE,      IS_PRODUCT_AVAILABLE_ON_SERVER,
                                        IS_PRODUCT_INSTALLED,      IS_PRODUCT_PART_AVAILABLE,
                                        IS_PRODUCT_PART_AVAILABLE_ON_SERVER, IS_PRODUCT_PART_INSTALLED,
                                        KW_PRODUCT_VERSION,        KW_FILE_VERSION};
    static const int operatorTokens[] = {OP_GE, OP_LE, OP_EQ, OP_NE, OP_GT, OP_LT};
    for (;;) {
        if (m_position >= m_text->size())
            return endOfInput();
        Match m = m_state == State::Initial ? longestInitial()
                  : m_state == State::String ? longestString()
                                             : longestList();
        if (m.length == 0) {  // no rule matches: one byte is dropped
            consume({1, 1, 0});
            continue;
        }
        if (m.length > kMaxTokenBytes) {
            m_host->scanError("input buffer overflow, can't enlarge buffer because scanner uses REJECT");
            m_state = State::Initial;
            m_position = m_text->size();
            return END_OF_CONDITION;
        }
        std::string text = consume(m);
        switch (m.rule) {
        case 4: return LPAREN;
        case 5: return RPAREN;
        case 6: case 7: return AND;
        case 8: case 9: return OR;
        case 10: return NOT;
        case 11: case 12: case 13: case 14: case 15: case 16:
            value.op = operatorTokens[m.rule - 11];
            return value.op;
        case 17: case 18: case 19: case 20: case 21: case 22: case 23: case 24:
            return keywordTokens[m.rule - 17];
        case 25:
            guidFromText(wide(text), value.guid);  // the literal's shape is the GUID text's
            return GUID_TOKEN;
        case 26:
            m_list.clear();
            m_state = State::List;
            break;
        case 27:
            m_list.push_back(upperCase(wide(text)));
            break;
        case 29:
            value.list = m_list;
            m_state = State::Initial;
            return VALUELIST;
        case 30:
            value.number = saturatingAtoi(text.c_str() + 1);
            return NUMBER;
        case 31:
            m_string.clear();
            m_state = State::String;
            break;
        case 32:
            m_state = State::Initial;
            value.text = m_string;
            return SYMBOL;
        case 33: case 34:
            m_string += m_host->expand(wide(text));
            break;
        case 35:
            m_string += wide(text);
            break;
        case 36: case 37:
            value.text = m_host->expand(wide(text));
            return SYMBOL;
        case 38:
            value.number = saturatingAtoi(text.c_str());
            return NUMBER;
        case 39:
            productVersionFromText(wide(text), value.productVersion);  // the token has digits
            return PRODUCTVERSION;
        case 40:
            value.fileVersion = fileVersionFromText(text);
            return FILEVERSION;
        case 41:
            value.text = wide(text);
            return SYMBOL;
        default:  // rules 1, 2, 3 and 28 drop their text
            break;
        }
    }
}

} // namespace condition
} // namespace ZelUt
