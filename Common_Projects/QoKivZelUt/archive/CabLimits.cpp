#include "archive/CabLimits.h"

namespace ZelUt {
namespace cab {

namespace {

const uint64_t kBlockBytes = 32768;
const uint64_t kBlockHeader = 8;
const uint64_t kFileEntry = 16;
const uint64_t kFolderEntry = 8;
const uint64_t kCabinetHeader = 36;
// The compressor closes a cabinet somewhat before its limit; the files are
// kept clear of that.
const uint64_t kMargin = 1024 * 1024;

} // namespace

uint64_t storedSize(uint64_t fileBytes, size_t nameBytes)
{
    uint64_t blocks = (fileBytes + kBlockBytes - 1) / kBlockBytes;
    return fileBytes + blocks * kBlockHeader + kFileEntry + nameBytes + 1 + kFolderEntry;
}

std::wstring limitProblem(uint64_t used, unsigned files, uint64_t fileBytes, size_t nameBytes)
{
    if (nameBytes > kLongestStoredName)
        return L"its name takes " + std::to_wstring(nameBytes) + L" bytes in UTF-8, a cabinet holds names of at most " +
               std::to_wstring(kLongestStoredName);
    if (files >= kMostFiles)
        return L"the cabinet holds " + std::to_wstring(kMostFiles) + L" files already, as many as it can count";
    if (kCabinetHeader + used + storedSize(fileBytes, nameBytes) + kMargin > kLargestCabinet)
        return L"its " + std::to_wstring(fileBytes) + L" bytes would take the cabinet past its limit of 2 GiB";
    return std::wstring();
}

} // namespace cab
} // namespace ZelUt
