#include "ConditionEval.h"

#include "ConditionText.h"
#include "foundation/CodePage.h"

#include <QoKivZelUt/WinAPI.h>

namespace ZelUt {
namespace condition {


FileVersionNumber fullPathVersion(const std::wstring& symbol)
{
    WinPath path(symbol);
    if (!path.exists())
        return FileVersionNumber();
    DWORD attributes = GetFileAttributesW(path.getLongPath().str().c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return FileVersionNumber(0, 0, 0, 0);
    try {
        std::vector<unsigned short> v = path.getFileVersion();
        FileVersionNumber version(v[0], v[1], v[2], v[3]);
        return version.isValid() ? version : FileVersionNumber();
    } catch (const CZelException&) {
        return FileVersionNumber();
    }
}

namespace {

// The lines of a text file, upper-cased; false when it cannot be read.
bool readUpperCaseLines(const std::wstring& path, std::vector<std::wstring>& lines)
{
    WinAPI::FileHandle file(CreateFileW(WinPath(path).getLongPath().str().c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file.valid())
        return false;
    std::string bytes;
    try {
        bytes = WinAPI::readFileA(file);
    } catch (const CZelException&) {
        return false;
    }
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find('\n', start);
        if (end == std::string::npos)
            end = bytes.size();
        size_t stop = end > start && bytes[end - 1] == '\r' ? end - 1 : end;
        lines.push_back(upperCase(detail::fromThreadAnsi(bytes.data() + start, stop - start)));
        start = end + 1;
    }
    return true;
}

} // namespace

bool isFullPath(const std::wstring& symbol)
{
    WinPath path(symbol);
    return path.isAbsolute() && path == WinPath(path.replaceInvalidCharacters());
}

bool symbolNumberComparison(int op, const std::wstring& symbol, int number, bool symbolOnLeft)
{
    int cmp;
    int value = 0;
    if (isFullPath(symbol)) {
        int side = WinPath(symbol).exists() ? 0 : -1;
        cmp = symbolOnLeft ? compareNumbers(side, number) : compareNumbers(number, side);
    } else if (wholeInteger(symbol, value)) {
        cmp = symbolOnLeft ? compareNumbers(value, number) : compareNumbers(number, value);
    } else {
        std::wstring digits = std::to_wstring(number);
        cmp = symbolOnLeft ? compareText(symbol, digits) : compareText(digits, symbol);
    }
    return applyOperator(op, cmp);
}

bool fileVersionComparison(int op, const FileVersionNumber& left, const FileVersionNumber& right)
{
    return applyOperator(op, left.compare(right));
}

bool pathVersionComparison(int op, const std::wstring& symbol, const FileVersionNumber& right)
{
    if (!isFullPath(symbol))
        return op == 261;
    return fileVersionComparison(op, fullPathVersion(symbol), right);
}

bool membership(const std::wstring& symbol, const std::vector<std::wstring>& list)
{
    if (!isFullPath(symbol)) {
        std::wstring upper = upperCase(symbol);
        for (const std::wstring& element : list)
            if (element == upper)
                return true;
        return false;
    }
    if (list.empty())
        return true;
    std::vector<std::wstring> lines;
    if (!readUpperCaseLines(symbol, lines) || lines.empty())
        return false;
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
