// The suites' stand-ins for what Wine cannot answer truthfully: account
// rights, local groups, this computer's shares and temporary names, another
// computer. Each answers from its tables while it lives.
#pragma once

#include "network/RemoteMachineApi.h"
#include "network/ShareApis.h"
#include "security/AccountApis.h"

#include <QoKivZelUt/ZelException.h>

#include <sddl.h>
#include <winnetwk.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace qkztest {

// Puts a fake in front of the system's calls while it lives.
template <class Api>
class InFront {
public:
    explicit InFront(Api& fake) : m_previous(replaceApi(&fake)) {}  // found beside Api
    ~InFront() { replaceApi(m_previous); }
    InFront(const InFront&) = delete;
    InFront& operator=(const InFront&) = delete;

private:
    Api* m_previous;
};

struct FakeAccountRights : ZelUt::AccountRightsApi {
    std::map<std::wstring, long> status;  // right -> NTSTATUS (absent: success)
    std::vector<std::wstring> added;
    InFront<ZelUt::AccountRightsApi> inFront{*this};

    long addAccountRight(void*, PSID, const std::wstring& right) override
    {
        added.push_back(right);
        auto found = status.find(right);
        return found == status.end() ? 0 : found->second;
    }
};

struct FakeLocalGroups : ZelUt::LocalGroupApi {
    unsigned long groupsStatus = 0;
    std::vector<std::wstring> groups;
    unsigned long memberStatus = 0;
    std::vector<std::wstring> calls;  // "add group account" / "remove group account"
    InFront<ZelUt::LocalGroupApi> inFront{*this};

    unsigned long userLocalGroups(const std::wstring&, const std::wstring&, std::vector<std::wstring>& out) override
    {
        out = groups;
        return groupsStatus;
    }
    unsigned long addLocalGroupMember(const std::wstring&, const std::wstring& group, const std::wstring& account) override
    {
        calls.push_back(L"add " + group + L" " + account);
        return memberStatus;
    }
    unsigned long removeLocalGroupMember(const std::wstring&, const std::wstring& group,
                                         const std::wstring& account) override
    {
        calls.push_back(L"remove " + group + L" " + account);
        return memberStatus;
    }
};

// This computer's shares and the redirector, and directories no file can be made in.
struct FakeShares : ZelUt::ShareApi, ZelUt::TempFileApi {
    // The redirector: a name answered in two calls (size, then data), or a failure.
    std::wstring universal;
    unsigned long universalStatus = ERROR_NOT_CONNECTED;
    // Shares, handed out pageSize per call; after them enumeration ends with finalStatus.
    std::vector<Share> shares;
    size_t pageSize = 100;
    unsigned long finalStatus = 0;
    int enumCalls = 0;
    int emptyPagesFirst = 0;
    std::map<std::wstring, std::wstring> shareDirs;  // share name -> directory; others answer 2310
    std::set<std::wstring> unwritable;
    bool probesHeld = false;  // each probe file made is kept open, so it cannot be deleted
    std::vector<WinAPI::FileHandle> heldProbes;
    InFront<ZelUt::ShareApi> sharesInFront{*this};
    InFront<ZelUt::TempFileApi> tempInFront{*this};

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
        if (emptyPagesFirst > 0) {  // "more", with nothing given and the resume point unmoved
            --emptyPagesFirst;
            page.clear();
            return ERROR_MORE_DATA;
        }
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
    bool createTempFile(const std::wstring& directory, const std::wstring& prefix, std::wstring& file) override
    {
        if (unwritable.count(directory)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
        if (!TempFileApi::createTempFile(directory, prefix, file))
            return false;
        if (probesHeld)
            heldProbes.push_back(WinAPI::openFileReadOnly(WinPath(file)));  // shares reading only
        return true;
    }
};

// Another computer: its service manager's answers, its shares and its
// registry (a key standing in for its HKEY_LOCAL_MACHINE; none: the system's).
struct FakeRemoteMachine : ZelUt::RemoteMachineApi {
    std::vector<DWORD> managerErrors;  // errors of the next service-manager connections; then the real one
    int managerAttempts = 0;
    std::map<std::wstring, ShareAddition> shares;  // name -> what was added (security dropped)
    std::map<std::wstring, std::wstring> sddl;     // name -> its descriptor as SDDL ("" for none)
    std::vector<unsigned long> addAnswers;         // answers of the next additions before the table's own
    unsigned long deleteStatus = 0;
    std::vector<std::wstring> calls;  // "add|del \\server name"
    int infoMisses = 0;  // lookups that miss the table (a share made meanwhile)
    HKEY registry = nullptr;
    int registryFailures = 0;  // connections that fail (53) before one succeeds
    int registryConnections = 0;
    std::function<void()> onRegistryConnect;  // run as each connection is made
    InFront<ZelUt::RemoteMachineApi> inFront{*this};

    SC_HANDLE openServiceManager(const std::wstring& computer, const wchar_t* database, unsigned long access) override
    {
        ++managerAttempts;
        if (managerErrors.empty())
            return RemoteMachineApi::openServiceManager(computer, database, access);
        SetLastError(managerErrors.front());
        managerErrors.erase(managerErrors.begin());
        return nullptr;
    }
    // A share somebody else made.
    void plant(const std::wstring& name, const std::wstring& path, const std::wstring& remark)
    {
        shares[name].name = name;
        shares[name].path = path;
        shares[name].remark = remark;
    }
    unsigned long shareAdd(const std::wstring& server, const ShareAddition& share) override
    {
        calls.push_back(L"add " + server + L" " + share.name);
        if (!addAnswers.empty()) {
            unsigned long answer = addAnswers.front();
            addAnswers.erase(addAnswers.begin());
            if (answer)
                return answer;
        }
        if (shares.count(share.name))
            return 2118;  // NERR_DuplicateShare
        shares[share.name] = share;
        shares[share.name].security = nullptr;
        wchar_t* text = nullptr;
        sddl[share.name] = share.security && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                                 share.security, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text,
                                                 nullptr)
                               ? text
                               : L"";
        LocalFree(text);
        return 0;
    }
    unsigned long shareDelete(const std::wstring& server, const std::wstring& share) override
    {
        calls.push_back(L"del " + server + L" " + share);
        if (deleteStatus)
            return deleteStatus;
        return shares.erase(share) ? 0 : 2310;
    }
    unsigned long shareInfo(const std::wstring&, const std::wstring& share, ShareDetails& details) override
    {
        auto found = shares.find(share);
        if (found == shares.end() || infoMisses-- > 0)
            return 2310;
        details = {found->second.path, found->second.remark};
        return 0;
    }
    WinAPI::RegKey connectRegistry(const std::wstring& machine) override
    {
        ++registryConnections;
        if (onRegistryConnect)
            onRegistryConnect();
        if (!registry)
            return RemoteMachineApi::connectRegistry(machine);
        if (registryFailures > 0) {
            --registryFailures;
            throw CZelException(ERROR_BAD_NETPATH, L"regConnectRegistry() failed in ::RegConnectRegistry");
        }
        HKEY copy = nullptr;
        RegOpenKeyExW(registry, nullptr, 0, KEY_ALL_ACCESS, &copy);
        return WinAPI::RegKey(copy);
    }
};

} // namespace qkztest
