// Which running program maps a file, and the 64-bit companion that answers
// this for 64-bit processes when the caller runs under WOW64.
#pragma once

#include "Export.h"
#include "Process.h"
#include "WinPath.h"

#include <string>
#include <unordered_map>

class CKIVSetupXmlCommunicator;

class QOKIVZELUT_API ZelLockedModuleInfo {
public:
    struct ModuleInfo {
        std::wstring m_app;    // the program mapping the file; empty when none does
        std::wstring m_title;  // its visible window's title
        bool m_visible = false;
        HWND m_hWnd = nullptr;
    };

    // Runs the query at once.
    ZelLockedModuleInfo(const WinPath& module, bool skipOwnProcess);
    // Also leaves out the process with the given id: the 32-bit caller that the
    // companion program answers for.
    ZelLockedModuleInfo(const WinPath& module, bool skipOwnProcess, unsigned long skipProcessId);

    bool isLocked() const { return !m_info.m_app.empty(); }
    const ModuleInfo& getInfo() const { return m_info; }
    // S_OK when a process with the image file name of executable runs, else S_FALSE.
    static long IsExeRunning(const WinPath& executable);

    struct PROCESSWINDOWNAME {
        unsigned long processId = 0;
        std::wstring title;
        bool visible = false;
        HWND hWnd = nullptr;
    };

private:
    void initLocal(const WinPath& module, bool skipOwnProcess, unsigned long skipProcessId = 0);
    void initRemote(const WinPath& module, bool skipOwnProcess);
    bool enumerateDeviceMappings();
    void replaceDeviceName(std::wstring& path) const;
    std::wstring getProcessMappedFileName(void* process, void* address) const;
    static void GetProcessWindowName(unsigned long processId, PROCESSWINDOWNAME& window);
    static BOOL CALLBACK GetProcessWindowNameEnumProc(HWND window, LPARAM context);

    ModuleInfo m_info;
    std::unordered_map<std::wstring, std::wstring> m_devices;
};

// One exchange with "QoSnapshot64.exe" beside the running executable.
class QOKIVZELUT_API RunSnapshot64 {
public:
    RunSnapshot64();
    ~RunSnapshot64();
    RunSnapshot64(const RunSnapshot64&) = delete;
    RunSnapshot64& operator=(const RunSnapshot64&) = delete;

    ZelLockedModuleInfo::ModuleInfo getLockedModuleInfo(const WinPath& module);
    // The same, leaving out the process with the given id (the caller's own).
    ZelLockedModuleInfo::ModuleInfo getLockedModuleInfo(const WinPath& module, unsigned long skipProcessId);
    // The companion exits with the value and reports it back.
    unsigned long testReturnValue(unsigned long value);
    // The companion raises the exception and reports it back; this throws it.
    void testExceptionPropagation(const CZelException& e);

private:
    void startQoSnapshot64(const std::wstring& arguments);
    void waitForProcess();
    ZelLockedModuleInfo::ModuleInfo readFileInUseStatus();
    unsigned long readProcessResult();
    static void readExceptionInfo(const CKIVSetupXmlCommunicator& message);
    void writeExceptionArgs(const CZelException& e);

    ZelUt::AutoTerminateProcess m_process;
    unsigned long m_exitCode = 259;
};

namespace ZelUt {
// Reads a number of a message value: decimal, or hexadecimal when it is not decimal.
QOKIVZELUT_API unsigned long long parseMessageNumber(const std::wstring& text);
} // namespace ZelUt
