// The network-management calls behind one replaceable interface: the local
// security authority's account rights, local group membership and the service
// managers of other computers. The system's implementation is the default;
// tests put their own in front of it (some systems answer these calls without
// doing anything, so their branches could not be tested otherwise).
#pragma once

#include "Export.h"

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
};

// The calls in use; the system's own unless replaced. Returns the previous one.
QOKIVZELUT_API NetworkApi* setNetworkApi(NetworkApi* api);
QOKIVZELUT_API NetworkApi& networkApi();

} // namespace ZelUt
