// Account rights and local group membership: Wine answers these calls without
// doing the work (rights are not stored, every user is an administrator), so
// tests stand in for them here.
#pragma once

#include <QoKivZelUt/Export.h>

#include <windows.h>

#include <string>
#include <vector>

namespace ZelUt {

class QOKIVZELUT_API AccountRightsApi {
public:
    virtual ~AccountRightsApi() = default;
    // LsaAddAccountRights of one right in an open policy; an NTSTATUS.
    virtual long addAccountRight(void* policy, PSID account, const std::wstring& right);
};

class QOKIVZELUT_API LocalGroupApi {
public:
    virtual ~LocalGroupApi() = default;
    // NetUserGetLocalGroups (level 0, indirect memberships included); a NET_API_STATUS.
    virtual unsigned long userLocalGroups(const std::wstring& computer, const std::wstring& user,
                                          std::vector<std::wstring>& groups);
    // NetLocalGroupAddMembers / NetLocalGroupDelMembers of one account (level 3); a NET_API_STATUS.
    virtual unsigned long addLocalGroupMember(const std::wstring& computer, const std::wstring& group,
                                              const std::wstring& account);
    virtual unsigned long removeLocalGroupMember(const std::wstring& computer, const std::wstring& group,
                                                 const std::wstring& account);
};

// Puts a test's implementation in front of the system's (null: the system's
// again); returns the previous one.
QOKIVZELUT_API AccountRightsApi* replaceApi(AccountRightsApi* api);
QOKIVZELUT_API LocalGroupApi* replaceApi(LocalGroupApi* api);

AccountRightsApi& accountRightsApi();
LocalGroupApi& localGroupApi();

} // namespace ZelUt
