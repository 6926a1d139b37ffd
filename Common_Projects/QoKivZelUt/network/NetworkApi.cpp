#include <QoKivZelUt/NetworkApi.h>
#include <QoKivZelUt/WinAPI.h>

#include <lm.h>
#include <winnetwk.h>
#include <ntsecapi.h>

namespace ZelUt {

namespace {

NetworkApi* g_networkApi = nullptr;

NetworkApi& systemNetworkApi()
{
    static NetworkApi system;
    return system;
}

LSA_UNICODE_STRING lsaString(const std::wstring& text)
{
    LSA_UNICODE_STRING s;
    s.Buffer = const_cast<wchar_t*>(text.c_str());
    s.Length = static_cast<USHORT>(text.size() * sizeof(wchar_t));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(wchar_t));
    return s;
}

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

const wchar_t* serverName(const std::wstring& computer)
{
    return computer.empty() ? nullptr : computer.c_str();
}

} // namespace

long NetworkApi::openPolicy(const std::wstring& system, void** policy)
{
    LSA_OBJECT_ATTRIBUTES attributes = {};
    LSA_UNICODE_STRING name = lsaString(system);
    LSA_HANDLE handle = nullptr;
    NTSTATUS status = ::LsaOpenPolicy(system.empty() ? nullptr : &name, &attributes, POLICY_ALL_ACCESS, &handle);
    *policy = handle;
    return status;
}

long NetworkApi::addAccountRight(void* policy, PSID account, const std::wstring& right)
{
    LSA_UNICODE_STRING text = lsaString(right);
    return ::LsaAddAccountRights(policy, account, &text, 1);
}

void NetworkApi::closePolicy(void* policy)
{
    if (policy)
        ::LsaClose(policy);
}

unsigned long NetworkApi::userLocalGroups(const std::wstring& computer, const std::wstring& user,
                                          std::vector<std::wstring>& groups)
{
    NetBuffer<LOCALGROUP_USERS_INFO_0> list;
    DWORD read = 0, total = 0;
    NET_API_STATUS status = ::NetUserGetLocalGroups(serverName(computer), user.c_str(), 0, LG_INCLUDE_INDIRECT,
                                                    list.receive(), MAX_PREFERRED_LENGTH, &read, &total);
    list.own();
    groups.clear();
    for (DWORD i = 0; list.data && i < read; ++i)
        groups.push_back(list.data[i].lgrui0_name);
    return status;
}

unsigned long NetworkApi::addLocalGroupMember(const std::wstring& computer, const std::wstring& group,
                                              const std::wstring& account)
{
    LOCALGROUP_MEMBERS_INFO_3 member{const_cast<wchar_t*>(account.c_str())};
    return ::NetLocalGroupAddMembers(serverName(computer), group.c_str(), 3, reinterpret_cast<BYTE*>(&member), 1);
}

unsigned long NetworkApi::removeLocalGroupMember(const std::wstring& computer, const std::wstring& group,
                                                 const std::wstring& account)
{
    LOCALGROUP_MEMBERS_INFO_3 member{const_cast<wchar_t*>(account.c_str())};
    return ::NetLocalGroupDelMembers(serverName(computer), group.c_str(), 3, reinterpret_cast<BYTE*>(&member), 1);
}

SC_HANDLE NetworkApi::openServiceManager(const std::wstring& computer, const wchar_t* database, unsigned long access)
{
    return ::OpenSCManagerW(serverName(computer), database, access);
}

unsigned long NetworkApi::universalName(const std::wstring& path, void* buffer, unsigned long* size)
{
    DWORD bytes = *size;
    DWORD status = ::WNetGetUniversalNameW(path.c_str(), UNIVERSAL_NAME_INFO_LEVEL, buffer, &bytes);
    *size = bytes;
    return status;
}

unsigned long NetworkApi::enumShares(std::vector<Share>& shares, unsigned long& resume)
{
    NetBuffer<SHARE_INFO_502> list;
    DWORD read = 0, total = 0, handle = resume;
    NET_API_STATUS status = ::NetShareEnum(nullptr, 502, list.receive(), MAX_PREFERRED_LENGTH, &read, &total, &handle);
    list.own();
    resume = handle;
    shares.clear();
    for (DWORD i = 0; list.data && i < read; ++i)
        shares.push_back({list.data[i].shi502_netname ? list.data[i].shi502_netname : L"",
                          list.data[i].shi502_path ? list.data[i].shi502_path : L""});
    return status;
}

unsigned long NetworkApi::shareDirectory(const std::wstring& server, const std::wstring& share, std::wstring& path)
{
    NetBuffer<SHARE_INFO_2> info;
    NET_API_STATUS status = ::NetShareGetInfo(const_cast<wchar_t*>(serverName(server)),
                                              const_cast<wchar_t*>(share.c_str()), 2, info.receive());
    info.own();
    path = info.data && info.data->shi2_path ? info.data->shi2_path : L"";
    return status;
}

unsigned long NetworkApi::shareAdd(const std::wstring& server, const ShareAddition& share)
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
    return ::NetShareAdd(const_cast<wchar_t*>(serverName(server)), 502, reinterpret_cast<BYTE*>(&info), &badParameter);
}

unsigned long NetworkApi::shareDelete(const std::wstring& server, const std::wstring& share)
{
    return ::NetShareDel(const_cast<wchar_t*>(serverName(server)), const_cast<wchar_t*>(share.c_str()), 0);
}

unsigned long NetworkApi::shareInfo(const std::wstring& server, const std::wstring& share)
{
    NetBuffer<SHARE_INFO_0> info;
    NET_API_STATUS status = ::NetShareGetInfo(const_cast<wchar_t*>(serverName(server)),
                                              const_cast<wchar_t*>(share.c_str()), 0, info.receive());
    info.own();
    return status;
}

WinAPI::RegKey NetworkApi::connectRegistry(const std::wstring& machine)
{
    return WinAPI::regConnectRegistry(machine);
}

bool NetworkApi::createTempFile(const std::wstring& directory, const std::wstring& prefix, std::wstring& file)
{
    wchar_t name[MAX_PATH + 1] = {};
    if (!::GetTempFileNameW(directory.c_str(), prefix.c_str(), 0, name))
        return false;
    file = name;
    return true;
}

NetworkApi* setNetworkApi(NetworkApi* api)
{
    NetworkApi* previous = g_networkApi;
    g_networkApi = api;
    return previous;
}

NetworkApi& networkApi()
{
    return g_networkApi ? *g_networkApi : systemNetworkApi();
}

} // namespace ZelUt
