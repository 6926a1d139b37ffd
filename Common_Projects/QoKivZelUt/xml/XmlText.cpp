#include "xml/XmlText.h"

namespace ZelUt {
namespace xml {

const std::pair<wchar_t, const wchar_t*> kEntities[7] = {
    {L'&', L"&amp;"},  {L'<', L"&lt;"},        {L'>', L"&gt;"},        {L'\'', L"&apos;"},
    {L'"', L"&quot;"}, {L'\u00ae', L"&#174;"}, {L'\u00a9', L"&#169;"},
};

namespace {

bool isHighSurrogate(wchar_t c)
{
    return c >= 0xD800 && c <= 0xDBFF;
}

bool isLowSurrogate(wchar_t c)
{
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Whether the unit at i (with what follows) is a character XML can carry;
// `units` is 2 for a surrogate pair.
bool carried(const std::wstring& text, size_t i, size_t& units)
{
    wchar_t c = text[i];
    units = 1;
    if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
        units = 2;
        return true;
    }
    if (c == L'\t' || c == L'\n' || c == L'\r')
        return true;
    return c >= 0x20 && !isHighSurrogate(c) && !isLowSurrogate(c) && c != 0xFFFE && c != 0xFFFF;
}

const wchar_t* entityOf(wchar_t c)
{
    for (const auto& entity : kEntities)
        if (entity.first == c)
            return entity.second;
    return nullptr;
}

// Goes through the text character by character; `write` gets each character
// XML can carry (one or two units) and the replacement for the others.
template <class Write>
void eachCharacter(const std::wstring& text, size_t& replaced, Write write)
{
    replaced = 0;
    for (size_t i = 0; i < text.size();) {
        size_t units = 1;
        if (carried(text, i, units)) {
            write(text, i, units);
        } else {
            ++replaced;
            write(std::wstring(1, kReplacement), 0, 1);
        }
        i += units;
    }
}

bool isNameStart(wchar_t c)
{
    return c == L':' || c == L'_' || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') ||
           (c >= 0xC0 && c <= 0xD6) || (c >= 0xD8 && c <= 0xF6) || (c >= 0xF8 && c <= 0x2FF) ||
           (c >= 0x370 && c <= 0x37D) || (c >= 0x37F && c <= 0x1FFF) || (c >= 0x200C && c <= 0x200D) ||
           (c >= 0x2070 && c <= 0x218F) || (c >= 0x2C00 && c <= 0x2FEF) || (c >= 0x3001 && c <= 0xD7FF) ||
           (c >= 0xF900 && c <= 0xFDCF) || (c >= 0xFDF0 && c <= 0xFFFD);
}

bool isNamePart(wchar_t c)
{
    return isNameStart(c) || c == L'-' || c == L'.' || (c >= L'0' && c <= L'9') || c == 0xB7 ||
           (c >= 0x300 && c <= 0x36F) || (c >= 0x203F && c <= 0x2040);
}

} // namespace

bool isName(const std::wstring& name)
{
    // A qualified name as namespace-aware readers take it: no more than one
    // colon, and not at either end.
    size_t colon = name.find(L':');
    if (name.empty() || colon == 0 || colon == name.size() - 1 ||
        (colon != std::wstring::npos && name.find(L':', colon + 1) != std::wstring::npos))
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        wchar_t c = name[i];
        if (isHighSurrogate(c) && i + 1 < name.size() && isLowSurrogate(name[i + 1]) && name[i] <= 0xDB7F) {
            ++i;  // U+10000 to U+EFFFF: start and part alike
            continue;
        }
        if (!(i == 0 ? isNameStart(c) : isNamePart(c)))
            return false;
    }
    return true;
}

std::wstring escapeText(const std::wstring& text, size_t& replaced)
{
    std::wstring out;
    out.reserve(text.size());
    eachCharacter(text, replaced, [&](const std::wstring& from, size_t at, size_t units) {
        wchar_t c = from[at];
        const wchar_t* entity = units == 1 ? entityOf(c) : nullptr;
        if (entity)
            out += entity;
        else if (c == L'\r' && !(at + 1 < from.size() && from[at + 1] == L'\n'))
            out += L"&#13;";
        else
            out.append(from, at, units);
    });
    return out;
}

std::wstring escapeAttribute(const std::wstring& value, size_t& replaced)
{
    std::wstring out;
    out.reserve(value.size());
    eachCharacter(value, replaced, [&](const std::wstring& from, size_t at, size_t units) {
        wchar_t c = from[at];
        const wchar_t* entity = units == 1 ? entityOf(c) : nullptr;
        if (entity)
            out += entity;
        else if (c == L'\t')
            out += L"&#9;";
        else if (c == L'\n')
            out += L"&#10;";
        else if (c == L'\r')
            out += L"&#13;";
        else
            out.append(from, at, units);
    });
    return out;
}

std::wstring cdataContent(const std::wstring& text, size_t& replaced)
{
    std::wstring out;
    out.reserve(text.size());
    eachCharacter(text, replaced, [&](const std::wstring& from, size_t at, size_t units) {
        wchar_t c = from[at];
        if (c == L'>' && out.size() >= 2 && out.compare(out.size() - 2, 2, L"]]") == 0)
            out += L"]]><![CDATA[>";  // "]]" stays in this section, ">" opens the next
        else if (c == L'\r' && !(at + 1 < from.size() && from[at + 1] == L'\n'))
            out += L"]]>&#13;<![CDATA[";
        else
            out.append(from, at, units);
    });
    return out;
}

std::wstring commentText(const std::wstring& text, size_t& replaced)
{
    std::wstring out;
    out.reserve(text.size());
    eachCharacter(text, replaced, [&](const std::wstring& from, size_t at, size_t units) {
        if (from[at] == L'-' && !out.empty() && out.back() == L'-')
            out += L' ';
        out.append(from, at, units);
    });
    return out;
}

} // namespace xml
} // namespace ZelUt
