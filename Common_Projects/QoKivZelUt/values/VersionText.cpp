#include "values/VersionText.h"

namespace ZelUt {

namespace {

template <class Char>
bool isDigit(Char c)
{
    return c >= '0' && c <= '9';
}

// The digits from `at` on as a number, saturating at `limit`; `at` ends past them.
template <class Text>
uint64_t readDigits(const Text& text, size_t& at, uint64_t limit)
{
    uint64_t value = 0;
    for (; at < text.size() && isDigit(text[at]); ++at) {
        value = value * 10 + static_cast<uint64_t>(text[at] - '0');
        if (value > limit)
            value = limit + 1;  // stays above the limit however many digits follow
    }
    return value > limit ? limit : value;
}

} // namespace

bool productVersionFromText(const std::wstring& text, ProductVersionValue& version)
{
    size_t at = 0;
    while (at < text.size() && !isDigit(text[at]))
        ++at;
    if (at == text.size())
        return false;
    const uint64_t kLargest = 0xFFFFFFFFu;
    uint32_t first = static_cast<uint32_t>(readDigits(text, at, kLargest));
    version = ProductVersionValue();
    if (at + 1 < text.size() && text[at] == L'.' && isDigit(text[at + 1])) {
        ++at;
        version.major = first;
        version.minor = static_cast<uint32_t>(readDigits(text, at, kLargest));
    } else {
        version.minor = first;
    }
    return true;
}

int compareProductVersions(const ProductVersionValue& left, const ProductVersionValue& right)
{
    if (left.major != right.major)
        return left.major < right.major ? -1 : 1;
    if (left.minor != right.minor)
        return left.minor < right.minor ? -1 : 1;
    if (left.buildTime != right.buildTime)
        return left.buildTime < right.buildTime ? -1 : 1;
    return 0;
}

bool FileVersionValue::isValid() const
{
    for (uint16_t part : parts)
        if (part == 0xFFFF)
            return false;
    return true;
}

int FileVersionValue::compare(const FileVersionValue& other) const
{
    if (!isValid() || !other.isValid())
        return isValid() ? 1 : other.isValid() ? -1 : 0;
    for (int i = 0; i < 4; ++i)
        if (parts[i] != other.parts[i])
            return parts[i] < other.parts[i] ? -1 : 1;
    return 0;
}

FileVersionValue fileVersionFromText(const std::string& text)
{
    FileVersionValue version;
    size_t at = 0;
    for (int p = 0; p < 4; ++p) {
        size_t start = at;
        uint64_t value = readDigits(text, at, 0xFFFF + 1);
        bool partEnds = at == text.size() || text[at] == '.';
        if (at == start || !partEnds || value > 0xFFFF)
            break;
        version.parts[p] = static_cast<uint16_t>(value);
        if (at == text.size())
            break;
        ++at;
    }
    return version;
}

} // namespace ZelUt
