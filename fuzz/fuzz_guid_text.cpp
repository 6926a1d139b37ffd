// GUID text. Properties: exactly the texts of the form
// xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx (bare or in braces) are read; what is
// read prints as the same text in braces and upper case.
#include "FuzzText.h"
#include "values/GuidText.h"

#include <cwctype>

using namespace ZelUt;

namespace {

bool hasGuidShape(const std::wstring& text)
{
    std::wstring bare = text;
    if (text.size() == 38 && text.front() == L'{' && text.back() == L'}')
        bare = text.substr(1, 36);
    static const wchar_t shape[] = L"HHHHHHHH-HHHH-HHHH-HHHH-HHHHHHHHHHHH";
    if (bare.size() != 36)
        return false;
    for (size_t i = 0; i < 36; ++i) {
        wchar_t c = bare[i];
        bool hex = (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F');
        if (shape[i] == L'-' ? c != L'-' : !hex)
            return false;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::wstring text = qkzfuzz::utf16Units(data, size);
    GuidFields guid;
    bool read = guidFromText(text, guid);
    QKZ_REQUIRE(read == hasGuidShape(text));
    if (!read)
        return 0;
    std::wstring printed = guidText(guid);
    std::wstring expected = text.size() == 36 ? L"{" + text + L"}" : text;
    for (wchar_t& c : expected)
        if (c >= L'a' && c <= L'f')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    QKZ_REQUIRE(printed == expected);
    GuidFields again;
    QKZ_REQUIRE(guidFromText(printed, again) && guidText(again) == printed);
    return 0;
}
