// SID text. Properties: a text is read exactly when it has the form (checked
// here by a model of its own: split at the dashes); what is read prints as a
// text that reads back the same, and printing it again gives the same text.
#include "FuzzText.h"
#include "security/SidText.h"

using namespace ZelUt;

namespace {

bool decimalBelow2To32(const std::wstring& piece)
{
    if (piece.empty())
        return false;
    unsigned long long value = 0;
    for (wchar_t c : piece) {
        if (c < L'0' || c > L'9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - L'0');
        if (value > 0xFFFFFFFFull)
            return false;
    }
    return true;
}

bool hasSidShape(const std::wstring& text)
{
    std::vector<std::wstring> pieces;
    for (size_t from = 0;;) {
        size_t dash = text.find(L'-', from);
        pieces.push_back(text.substr(from, dash == std::wstring::npos ? std::wstring::npos : dash - from));
        if (dash == std::wstring::npos)
            break;
        from = dash + 1;
    }
    if (pieces.size() < 3 || pieces.size() > 3 + kMostSubAuthorities || (pieces[0] != L"S" && pieces[0] != L"s") ||
        pieces[1] != L"1")
        return false;
    const std::wstring& authority = pieces[2];
    if (authority.size() > 2 && (authority.compare(0, 2, L"0x") == 0 || authority.compare(0, 2, L"0X") == 0)) {
        if (authority.size() > 14)
            return false;
        for (size_t i = 2; i < authority.size(); ++i) {
            const wchar_t c = authority[i];
            if (!((c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F')))
                return false;
        }
    } else if (!decimalBelow2To32(authority)) {
        return false;
    }
    for (size_t i = 3; i < pieces.size(); ++i)
        if (!decimalBelow2To32(pieces[i]))
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::wstring text = qkzfuzz::utf16Units(data, size);
    SidFields sid;
    const bool read = sidFromText(text, sid);
    QKZ_REQUIRE(read == hasSidShape(text));
    if (!read)
        return 0;
    const std::wstring printed = sidText(sid);
    SidFields again;
    QKZ_REQUIRE(sidFromText(printed, again) && again == sid && sidText(again) == printed);
    return 0;
}
