// The network-management calls behind one replaceable interface: the local
// security authority's account rights, local group membership and the service
// managers of other computers, shares and the registries of other computers. The system's implementation is the default;
// tests put their own in front of it (some systems answer these calls without
// doing anything, so their branches could not be tested otherwise).
#pragma once

#include "Export.h"
#include "WinAPI.h"

#include <windows.h>

#include <string>
#include <vector>

namespace ZelUt {

class QOKIVZELUT_API NetworkApi {
public:
    virtual ~NetworkApi() = default;

    // LsaOpenPolicy with full access on the computer (empty: this one); an NTSTATUS.
    virtual long openPolicy(const std::wstring& system, void** policy);
    // LsaAddAccountRights of one right; an NTSTATUS.
    virtual long addAccountRight(void* policy, PSID account, const std::wstring& right);
    virtual void closePolicy(void* policy);

    // NetUserGetLocalGroups (level 0, indirect memberships included); a NET_API_STATUS.
    virtual unsigned long userLocalGroups(const std::wstring& computer, const std::wstring& user,
                                          std::vector<std::wstring>& groups);
    // NetLocalGroupAddMembers / NetLocalGroupDelMembers of one account (level 3); a NET_API_STATUS.
    virtual unsigned long addLocalGroupMember(const std::wstring& computer, const std::wstring& group,
                                              const std::wstring& account);
    virtual unsigned long removeLocalGroupMember(const std::wstring& computer, const std::wstring& group,
                                                 const std::wstring& account);

    // OpenSCManagerW; null with the last error set on failure.
    virtual SC_HANDLE openServiceManager(const std::wstring& computer, const wchar_t* database, unsigned long access);

    // WNetGetUniversalNameW (UNIVERSAL_NAME_INFO_LEVEL) into the caller's buffer; its status.
    virtual unsigned long universalName(const std::wstring& path, void* buffer, unsigned long* size);
    struct Share {
        std::wstring name;
        std::wstring path;
    };
    // One call of NetShareEnum (level 502) on this machine, continuing at resume;
    // its status (ERROR_MORE_DATA: call again).
    virtual unsigned long enumShares(std::vector<Share>& shares, unsigned long& resume);
    // NetShareGetInfo (level 2): the share's local directory; a NET_API_STATUS.
    virtual unsigned long shareDirectory(const std::wstring& server, const std::wstring& share, std::wstring& path);
    // A share to create: the fields of SHARE_INFO_502.
    struct ShareAddition {
        std::wstring name;
        unsigned long type = 0;
        std::wstring remark;
        unsigned long permissions = 0;
        unsigned long maxUses = 0;
        std::wstring path;
        PSECURITY_DESCRIPTOR security = nullptr;
    };
    // NetShareAdd (level 502) on the server; a NET_API_STATUS.
    virtual unsigned long shareAdd(const std::wstring& server, const ShareAddition& share);
    // NetShareDel; a NET_API_STATUS.
    virtual unsigned long shareDelete(const std::wstring& server, const std::wstring& share);
    // NetShareGetInfo (level 0): 0 when the share exists; a NET_API_STATUS.
    virtual unsigned long shareInfo(const std::wstring& server, const std::wstring& share);
    // RegConnectRegistryW of the machine's HKEY_LOCAL_MACHINE; throws as WinAPI::regConnectRegistry.
    virtual WinAPI::RegKey connectRegistry(const std::wstring& machine);

    // GetTempFileNameW: creates a file of a unique name in the directory; false with the last error set.
    virtual bool createTempFile(const std::wstring& directory, const std::wstring& prefix, std::wstring& file);
};

// The calls in use; the system's own unless replaced. Returns the previous one.
QOKIVZELUT_API NetworkApi* setNetworkApi(NetworkApi* api);
QOKIVZELUT_API NetworkApi& networkApi();

} // namespace ZelUt
