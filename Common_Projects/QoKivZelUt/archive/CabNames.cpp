#include "archive/CabNames.h"

#include "foundation/FileNames.h"

#include <cstring>
#include <cwchar>
#include <vector>

namespace ZelUt {
namespace cab {

const wchar_t* const kLeavesDestination = L"the name leaves the destination directory.";

std::wstring entryPathProblem(const std::wstring& name, std::wstring& relative)
{
    relative.clear();
    if (name.empty() || name[0] == L'\\' || name[0] == L'/' || name.find(L':') != std::wstring::npos)
        return kLeavesDestination;
    std::vector<std::wstring> parts;
    const wchar_t* problem = nullptr;
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find_first_of(L"\\/", start);
        if (end == std::wstring::npos)
            end = name.size();
        std::wstring part = name.substr(start, end - start);
        if (part == L"..") {
            if (parts.empty())
                return kLeavesDestination;
            parts.pop_back();
        } else if (!part.empty() && part != L".") {
            if (!problem)
                problem = fileNamePartProblem(part);
            parts.push_back(part);
        }
        start = end + 1;
    }
    if (parts.empty())
        return kLeavesDestination;
    if (problem)
        return problem;
    for (const std::wstring& part : parts)
        relative += (relative.empty() ? L"" : L"\\") + part;
    return std::wstring();
}

const wchar_t* fdiErrorText(int code)
{
    static const wchar_t* const texts[] = {
        L"No error.",
        L"The cabinet file was not found.",
        L"The cabinet file does not have the correct format.",
        L"The cabinet file has an unknown version number.",
        L"The cabinet file is corrupt.",
        L"Insufficient memory.",
        L"Unknown compression type used in the cabinet folder.",
        L"Failure decompressing data from the cabinet file.",
        L"Failure writing to the target file.",
        L"The cabinets within a set do not have the same RESERVE sizes.",
        L"The cabinet returned by fdintNEXT_CABINET is incorrect.",
        L"FDI aborted.",
    };
    if (code < 0 || code >= static_cast<int>(sizeof texts / sizeof texts[0]))
        return L"Unknown FDI error.";
    return texts[code];
}

long long findCabinetSignature(const unsigned char* data, uint64_t from, uint64_t to)
{
    static const unsigned char signature[4] = {'M', 'S', 'C', 'F'};
    if (to < 4)
        return -1;
    const uint64_t lastStart = to - 4;  // the signature lies wholly inside [from, to)
    for (uint64_t at = from; at <= lastStart;) {
        const void* m = std::memchr(data + at, 'M', static_cast<size_t>(lastStart - at + 1));
        if (!m)
            break;
        at = static_cast<const unsigned char*>(m) - data;
        if (std::memcmp(data + at, signature, 4) == 0)
            return static_cast<long long>(at);
        ++at;
    }
    return -1;
}

long cabinetPosition(long filePosition, unsigned long offset, bool& moveToStart)
{
    moveToStart = false;
    if (filePosition < 0)
        return filePosition;
    if (static_cast<unsigned long>(filePosition) >= offset)
        return static_cast<long>(filePosition - offset);
    moveToStart = true;
    return 0;
}

} // namespace cab
} // namespace ZelUt
