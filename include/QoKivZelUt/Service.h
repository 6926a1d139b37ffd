// The Service Control Manager of this or another computer, and one service.
#pragma once

#include "Export.h"
#include "WinAPI.h"
#include "WinPath.h"

#include <ostream>
#include <string>
#include <vector>

namespace ZelUt {

struct CloseServiceHandleClass {
    static void close(SC_HANDLE handle) { ::CloseServiceHandle(handle); }
};
using ServiceHandle = WinAPI::AutoHandle<CloseServiceHandleClass, SC_HANDLE>;

class QOKIVZELUT_API CNtService {
public:
    enum class Status : unsigned long {
        Unknown = 0,
        Stopped = 1,
        StartPending = 2,
        StopPending = 3,
        Running = 4,
        ContinuePending = 5,
        PausePending = 6,
        Paused = 7,
    };

    CNtService() = default;
    CNtService(const ServiceHandle& handle, const std::wstring& name, const std::wstring& targetComputer);

    const ServiceHandle& getHandle() const { return m_handle; }
    explicit operator bool() const { return m_handle.valid(); }
    unsigned long getLastError() const { return m_lastError; }
    void close() { m_handle = ServiceHandle(); }

    Status getStatus();
    bool start(const std::vector<std::wstring>& arguments);
    // The arguments split as the system splits command lines.
    bool start(const std::wstring& arguments);
    bool stop();
    // Kills the service's own process when it ignores STOP (this computer
    // only); false when the process is not found or not ended.
    bool terminate();
    // Both waits end with false at once when the status cannot be read.
    bool waitForStop(unsigned long timeoutMs);
    bool waitForStart(unsigned long timeoutMs);
    std::wstring getCommandline();
    WinPath getExecutable();
    void changeConfig(const std::wstring& binaryPath, unsigned long serviceType, unsigned long startType,
                      unsigned long errorControl, const std::wstring& dependencies, const std::wstring& account,
                      const std::wstring& password, const std::wstring& displayName);
    void setDescription(const std::wstring& text);
    bool deleteService();

private:
    static const unsigned long kNoStatusLogged = ~0ul;

    // False (logged, error stored) when the status cannot be read.
    bool queryStatus(Status& current);
    // The status with the service's process id; false (logged, error stored) when it cannot be read.
    bool queryProcess(SERVICE_STATUS_PROCESS& info);
    bool failed(const wchar_t* what);

    ServiceHandle m_handle;
    std::wstring m_name;
    std::wstring m_targetComputer;
    unsigned long m_lastError = 0;
    unsigned long m_loggedStatus = kNoStatusLogged;
};

QOKIVZELUT_API std::wostream& operator<<(std::wostream& out, CNtService::Status status);
QOKIVZELUT_API std::ostream& operator<<(std::ostream& out, CNtService::Status status);

class QOKIVZELUT_API CServiceControlManager {
public:
    // Connects, three attempts; throws when all fail.
    CServiceControlManager(const std::wstring& targetComputer, unsigned long desiredAccess);

    std::wstring getTargetComputer() const { return m_targetComputer; }
    unsigned long getLastError() const { return m_lastError; }

    bool serviceExists(const std::wstring& name) const;
    // A service without handle when it cannot be opened.
    CNtService openService(const std::wstring& name, unsigned long desiredAccess) const;
    // Creates the service, or reconfigures an existing one; dependencies are
    // separated by '/' (each one a service or group name).
    CNtService createService(const std::wstring& name, const std::wstring& displayName, unsigned long serviceType,
                             unsigned long startType, unsigned long errorControl, const std::wstring& binaryPath,
                             const std::wstring& dependencies, const std::wstring& account,
                             const std::wstring& password) const;
    // Deletes the service and waits, with fresh connections, until it is gone.
    bool deleteServiceAndWait(const std::wstring& name) const;

private:
    ServiceHandle m_manager;
    std::wstring m_targetComputer;
    mutable unsigned long m_lastError = 0;
};

} // namespace ZelUt
