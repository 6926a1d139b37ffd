#include <QoKivZelUt/NetworkApi.h>

#include <lm.h>
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
    LOCALGROUP_USERS_INFO_0* list = nullptr;
    DWORD read = 0, total = 0;
    NET_API_STATUS status = ::NetUserGetLocalGroups(serverName(computer), user.c_str(), 0, LG_INCLUDE_INDIRECT,
                                                    reinterpret_cast<BYTE**>(&list), MAX_PREFERRED_LENGTH, &read, &total);
    groups.clear();
    for (DWORD i = 0; list && i < read; ++i)
        groups.push_back(list[i].lgrui0_name);
    if (list)
        ::NetApiBufferFree(list);
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
