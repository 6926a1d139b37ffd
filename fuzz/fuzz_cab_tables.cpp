// Cabinet tables, entry names and the self-extractor's scan for an attached
// cabinet. Properties: a found signature is "MSCF" inside the input; in a
// cabinet the table check accepts, every file name ends inside the file table
// (before the first data block); a name accepted as a path stays below the
// destination.
#include "FuzzText.h"
#include "archive/CabNames.h"
#include "archive/CabTables.h"

#include <algorithm>
#include <cstring>

using namespace ZelUt::cab;

namespace {

template <class T>
T at(const uint8_t* data, uint64_t offset)
{
    T value;
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

// An independent walk of an accepted cabinet's tables (it may trust the sizes
// the check has already confirmed): every name's terminator before `dataBegins`.
void checkAcceptedCabinet(const uint8_t* data, size_t size)
{
    uint32_t cabinetSize = at<uint32_t>(data, 8), filesOffset = at<uint32_t>(data, 16);
    uint16_t folders = at<uint16_t>(data, 26), files = at<uint16_t>(data, 28), flags = at<uint16_t>(data, 30);
    QKZ_REQUIRE(cabinetSize <= size && folders > 0 && files > 0);
    uint64_t position = 36, folderReserve = 0;
    if (flags & 4) {
        folderReserve = data[38];
        position = 40 + uint64_t(at<uint16_t>(data, 36));
    }
    for (int set : {1, 2})
        if (flags & set)
            for (int name = 0; name < 2; ++name)
                position += std::strlen(reinterpret_cast<const char*>(data + position)) + 1;
    uint64_t dataBegins = cabinetSize;
    for (uint16_t i = 0; i < folders; ++i) {
        uint64_t entry = position + i * (8 + folderReserve);
        if (at<uint16_t>(data, entry + 4) > 0)
            dataBegins = std::min<uint64_t>(dataBegins, at<uint32_t>(data, entry));
    }
    uint64_t entry = filesOffset;
    for (uint16_t i = 0; i < files; ++i) {
        const uint8_t* name = data + entry + 16;
        const void* end = std::memchr(name, 0, dataBegins - (entry + 16));
        QKZ_REQUIRE(end != nullptr);
        size_t length = static_cast<const uint8_t*>(end) - name;
        std::wstring relative;
        if (entryPathProblem(qkzfuzz::latin1(name, length), relative).empty()) {
            QKZ_REQUIRE(!relative.empty() && relative[0] != L'\\' && relative.find(L':') == std::wstring::npos);
            QKZ_REQUIRE((L"\\" + relative + L"\\").find(L"\\..\\") == std::wstring::npos);
        }
        entry += 16 + length + 1;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    long long found = findCabinetSignature(data, 0, size);
    QKZ_REQUIRE(found < 0 || (uint64_t(found) + 4 <= size && std::memcmp(data + found, "MSCF", 4) == 0));

    CabinetReader read = [&](uint64_t offset, void* out, size_t length) {
        if (offset > size || length > size - offset)
            return false;
        std::memcpy(out, data + offset, length);
        return true;
    };
    if (cabinetTableProblem(size, read).empty())
        checkAcceptedCabinet(data, size);
    return 0;
}
