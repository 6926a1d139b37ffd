// This computer's shares, the network redirector and the temporary-file probe
// of a directory: Wine has no share service and no redirector, and its
// temporary-name call reports files it did not create, so tests stand in for
// these calls here.
#pragma once

#include <QoKivZelUt/Export.h>

#include <string>
#include <vector>

namespace ZelUt {

class QOKIVZELUT_API ShareApi {
public:
    virtual ~ShareApi() = default;
    // WNetGetUniversalNameW (UNIVERSAL_NAME_INFO_LEVEL) into the caller's buffer; its status.
    virtual unsigned long universalName(const std::wstring& path, void* buffer, unsigned long* size);
    struct Share {
        std::wstring name;
        std::wstring path;
    };
    // One call of NetShareEnum (level 502) on this computer, continuing at
    // resume; its status (ERROR_MORE_DATA: call again).
    virtual unsigned long enumShares(std::vector<Share>& shares, unsigned long& resume);
    // NetShareGetInfo (level 2): the share's local directory; a NET_API_STATUS.
    virtual unsigned long shareDirectory(const std::wstring& server, const std::wstring& share, std::wstring& path);
};

class QOKIVZELUT_API TempFileApi {
public:
    virtual ~TempFileApi() = default;
    // GetTempFileNameW: creates a file of a unique name in the directory;
    // false with the last error set.
    virtual bool createTempFile(const std::wstring& directory, const std::wstring& prefix, std::wstring& file);
};

QOKIVZELUT_API ShareApi* replaceApi(ShareApi* api);
QOKIVZELUT_API TempFileApi* replaceApi(TempFileApi* api);

ShareApi& shareApi();
TempFileApi& tempFileApi();

} // namespace ZelUt
