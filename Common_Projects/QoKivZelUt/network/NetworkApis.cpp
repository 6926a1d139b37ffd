// The system's side of the seams for account rights, local groups, shares,
// temporary names and other computers.
#include "network/RemoteMachineApi.h"
#include "network/ShareApis.h"
#include "security/AccountApis.h"

#include "foundation/Seam.h"

#include <QoKivZelUt/WinAPI.h>

#include <lm.h>
#include <ntsecapi.h>
#include <winnetwk.h>

namespace ZelUt {

using detail::Seam;

namespace {

struct NetApiBufferFreeClass {
    static void close(void* buffer) { ::NetApiBufferFree(buffer); }
};
// A buffer the network-management functions allocated.
template <class T>
struct NetBuffer {
    T* data = nullptr;
    WinAPI::AutoHandle<NetApiBufferFreeClass, void*> guard;
    BYTE** receive() { return reinterpret_cast<BYTE**>(&data); }
    void own() { guard = data; }
};

wchar_t* serverName(const std::wstring& computer)
{
    return computer.empty() ? nullptr : const_cast<wchar_t*>(computer.c_str());
}

const wchar_t* orEmpty(const wchar_t* text)
{
    return text ? text : L"";
}

} // namespace

// ---------------------------------------------------------------- account rights, local groups

long AccountRightsApi::addAccountRight(void* policy, PSID account, const std::wstring& right)
{
    LSA_UNICODE_STRING text;
    text.Buffer = const_cast<wchar_t*>(right.c_str());
    text.Length = static_cast<USHORT>(right.size() * sizeof(wchar_t));
    text.MaximumLength = static_cast<USHORT>(text.Length + sizeof(wchar_t));
    return ::LsaAddAccountRights(policy, account, &text, 1);
}

unsigned long LocalGroupApi::userLocalGroups(const std::wstring& computer, const std::wstring& user,
                                             std::vector<std::wstring>& groups)
{
    NetBuffer<LOCALGROUP_USERS_INFO_0> list;
    DWORD read = 0, total = 0;
    NET_API_STATUS status = ::NetUserGetLocalGroups(serverName(computer), user.c_str(), 0, LG_INCLUDE_INDIRECT,
                                                    list.receive(), MAX_PREFERRED_LENGTH, &read, &total);
    list.own();
    groups.clear();
    for (DWORD i = 0; list.data && i < read; ++i)
        groups.push_back(orEmpty(list.data[i].lgrui0_name));
    return status;
}

unsigned long LocalGroupApi::addLocalGroupMember(const std::wstring& computer, const std::wstring& group,
                                                 const std::wstring& account)
{
    LOCALGROUP_MEMBERS_INFO_3 member{const_cast<wchar_t*>(account.c_str())};
    return ::NetLocalGroupAddMembers(serverName(computer), group.c_str(), 3, reinterpret_cast<BYTE*>(&member), 1);
}

unsigned long LocalGroupApi::removeLocalGroupMember(const std::wstring& computer, const std::wstring& group,
                                                    const std::wstring& account)
{
    LOCALGROUP_MEMBERS_INFO_3 member{const_cast<wchar_t*>(account.c_str())};
    return ::NetLocalGroupDelMembers(serverName(computer), group.c_str(), 3, reinterpret_cast<BYTE*>(&member), 1);
}

// ---------------------------------------------------------------- this computer's shares

unsigned long ShareApi::universalName(const std::wstring& path, void* buffer, unsigned long* size)
{
    DWORD bytes = *size;
    DWORD status = ::WNetGetUniversalNameW(path.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer, &bytes);
    *size = bytes;
    return status;
}

unsigned long ShareApi::enumShares(std::vector<Share>& shares, unsigned long& resume)
{
    NetBuffer<SHARE_INFO_502> list;
    DWORD read = 0, total = 0, handle = resume;
    NET_API_STATUS status = ::NetShareEnum(nullptr, 502, list.receive(), MAX_PREFERRED_LENGTH, &read, &total, &handle);
    list.own();
    resume = handle;
    shares.clear();
    for (DWORD i = 0; list.data && i < read; ++i)
        shares.push_back({orEmpty(list.data[i].shi502_netname), orEmpty(list.data[i].shi502_path)});
    return status;
}

unsigned long ShareApi::shareDirectory(const std::wstring& server, const std::wstring& share, std::wstring& path)
{
    NetBuffer<SHARE_INFO_2> info;
    NET_API_STATUS status = ::NetShareGetInfo(serverName(server), const_cast<wchar_t*>(share.c_str()), 2,
                                              info.receive());
    info.own();
    path = info.data ? orEmpty(info.data->shi2_path) : L"";
    return status;
}

bool TempFileApi::createTempFile(const std::wstring& directory, const std::wstring& prefix, std::wstring& file)
{
    try {
        file = WinAPI::getTempFileName(WinPath(directory), prefix).str();
        return true;
    } catch (const CZelException&) {
        return false;
    }
}

// ---------------------------------------------------------------- other computers

SC_HANDLE RemoteMachineApi::openServiceManager(const std::wstring& computer, const wchar_t* database,
                                               unsigned long access)
{
    return ::OpenSCManagerW(serverName(computer), database, access);
}

unsigned long RemoteMachineApi::shareAdd(const std::wstring& server, const ShareAddition& share)
{
    SHARE_INFO_502 info = {};
    info.shi502_netname = const_cast<wchar_t*>(share.name.c_str());
    info.shi502_type = share.type;
    info.shi502_remark = const_cast<wchar_t*>(share.remark.c_str());
    info.shi502_permissions = share.permissions;
    info.shi502_max_uses = share.maxUses;
    info.shi502_path = const_cast<wchar_t*>(share.path.c_str());
    info.shi502_security_descriptor = share.security;
    DWORD badParameter = 0;
    return ::NetShareAdd(serverName(server), 502, reinterpret_cast<BYTE*>(&info), &badParameter);
}

unsigned long RemoteMachineApi::shareDelete(const std::wstring& server, const std::wstring& share)
{
    return ::NetShareDel(serverName(server), const_cast<wchar_t*>(share.c_str()), 0);
}

unsigned long RemoteMachineApi::shareInfo(const std::wstring& server, const std::wstring& share,
                                          ShareDetails& details)
{
    NetBuffer<SHARE_INFO_2> info;
    NET_API_STATUS status = ::NetShareGetInfo(serverName(server), const_cast<wchar_t*>(share.c_str()), 2,
                                              info.receive());
    info.own();
    details.path = info.data ? orEmpty(info.data->shi2_path) : L"";
    details.remark = info.data ? orEmpty(info.data->shi2_remark) : L"";
    return status;
}

WinAPI::RegKey RemoteMachineApi::connectRegistry(const std::wstring& machine)
{
    return WinAPI::regConnectRegistry(machine);
}

// ---------------------------------------------------------------- the hooks

AccountRightsApi* replaceApi(AccountRightsApi* api) { return Seam<AccountRightsApi>::replace(api); }
LocalGroupApi* replaceApi(LocalGroupApi* api) { return Seam<LocalGroupApi>::replace(api); }
ShareApi* replaceApi(ShareApi* api) { return Seam<ShareApi>::replace(api); }
TempFileApi* replaceApi(TempFileApi* api) { return Seam<TempFileApi>::replace(api); }
RemoteMachineApi* replaceApi(RemoteMachineApi* api) { return Seam<RemoteMachineApi>::replace(api); }

AccountRightsApi& accountRightsApi() { return Seam<AccountRightsApi>::current(); }
LocalGroupApi& localGroupApi() { return Seam<LocalGroupApi>::current(); }
ShareApi& shareApi() { return Seam<ShareApi>::current(); }
TempFileApi& tempFileApi() { return Seam<TempFileApi>::current(); }
RemoteMachineApi& remoteMachineApi() { return Seam<RemoteMachineApi>::current(); }

} // namespace ZelUt
