#include "foundation/FileNames.h"

#include <cwchar>

namespace ZelUt {

namespace {

const size_t kLongestPart = 255;

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9 (superscript digits too), with any
// extension and blanks before it: names the system opens as devices.
bool isDeviceName(const std::wstring& part)
{
    static const wchar_t* const devices[] = {L"CON", L"PRN", L"AUX", L"NUL"};
    std::wstring base = part.substr(0, part.find(L'.'));
    while (!base.empty() && base.back() == L' ')
        base.pop_back();
    for (wchar_t& c : base)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    for (const wchar_t* device : devices)
        if (base == device)
            return true;
    if (base.size() != 4 || (base.compare(0, 3, L"COM") != 0 && base.compare(0, 3, L"LPT") != 0))
        return false;
    wchar_t n = base[3];
    return (n >= L'1' && n <= L'9') || n == L'\u00b9' || n == L'\u00b2' || n == L'\u00b3';
}

} // namespace

const wchar_t* fileNamePartProblem(const std::wstring& part)
{
    if (part.empty())
        return L"a part of the name is empty.";
    for (wchar_t c : part) {
        if (c < 0x20)
            return L"the name holds a control character.";
        if (std::wcschr(L"<>\"|?*", c))
            return L"the name holds a character that file names cannot hold.";
    }
    if (part.back() == L'.' || part.back() == L' ')
        return L"a part of the name ends with a dot or a blank.";
    if (part.size() > kLongestPart)
        return L"a part of the name is longer than 255 characters.";
    if (isDeviceName(part))
        return L"a part of the name is a device name.";
    return nullptr;
}

} // namespace ZelUt
