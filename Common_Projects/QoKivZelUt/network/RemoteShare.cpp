#include <QoKivZelUt/RemoteShare.h>
#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/Service.h>
#include <QoKivZelUt/WinAPI.h>

#include "foundation/Log.h"
#include "network/RemoteMachineApi.h"

#include <memory>

using ZelUt::RemoteMachineApi;
using ZelUt::remoteMachineApi;

namespace {

const size_t kMaxShareName = 260;
const size_t kMaxTarget = 263;
const unsigned long kShareExists = 2118;    // NERR_DuplicateShare
const unsigned long kRemoteCallFailed = 1726;  // RPC_S_CALL_FAILED
const DWORD kReadExecuteSynchronize = 0x1200A9;
const wchar_t kRemoteRegistry[] = L"RemoteRegistry";
const wchar_t kRemark[] = L"Kiv Zel";
const DWORD kRegistryStartWaitMs = 10000;
const DWORD kRegistryStopWaitMs = 30000;

std::wstring tickCountSuffix()
{
    return L"_" + std::to_wstring(GetTickCount64());
}

std::wstring readString(HKEY machine, const wchar_t* subkey, const wchar_t* value)
{
    WinAPI::RegKey key = WinAPI::regOpenKeyEx(machine, subkey, KEY_QUERY_VALUE);
    return WinAPI::regQueryValueEx(key, value).toString();
}

// A self-relative descriptor whose DACL allows everyone to read and execute.
CZelSecurityDescriptor readExecuteForEveryone()
{
    CZelAcl dacl;
    dacl.AddAce(CZelAce(ACCESS_ALLOWED_ACE_TYPE, 0, kReadExecuteSynchronize, CZelSid(CZelSid::World)));
    CZelSecurityDescriptor sd;
    sd.setDacl(dacl);
    return sd;
}

// Paths of another computer compare as text: their files are not ours to look at.
bool samePathText(const WinPath& a, const WinPath& b)
{
    return !(a < b) && !(b < a);
}

bool shareDetails(const std::wstring& target, const std::wstring& name, RemoteMachineApi::ShareDetails& details)
{
    return !name.empty() && remoteMachineApi().shareInfo(target, name, details) == 0;
}

// A share the library made for this directory: the directory and the library's remark.
bool isOwnShare(const RemoteMachineApi::ShareDetails& details, const std::wstring& localPath)
{
    return samePathText(details.path, localPath) && details.remark == kRemark;
}

} // namespace

const wchar_t* const CZelRemoteShare::m_szShareNames[5] = {L"KIV_AS$", L"KIV_SR$", L"KIV_SD$", L"KIV_PF$", L"KIV_CF$"};

CZelRemoteShare::CZelRemoteShare(const std::wstring& computer, enumDirToShare dir, bool keepShare)
    : m_keepShare(keepShare)
{
    SetShareValue(dir);
    SetTargetComputer(computer);
}

CZelRemoteShare::CZelRemoteShare(const std::wstring& computer, const std::wstring& localPath, bool keepShare,
                                 enumShareAccessRights rights)
    : m_accessRights(rights), m_keepShare(keepShare)
{
    bool targetSet = SetTargetComputer(computer);
    if (targetSet && !localPath.empty())
        m_localPath = localPath;
    m_dirToShare = eDirCustom;
    m_configured = targetSet && !computer.empty() && !localPath.empty();
    ZEL_LOG_TRACE << L"Share will be opened as " << m_shareName;
}

CZelRemoteShare::~CZelRemoteShare()
{
    if (!m_keepShare)
        CloseShare();
}

bool CZelRemoteShare::directoryChosen() const
{
    return m_dirToShare != eDirUnset && (m_dirToShare != eDirCustom || !m_localPath.empty());
}

void CZelRemoteShare::SetShareValue(enumDirToShare dir)
{
    m_dirToShare = dir;
    if (dir >= eDirSystemRoot && dir <= eDirCommonFiles)
        m_shareName = m_szShareNames[dir];
    if (!m_targetComputer.empty() && directoryChosen())
        m_configured = true;
    ZEL_LOG_TRACE << L"Share will be opened as " << m_shareName;
}

bool CZelRemoteShare::SetTargetComputer(const std::wstring& name)
{
    std::wstring target;
    if (!name.empty()) {
        m_openedLocally = false;
        target = name;
        if (target[0] != L'\\')
            target.insert(0, L"\\");
        if (target[1] != L'\\')
            target.insert(0, L"\\");
        ZEL_LOG_TRACE << L"Share will be opened at " << target;
    } else {
        m_openedLocally = true;
        target = L"\\\\" + WinAPI::getComputerName();
        ZEL_LOG_INFO << L"Share will be opened locally";
    }
    if (target.size() >= kMaxTarget) {
        ZEL_LOG_ERROR << L"CZelRemoteShare::SetTargetComputer: No valid computername given";
        return false;
    }
    m_targetComputer = target;
    if (directoryChosen()) {
        m_configured = true;
        ZEL_LOG_TRACE << L"Share is now configured to be opened";
    }
    return true;
}

void CZelRemoteShare::SetShareName(const std::wstring& name)
{
    if (name.size() < kMaxShareName)
        m_shareName = name;
}

bool CZelRemoteShare::isOpen() const
{
    RemoteMachineApi::ShareDetails details;
    return m_configured && shareDetails(m_targetComputer, m_shareName, details);
}

// The directory by its kind, from the target's registry. A missing
// "SystemRoot" throws; the other failures are logged and give false.
bool CZelRemoteShare::readLocalPath(HKEY machine)
{
    const std::wstring systemRoot = readString(machine, L"Software\\Microsoft\\Windows NT\\CurrentVersion", L"SystemRoot");
    const wchar_t* versionKey = L"Software\\Microsoft\\Windows\\CurrentVersion";
    switch (m_dirToShare) {
    case eDirCustom:
        return true;
    case eDirSystemRoot:
        m_localPath = systemRoot;
        return true;
    case eDirSystem:
        m_localPath = (WinPath(systemRoot) / L"System32").str();
        return true;
    case eDirProgramFiles:
    case eDirCommonFiles: {
        const wchar_t* value = m_dirToShare == eDirProgramFiles ? L"ProgramFilesDir" : L"CommonFilesDir";
        try {
            m_localPath = readString(machine, versionKey, value);
            return true;
        } catch (const CZelException&) {
            ZEL_LOG_ERROR << L"OpenShare: Could not read " << value << L" from remote registry.";
            return false;
        }
    }
    default:
        ZEL_LOG_ERROR << L"OpenShare: wrong value for directory to share";
        return false;
    }
}

unsigned long CZelRemoteShare::addShare()
{
    CZelSecurityDescriptor security;
    if (m_accessRights == eRightsReadExecute)
        security = readExecuteForEveryone();
    RemoteMachineApi::ShareAddition share;
    share.name = m_shareName;
    share.type = 0;  // STYPE_DISKTREE
    share.remark = kRemark;
    share.permissions = 0;
    share.maxUses = static_cast<unsigned long>(-1);
    share.path = m_localPath;
    share.security = security.empty() ? nullptr : security.getSD();
    return remoteMachineApi().shareAdd(m_targetComputer, share);
}

// The share's directory as the target sees it: the caller's, or read from the
// target's registry while its registry service is made available.
bool CZelRemoteShare::readTargetDirectory()
{
    std::unique_ptr<CMakeRemoteRegistryAvailable> registryService;
    try {
        registryService.reset(new CMakeRemoteRegistryAvailable(m_targetComputer));
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"OpenShare: Could not make remote registry available: " << e.getFullText();
        return false;
    }
    WinAPI::RegKey machine;
    try {
        machine = remoteMachineApi().connectRegistry(m_targetComputer);
    } catch (const CZelException&) {
        try {
            machine = remoteMachineApi().connectRegistry(m_targetComputer);
        } catch (const CZelException& e) {
            ZEL_LOG_ERROR << L"OpenShare: Could not open remote registry: " << e.getFullText();
            return false;
        }
    }
    if (m_shareName.empty() && m_dirToShare >= eDirCustom && m_dirToShare <= eDirCommonFiles)
        m_shareName = m_szShareNames[m_dirToShare] + (m_dirToShare == eDirCustom ? tickCountSuffix() : L"");
    return readLocalPath(machine);
}

bool CZelRemoteShare::OpenShare()
{
    RemoteMachineApi::ShareDetails existing;
    if (m_configured && shareDetails(m_targetComputer, m_shareName, existing)) {
        ZEL_LOG_INFO << L"OpenShare: Share was already opened";
        if (m_dirToShare != eDirCustom && !readTargetDirectory())
            return false;
        if (!samePathText(existing.path, m_localPath)) {
            ZEL_LOG_ERROR << L"OpenShare: the share " << m_shareName << L" on " << m_targetComputer << L" shares '"
                          << existing.path << L"', not '" << m_localPath << L"'.";
            return false;
        }
        return true;
    }
    if (!m_configured) {
        ZEL_LOG_INFO << L"OpenShare: Class was not initialized";
        return false;
    }
    if (!readTargetDirectory())
        return false;

    ZEL_LOG_INFO << L"Try to create share " << m_shareName << L" on " << m_targetComputer;
    unsigned long status = addShare();
    if (status == kRemoteCallFailed) {
        SwitchToThread();
        status = addShare();
    }
    if (status == 0) {
        m_created = true;
        ZEL_LOG_INFO << L"successfully opened share";
        return true;
    }
    if (status == kShareExists) {
        ZEL_LOG_INFO << L"OpenShare: Share already exists; going to reopen: " << status;
        return reopenOwnShare();
    }
    ZEL_LOG_ERROR << L"OpenShare: Failed to open share. " << ErrorW32(status);
    return false;
}

// A share of the same name is replaced only when it is one of ours for the
// same directory (left behind by an earlier run, say); anybody else's stays.
bool CZelRemoteShare::reopenOwnShare()
{
    RemoteMachineApi::ShareDetails existing;
    unsigned long status = remoteMachineApi().shareInfo(m_targetComputer, m_shareName, existing);
    if (status != 0 || !isOwnShare(existing, m_localPath)) {
        ZEL_LOG_ERROR << L"Unable to reopen share. The share " << m_shareName << L" on " << m_targetComputer
                      << (status != 0 ? L" cannot be examined; it is left alone."
                                      : L" is not one this library made for '" + m_localPath + L"'; it is left alone.");
        return false;
    }
    status = remoteMachineApi().shareDelete(m_targetComputer, m_shareName);
    if (status != 0) {
        ZEL_LOG_ERROR << L"CloseShare: NetShareDel failed: " << ErrorW32(status);
        return false;
    }
    Sleep(1000);
    SwitchToThread();
    status = addShare();
    if (status == 0) {
        m_created = true;
        ZEL_LOG_INFO << L"Successfully reopened share";
        return true;
    }
    ZEL_LOG_ERROR << L"Unable to reopen share. " << ErrorW32(status);
    return false;
}

// Only a share this object created is removed: one it found already there
// belongs to somebody else (another run that keeps its share, say).
void CZelRemoteShare::CloseShare()
{
    if (!isOpen()) {
        ZEL_LOG_INFO << L"CloseShare: share is not open.";
        return;
    }
    if (!m_created) {
        ZEL_LOG_INFO << L"CloseShare: the share " << m_shareName << L" was not created here; it is left in place.";
        return;
    }
    unsigned long status = remoteMachineApi().shareDelete(m_targetComputer, m_shareName);
    if (status != 0) {
        ZEL_LOG_ERROR << L"CloseShare: NetShareDel failed: " << ErrorW32(status);
        return;
    }
    m_created = false;
}

WinPath CZelRemoteShare::GetUNCPath() const
{
    if (!m_configured) {
        ZEL_LOG_ERROR << L"GetUNCName: Class was not initialized";
        throw CZelException(0, L"Class not initialized");
    }
    return WinPath(m_targetComputer + L"\\" + m_shareName);
}

WinPath CZelRemoteShare::GetLocalPath() const
{
    if (!m_configured) {
        ZEL_LOG_ERROR << L"GetLocalPath: Class was not initialized";
        throw CZelException(0, L"Class not initialized");
    }
    return WinPath(m_localPath);
}

CMakeRemoteRegistryAvailable::CMakeRemoteRegistryAvailable(const std::wstring& computer) : m_targetComputer(computer)
{
    ZEL_LOG_INFO << L"Checking remote registry access";
    ZelUt::CServiceControlManager manager(m_targetComputer, SC_MANAGER_ALL_ACCESS);
    ZelUt::CNtService service = manager.openService(kRemoteRegistry, SERVICE_ALL_ACCESS);
    switch (service.getStatus()) {
    case ZelUt::CNtService::Status::Stopped:
        ZEL_LOG_INFO << L"remote registry service is stopped... Starting service...";
        // Started is started: a service slower than the wait is still ours to stop.
        m_started = service.start(std::vector<std::wstring>());
        if (m_started)
            service.waitForStart(kRegistryStartWaitMs);
        break;
    case ZelUt::CNtService::Status::Running:
        ZEL_LOG_INFO << L"Found remote registry service in running state";
        break;
    default:
        ZEL_LOG_INFO << L"Remote Registry Service in inactive state, PXR might not work properly";
        break;
    }
}

CMakeRemoteRegistryAvailable::~CMakeRemoteRegistryAvailable()
{
    if (!m_started)
        return;
    try {
        ZelUt::CServiceControlManager manager(m_targetComputer, SC_MANAGER_ALL_ACCESS);
        // Waiting for the stop needs the status as well as the right to stop.
        ZelUt::CNtService service = manager.openService(kRemoteRegistry, GENERIC_EXECUTE | SERVICE_QUERY_STATUS);
        // A service still starting takes no STOP yet: let it finish first.
        if (service.getStatus() == ZelUt::CNtService::Status::StartPending)
            service.waitForStart(kRegistryStopWaitMs);
        if (service.stop())
            service.waitForStop(kRegistryStopWaitMs);
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Could not stop the remote registry service again: " << e.getFullText();
    }
}
