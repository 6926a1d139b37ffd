// A network-management seam for the suites: answers from tables, counts calls.
#pragma once

#include <QoKivZelUt/NetworkApi.h>
#include <QoKivZelUt/ZelException.h>

#include <sddl.h>

#include <winnetwk.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
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
    // The redirector: a name answered in two calls (size, then data), or a failure.
    std::wstring universal;
    unsigned long universalStatus = ERROR_NOT_CONNECTED;
    // Shares, handed out pageSize per call; after them enumeration ends with finalStatus.
    std::vector<Share> shares;
    size_t pageSize = 100;
    unsigned long finalStatus = 0;
    int enumCalls = 0;
    std::map<std::wstring, std::wstring> shareDirs;  // share name -> directory; others answer 2310
    std::set<std::wstring> unwritable;               // directories in which no file can be created

    // Another computer: its shares (name -> what was added), the answers of the
    // next additions before the table's own, and its registry (a key standing
    // in for its HKEY_LOCAL_MACHINE; none: the system's connection).
    std::map<std::wstring, ShareAddition> remoteShares;
    std::map<std::wstring, std::wstring> remoteSddl;  // share name -> its descriptor as SDDL ("" for none)
    std::vector<unsigned long> addAnswers;
    unsigned long deleteStatus = 0;
    std::vector<std::wstring> shareCalls;  // "add|del|info \\server name"
    HKEY remoteMachine = nullptr;
    int registryFailures = 0;  // connections that fail (53) before one succeeds
    int registryConnections = 0;

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
    unsigned long universalName(const std::wstring&, void* buffer, unsigned long* size) override
    {
        if (universal.empty())
            return universalStatus;
        unsigned long needed = sizeof(UNIVERSAL_NAME_INFOW) + (universal.size() + 1) * sizeof(wchar_t);
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        auto* info = static_cast<UNIVERSAL_NAME_INFOW*>(buffer);
        info->lpUniversalName = reinterpret_cast<wchar_t*>(info + 1);
        std::memcpy(info->lpUniversalName, universal.c_str(), (universal.size() + 1) * sizeof(wchar_t));
        return NO_ERROR;
    }
    unsigned long enumShares(std::vector<Share>& page, unsigned long& resume) override
    {
        ++enumCalls;
        if (resume >= shares.size()) {
            page.clear();
            return finalStatus;
        }
        size_t end = std::min(shares.size(), size_t(resume) + pageSize);
        page.assign(shares.begin() + resume, shares.begin() + end);
        resume = static_cast<unsigned long>(end);
        return end < shares.size() || finalStatus ? ERROR_MORE_DATA : NO_ERROR;
    }
    unsigned long shareDirectory(const std::wstring&, const std::wstring& share, std::wstring& path) override
    {
        auto found = shareDirs.find(share);
        if (found == shareDirs.end())
            return 2310;  // NERR_NetNameNotFound
        path = found->second;
        return 0;
    }
    unsigned long shareAdd(const std::wstring& server, const ShareAddition& share) override
    {
        shareCalls.push_back(L"add " + server + L" " + share.name);
        if (!addAnswers.empty()) {
            unsigned long answer = addAnswers.front();
            addAnswers.erase(addAnswers.begin());
            if (answer)
                return answer;
        }
        if (remoteShares.count(share.name))
            return 2118;  // NERR_DuplicateShare
        remoteShares[share.name] = share;
        remoteShares[share.name].security = nullptr;
        wchar_t* sddl = nullptr;
        remoteSddl[share.name] = share.security && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                                       share.security, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                       &sddl, nullptr)
                                     ? sddl
                                     : L"";
        LocalFree(sddl);
        return 0;
    }
    unsigned long shareDelete(const std::wstring& server, const std::wstring& share) override
    {
        shareCalls.push_back(L"del " + server + L" " + share);
        if (deleteStatus)
            return deleteStatus;
        return remoteShares.erase(share) ? 0 : 2310;
    }
    unsigned long shareInfo(const std::wstring&, const std::wstring& share) override
    {
        return remoteShares.count(share) ? 0 : 2310;
    }
    WinAPI::RegKey connectRegistry(const std::wstring& machine) override
    {
        ++registryConnections;
        if (!remoteMachine)
            return NetworkApi::connectRegistry(machine);
        if (registryFailures > 0) {
            --registryFailures;
            throw CZelException(ERROR_BAD_NETPATH, L"regConnectRegistry() failed in ::RegConnectRegistry");
        }
        HKEY copy = nullptr;
        RegOpenKeyExW(remoteMachine, nullptr, 0, KEY_READ, &copy);
        return WinAPI::RegKey(copy);
    }
    bool createTempFile(const std::wstring& directory, const std::wstring& prefix, std::wstring& file) override
    {
        if (unwritable.count(directory)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        return NetworkApi::createTempFile(directory, prefix, file);
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
