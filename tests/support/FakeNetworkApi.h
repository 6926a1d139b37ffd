// A network-management seam for the suites: answers from tables, counts calls.
#pragma once

#include <QoKivZelUt/NetworkApi.h>

#include <map>
#include <string>
#include <vector>

namespace qkztest {

struct FakeNetworkApi : ZelUt::NetworkApi {
    long openPolicyStatus = 0;
    std::map<std::wstring, long> rightStatus;  // right -> NTSTATUS (absent: success)
    std::vector<std::wstring> rightsAdded;
    unsigned long groupsStatus = 0;
    std::vector<std::wstring> groups;
    unsigned long memberStatus = 0;
    std::vector<std::wstring> memberCalls;  // "add group account" / "remove group account"
    std::vector<DWORD> managerErrors;       // errors of the next service-manager connections; then the real one
    int managerAttempts = 0;

    long openPolicy(const std::wstring&, void** policy) override
    {
        *policy = openPolicyStatus ? nullptr : this;
        return openPolicyStatus;
    }
    long addAccountRight(void*, PSID, const std::wstring& right) override
    {
        rightsAdded.push_back(right);
        auto status = rightStatus.find(right);
        return status == rightStatus.end() ? 0 : status->second;
    }
    void closePolicy(void*) override {}
    unsigned long userLocalGroups(const std::wstring&, const std::wstring&, std::vector<std::wstring>& out) override
    {
        out = groups;
        return groupsStatus;
    }
    unsigned long addLocalGroupMember(const std::wstring&, const std::wstring& group, const std::wstring& account) override
    {
        memberCalls.push_back(L"add " + group + L" " + account);
        return memberStatus;
    }
    unsigned long removeLocalGroupMember(const std::wstring&, const std::wstring& group, const std::wstring& account) override
    {
        memberCalls.push_back(L"remove " + group + L" " + account);
        return memberStatus;
    }
    SC_HANDLE openServiceManager(const std::wstring& computer, const wchar_t* database, unsigned long access) override
    {
        ++managerAttempts;
        if (managerErrors.empty())
            return NetworkApi::openServiceManager(computer, database, access);
        SetLastError(managerErrors.front());
        managerErrors.erase(managerErrors.begin());
        return nullptr;
    }
};

// Puts a fake in front of the system while it lives.
class NetworkSeam {
public:
    explicit NetworkSeam(ZelUt::NetworkApi& fake) : m_previous(ZelUt::setNetworkApi(&fake)) {}
    ~NetworkSeam() { ZelUt::setNetworkApi(m_previous); }
    NetworkSeam(const NetworkSeam&) = delete;
    NetworkSeam& operator=(const NetworkSeam&) = delete;

private:
    ZelUt::NetworkApi* m_previous;
};

} // namespace qkztest
