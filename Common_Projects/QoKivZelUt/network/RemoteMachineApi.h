// Another computer: its service manager, its shares and its registry. Wine
// reaches no other computer (and gives the local service manager for any
// name), so tests stand in for that computer here.
#pragma once

#include <QoKivZelUt/Export.h>
#include <QoKivZelUt/WinAPI.h>

#include <windows.h>

#include <string>

namespace ZelUt {

class QOKIVZELUT_API RemoteMachineApi {
public:
    virtual ~RemoteMachineApi() = default;

    // OpenSCManagerW; null with the last error set on failure.
    virtual SC_HANDLE openServiceManager(const std::wstring& computer, const wchar_t* database, unsigned long access);

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
    // What an existing share shares, and the remark it was made with.
    struct ShareDetails {
        std::wstring path;
        std::wstring remark;
    };
    // NetShareGetInfo (level 2); 0 when the share exists; a NET_API_STATUS.
    virtual unsigned long shareInfo(const std::wstring& server, const std::wstring& share, ShareDetails& details);
    // RegConnectRegistryW of the machine's HKEY_LOCAL_MACHINE; throws as WinAPI::regConnectRegistry.
    virtual WinAPI::RegKey connectRegistry(const std::wstring& machine);
};

QOKIVZELUT_API RemoteMachineApi* replaceApi(RemoteMachineApi* api);

RemoteMachineApi& remoteMachineApi();

} // namespace ZelUt
