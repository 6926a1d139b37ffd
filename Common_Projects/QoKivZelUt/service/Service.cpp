#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/Service.h>
#include <QoKivZelUt/Token.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"
#include "network/RemoteMachineApi.h"

#include <chrono>
#include <thread>

namespace ZelUt {

namespace {

const int kConnectAttempts = 3;
const DWORD kRpcRetryDelayMs = 333;
const int kCreateAttempts = 301;
const DWORD kCreateRetryDelayMs = 100;
const int kGoneChecks = 300;
const DWORD kGoneCheckDelayMs = 100;
const DWORD kStopPollMs = 10;
const DWORD kStartPollMs = 100;
const DWORD kReconfigureStopWaitMs = 30000;

const wchar_t* const kStatusTexts[] = {
    L"CNtService::Status::Unknown",         L"CNtService::Status::Stopped",
    L"CNtService::Status::StartPending",    L"CNtService::Status::StopPending",
    L"CNtService::Status::Running",         L"CNtService::Status::ContinuePending",
    L"CNtService::Status::PausePending",    L"CNtService::Status::Paused",
};

const wchar_t* statusText(CNtService::Status status)
{
    unsigned long value = static_cast<unsigned long>(status);
    return value < sizeof kStatusTexts / sizeof kStatusTexts[0] ? kStatusTexts[value] : kStatusTexts[0];
}

// "a/b" as the multi-string "a\0b\0\0".
std::wstring multiString(const std::wstring& list)
{
    std::wstring packed;
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(L'/', start);
        if (end == std::wstring::npos)
            end = list.size();
        if (end > start)
            packed += list.substr(start, end - start) + L'\0';
        start = end + 1;
    }
    return packed + L'\0';
}

const wchar_t* orNull(const std::wstring& text)
{
    return text.empty() ? nullptr : text.c_str();
}

// The service manager reads an unquoted command line's program up to the
// first blank that ends a file which exists: "C:\Program Files\App\svc.exe"
// runs C:\Program.exe when somebody has put one there. Such a program, taken
// up to its ".exe", is quoted; a line without ".exe", or one that begins with
// a quote or a blank, is left as given.
std::wstring withProgramQuoted(const std::wstring& commandLine)
{
    if (commandLine.empty() || commandLine.find_first_of(L"\" \t") == 0)
        return commandLine;
    auto endsProgram = [&](size_t dot) {
        const size_t after = dot + 4;
        return after <= commandLine.size() && _wcsnicmp(commandLine.c_str() + dot, L".exe", 4) == 0 &&
               (after == commandLine.size() || commandLine[after] == L' ' || commandLine[after] == L'\t');
    };
    size_t dot = commandLine.find(L'.');
    while (dot != std::wstring::npos && !endsProgram(dot))
        dot = commandLine.find(L'.', dot + 1);
    if (dot == std::wstring::npos)
        return commandLine;
    const std::wstring program = commandLine.substr(0, dot + 4);
    if (program.find_first_of(L" \t") == std::wstring::npos)
        return commandLine;
    std::wstring quoted = quoteArgument(program) + commandLine.substr(dot + 4);
    ZEL_LOG_WARNING << L"The program of the service command line <" << commandLine
                    << L"> has blanks and no quotes; it is quoted: <" << quoted << L">";
    return quoted;
}

// Sleeps in slices until the condition holds or the time is up (INFINITE: no limit).
template <class Condition>
bool pollUntil(Condition condition, unsigned long timeoutMs, DWORD sliceMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (condition())
            return true;
        if (timeoutMs != INFINITE && std::chrono::steady_clock::now() >= deadline)
            return false;
        ::Sleep(sliceMs);
    }
}

} // namespace

std::wostream& operator<<(std::wostream& out, CNtService::Status status)
{
    return out << statusText(status);
}

std::ostream& operator<<(std::ostream& out, CNtService::Status status)
{
    std::wstring text = statusText(status);
    return out << std::string(text.begin(), text.end());
}

// ---------------------------------------------------------------- manager

CServiceControlManager::CServiceControlManager(const std::wstring& targetComputer, unsigned long desiredAccess)
    : m_targetComputer(targetComputer)
{
    const std::wstring display = targetComputer.empty() ? L"localhost" : targetComputer;
    ZEL_LOG_INFO << L"Dbg: Connecting to Service Control Manager on host " << display;
    for (int attempt = 1; attempt <= kConnectAttempts; ++attempt) {
        SC_HANDLE manager = remoteMachineApi().openServiceManager(targetComputer, SERVICES_ACTIVE_DATABASEW, desiredAccess);
        m_lastError = ::GetLastError();
        if (manager) {
            m_manager = manager;
            ZEL_LOG_DEBUG << L"Dbg: Connecting to Service Control Manager on host " << display << L" successful.";
            return;
        }
        ZEL_LOG_ERROR << L"Attempt to connect to SCM of " << display << L" failed (Error# " << ErrorW32(m_lastError)
                     << L") " << L" on attempt " << attempt << L" of " << kConnectAttempts;
        if (m_lastError == RPC_S_CALL_FAILED && attempt < kConnectAttempts) {
            std::this_thread::yield();
            ::Sleep(kRpcRetryDelayMs);
        }
    }
    throw CZelException(m_lastError, L"Attempt to connect to SCM of " + display + L" failed.");
}

bool CServiceControlManager::serviceExists(const std::wstring& name) const
{
    ServiceHandle service(::OpenServiceW(m_manager, name.c_str(), GENERIC_READ));
    return service.valid();
}

CNtService CServiceControlManager::openService(const std::wstring& name, unsigned long desiredAccess) const
{
    ServiceHandle service(::OpenServiceW(m_manager, name.c_str(), desiredAccess));
    if (!service) {
        m_lastError = ::GetLastError();
        ZEL_LOG_ERROR << L"Failed in call to OpenService for service " << name << L": " << ErrorW32(m_lastError);
    }
    return CNtService(service, name, m_targetComputer);
}

CNtService CServiceControlManager::createService(const std::wstring& name, const std::wstring& displayName,
                                                 unsigned long serviceType, unsigned long startType,
                                                 unsigned long errorControl, const std::wstring& binaryPath,
                                                 const std::wstring& dependencies, const std::wstring& account,
                                                 const std::wstring& password) const
{
    if (!account.empty() && !password.empty()) {
        static const std::pair<const wchar_t*, const wchar_t*> rights[] = {
            {L"SeServiceLogonRight", L" to logon as service"},
            {L"SeInteractiveLogonRight", L" to logon interactively"},
            {L"SeTcbPrivilege", L" to act as part of system"},
            {L"SeAssignPrimaryTokenPrivilege", L" to replace process-level token"},
        };
        for (const auto& right : rights) {
            bool granted = ZelAddAccountPrivilege(m_targetComputer, account, right.first);
            ZEL_LOG_INFO << (granted ? L"Security: allowed " : L"Security: failed to allow ") << account << right.second;
        }
    }
    CNtService existing = openService(name, SERVICE_ALL_ACCESS);
    if (existing) {
        existing.stop();
        existing.waitForStop(kReconfigureStopWaitMs);
        ZEL_LOG_INFO << L"The service is already installed and will be reconfigured";
        try {
            existing.changeConfig(binaryPath, serviceType, startType, errorControl, dependencies, account, password,
                                  displayName);
            return existing;
        } catch (const CZelException& e) {
            // An instance marked for deletion still opens but takes no new
            // configuration: it is waited out below like any other.
            if (e.getErrorCode() != ERROR_SERVICE_MARKED_FOR_DELETE)
                throw;
        }
        existing.close();
    }
    const std::wstring packed = multiString(dependencies);
    const std::wstring commandLine = withProgramQuoted(binaryPath);
    for (int attempt = 1;; ++attempt) {
        SC_HANDLE created = ::CreateServiceW(m_manager, name.c_str(), orNull(displayName), SERVICE_ALL_ACCESS,
                                             serviceType, startType, errorControl, commandLine.c_str(), nullptr,
                                             nullptr, packed.c_str(), orNull(account), orNull(password));
        if (created) {
            ZEL_LOG_INFO << L"Created Service successfully with commandline <" << commandLine << L">";
            return CNtService(ServiceHandle(created), name, m_targetComputer);
        }
        m_lastError = ::GetLastError();
        if (m_lastError != ERROR_SERVICE_MARKED_FOR_DELETE || attempt >= kCreateAttempts) {
            ZEL_LOG_ERROR << L"Failed in call to CreateService for service " << name << L": " << ErrorW32(m_lastError);
            throw CZelException(m_lastError, L"CreateService(" + name + L") failed.");
        }
        ZEL_LOG_INFO << attempt << L". attempt to CreateService for service " << name << L" failed: "
                     << ErrorW32(m_lastError);
        ::Sleep(kCreateRetryDelayMs);
    }
}

bool CServiceControlManager::deleteServiceAndWait(const std::wstring& name) const
{
    openService(name, SERVICE_ALL_ACCESS).deleteService();
    for (int check = 0; check < kGoneChecks; ++check) {
        CServiceControlManager fresh(m_targetComputer, SC_MANAGER_ALL_ACCESS);
        if (!fresh.serviceExists(name))
            return true;
        ZEL_LOG_INFO << L"Deleted Service was reopened - going to wait until it is gone";
        ::Sleep(kGoneCheckDelayMs);
    }
    ZEL_LOG_ERROR << L"Deleted service is not gone.";
    return false;
}

// ---------------------------------------------------------------- service

CNtService::CNtService(const ServiceHandle& handle, const std::wstring& name, const std::wstring& targetComputer)
    : m_handle(handle), m_name(name), m_targetComputer(targetComputer)
{
}

// The failure of a call on the service: its error (no handle: ERROR_INVALID_HANDLE,
// without calling the system, which some implementations do not survive) stored and logged.
bool CNtService::failed(const wchar_t* what)
{
    m_lastError = m_handle ? ::GetLastError() : ERROR_INVALID_HANDLE;
    ZEL_LOG_ERROR << what << ErrorW32(m_lastError);
    ::SetLastError(m_lastError);
    return false;
}

CNtService::Status CNtService::getStatus()
{
    Status current = Status::Unknown;
    return m_handle && queryStatus(current) ? current : Status::Unknown;
}

// A status is logged when it differs from the one logged before, so that a
// wait polling every few milliseconds writes one entry per change.
bool CNtService::queryStatus(Status& current)
{
    SERVICE_STATUS status = {};
    if (!m_handle || !::QueryServiceStatus(m_handle, &status)) {
        m_loggedStatus = kNoStatusLogged;
        return failed(L"Could not determine service status: ");
    }
    current = static_cast<Status>(status.dwCurrentState);
    if (status.dwCurrentState != m_loggedStatus) {
        ZEL_LOG_INFO << L"Service status is " << current;
        m_loggedStatus = status.dwCurrentState;
    }
    return true;
}

bool CNtService::start(const std::vector<std::wstring>& arguments)
{
    std::vector<const wchar_t*> pointers;
    for (const std::wstring& argument : arguments)
        pointers.push_back(argument.c_str());
    if (!m_handle ||
        !::StartServiceW(m_handle, static_cast<DWORD>(pointers.size()), pointers.empty() ? nullptr : pointers.data()))
        return failed(L"Failed in call to StartService: ");
    ZEL_LOG_INFO << L"Successfully started service " << m_name;
    return true;
}

bool CNtService::start(const std::wstring& arguments)
{
    return start(WinAPI::commandLineToArgv(arguments));
}

bool CNtService::stop()
{
    if (getStatus() == Status::Stopped)
        return true;
    SERVICE_STATUS status = {};
    if (!m_handle || !::ControlService(m_handle, SERVICE_CONTROL_STOP, &status))
        return failed(L"Failed in call to ControlService in Stop: ");
    ZEL_LOG_INFO << L"Successfully stopped service \"" << m_name << L"\"";
    return true;
}

// A status that cannot be read (no handle, no query access) ends a wait at
// once: the failures are lasting, so the wait could only go on for ever.
bool CNtService::waitForStop(unsigned long timeoutMs)
{
    bool readable = true;
    Status status = Status::Unknown;
    bool ended = pollUntil([&] { return !(readable = queryStatus(status)) || status == Status::Stopped; }, timeoutMs,
                           kStopPollMs);
    if (!readable)
        return false;
    if (ended)
        return true;
    m_lastError = ERROR_TIMEOUT;
    ::SetLastError(ERROR_TIMEOUT);
    ZEL_LOG_ERROR << L"Service status is NOT stopped (timeout)";
    return false;
}

bool CNtService::waitForStart(unsigned long timeoutMs)
{
    bool readable = true;
    Status status = Status::Unknown;
    pollUntil([&] { return !(readable = queryStatus(status)) || status != Status::StartPending; }, timeoutMs,
              kStartPollMs);
    if (readable && status == Status::Running) {
        ZEL_LOG_INFO << L"Successfully waited for service to start up";
        return true;
    }
    ZEL_LOG_ERROR << (readable && status == Status::StartPending ? L"Wait for service start up timed out"
                                                                 : L"Service start failed");
    return false;
}

// The service's own process, known by its id. When the manager cannot say
// which it is, nothing is ended: another program of the service's image name
// (another service sharing it, say) may be running.
bool CNtService::terminate()
{
    if (getStatus() == Status::Stopped)
        return true;
    if (!m_targetComputer.empty()) {
        ZEL_LOG_ERROR << L"service action can not terminate remtote Processes";
        return false;
    }
    WinPath executable = getExecutable();
    ZEL_LOG_INFO << L"Try to terminate executable " << executable;
    SERVICE_STATUS_PROCESS info = {};
    if (!queryProcess(info))
        return false;
    if (info.dwCurrentState == SERVICE_STOPPED)
        return true;
    Process process(executable, WinPath());
    if (info.dwProcessId != 0)
        process.attach(info.dwProcessId, PROCESS_ALL_ACCESS);
    if (!process) {
        ZEL_LOG_ERROR << L"Process to be killed was not found";
        return false;
    }
    // The id was read before the open: a service process that ended in between
    // left its id to be given to any other. The handle held keeps the id, so
    // the service naming it still is the proof that it is the service's.
    SERVICE_STATUS_PROCESS now = {};
    if (!queryProcess(now))
        return false;
    if (now.dwCurrentState == SERVICE_STOPPED)
        return true;
    if (now.dwProcessId != info.dwProcessId) {
        m_lastError = ERROR_SERVICE_ALREADY_RUNNING;
        ZEL_LOG_ERROR << L"Service '" << m_name << L"' runs in another process (PID " << now.dwProcessId
                      << L") than the one opened; no process is terminated";
        return false;
    }
    ZEL_LOG_ERROR << L"Service '" << m_name << L"' seems to be running in spite of a STOP command.";
    try {
        process.terminate(0, false);
        if (process.getExitCode() == STILL_ACTIVE) {
            m_lastError = ERROR_ACCESS_DENIED;
            ZEL_LOG_ERROR << L"Process '" << executable << L"' could not be terminated.";
            return false;
        }
    } catch (const CZelException& e) {
        m_lastError = e.getErrorCode();
        ZEL_LOG_ERROR << e;
        return false;
    }
    ZEL_LOG_INFO << L"Process '" << executable << L"' terminated successfully.";
    return true;
}

bool CNtService::queryProcess(SERVICE_STATUS_PROCESS& info)
{
    DWORD needed = 0;
    if (m_handle && ::QueryServiceStatusEx(m_handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&info),
                                           sizeof info, &needed))
        return true;
    m_lastError = m_handle ? ::GetLastError() : ERROR_INVALID_HANDLE;
    ZEL_LOG_ERROR << L"The service's process id cannot be read: " << ErrorW32(m_lastError)
                  << L"; no process is terminated";
    return false;
}

std::wstring CNtService::getCommandline()
{
    DWORD needed = 0;
    if (m_handle)
        ::QueryServiceConfigW(m_handle, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 ||
        !::QueryServiceConfigW(m_handle, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()), needed, &needed)) {
        failed(L"Failed in call to QueryServiceConfig: ");
        return std::wstring();
    }
    const wchar_t* path = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data())->lpBinaryPathName;
    return path ? path : L"";
}

WinPath CNtService::getExecutable()
{
    std::vector<std::wstring> parts = WinAPI::commandLineToArgv(getCommandline());
    return parts.empty() ? WinPath() : WinPath(parts.front());
}

void CNtService::changeConfig(const std::wstring& binaryPath, unsigned long serviceType, unsigned long startType,
                              unsigned long errorControl, const std::wstring& dependencies,
                              const std::wstring& account, const std::wstring& password,
                              const std::wstring& displayName)
{
    if (!m_handle)
        throw CZelException(ERROR_INVALID_HANDLE, L"Service not open.");
    std::wstring packed = dependencies.empty() ? std::wstring() : multiString(dependencies);
    const std::wstring commandLine = withProgramQuoted(binaryPath);
    if (!::ChangeServiceConfigW(m_handle, serviceType, startType, errorControl, orNull(commandLine), nullptr, nullptr,
                                packed.empty() ? nullptr : packed.c_str(), orNull(account), orNull(password),
                                orNull(displayName))) {
        failed(L"Failed in call to ChangeServiceConfig: ");
        throw CZelException(m_lastError, L"ChangeServiceConfig failed.");
    }
    ZEL_LOG_INFO << L"Successfully changed configuration of service " << m_name;
}

void CNtService::setDescription(const std::wstring& text)
{
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(text.c_str())};
    if (!m_handle || !::ChangeServiceConfig2W(m_handle, SERVICE_CONFIG_DESCRIPTION, &description))
        failed(L"Failed to set service description: ");
}

bool CNtService::deleteService()
{
    if (!m_handle) {
        ZEL_LOG_ERROR << L"An attempt to delete a service with an invalid handle was ignored";
        return true;
    }
    if (::DeleteService(m_handle)) {
        ZEL_LOG_INFO << L"Successfully deleted service " << m_name << L".";
        return true;
    }
    m_lastError = ::GetLastError();
    if (m_lastError == ERROR_SERVICE_MARKED_FOR_DELETE) {
        ZEL_LOG_ERROR << L"Deleted service already marked for deletion";
        return true;
    }
    ZEL_LOG_ERROR << L"Failed in call to DeleteService: " << ErrorW32(m_lastError);
    return false;
}

} // namespace ZelUt
