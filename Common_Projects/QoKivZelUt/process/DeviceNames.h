// Kernel device names in mapped-file names, replaced by their DOS prefixes.
#pragma once

#include <string>

namespace ZelUt {
namespace detail {

// When the path starts with the device name followed by '\', that part is
// replaced by the prefix (which ends with '\'); true when it was. A device
// name may begin another one's (HarddiskVolume1, HarddiskVolume10), so the
// separator is part of the match.
inline bool replaceDevicePrefix(std::wstring& path, const std::wstring& device, const std::wstring& prefix)
{
    if (path.size() <= device.size() || path.compare(0, device.size(), device) != 0 || path[device.size()] != L'\\')
        return false;
    path.replace(0, device.size() + 1, prefix);
    return true;
}

} // namespace detail
} // namespace ZelUt
