// Small queries about the running system: parent processes, the interactive
// user and shell, this process's window, terminal-services sessions.
#pragma once

#include "AtlBstr.h"
#include "Export.h"
#include "Security.h"
#include "WinAPI.h"
#include "WinPath.h"

#include <windows.h>

#include <tlhelp32.h>

#include <vector>

struct QOKIVZELUT_API ProcessInfo {
    PROCESSENTRY32W entry;
    unsigned long processId() const { return entry.th32ProcessID; }
    unsigned long parentProcessId() const { return entry.th32ParentProcessID; }
    WinPath imageName() const { return WinPath(entry.szExeFile); }
};

class QOKIVZELUT_API CZelSystem {
public:
    static long IsRunningAsService(bool& isService);
    static long GetParentProcessPath(WinPath& path);
    static long GetParentProcessPathOfPid(unsigned long pid, WinPath& path);
    static long GetParentProcessPathOfPid(unsigned long pid, WinPath& path, unsigned long& parentPid);
    // Whether the nearest ancestor that is not one of the maker's own programs is msiexec.exe.
    static long IsStartedFromMsiExec(bool& result);
    static void broadcastEnvironmentChange();
};

class QOKIVZELUT_API CZelTools {
public:
    virtual ~CZelTools() = default;

    // "0x" and two upper-case hexadecimal digits per byte; null for no data.
    static ATL::CComBSTR BlobToString(void* data, unsigned int size);
    // The bytes of a hexadecimal text; with a null or too small buffer only the count.
    static unsigned int StringToBlob(void* buffer, unsigned int bufferSize, wchar_t* text);
    // A top-level window of this process that is not a console, or null.
    static HWND GetMyHWND();
    // Waits for the parent when it is the setup administration program.
    void waitForKivSetupAdmin() const;
    static WinPath getInteractiveShellPath();
    static bool IsAnyLogonSessionActive();

protected:
    ProcessInfo getParentInfo() const;

private:
    virtual void waitForParent(const ProcessInfo& parent) const;
    virtual bool parentIsKivSetupAdmin(const ProcessInfo& parent) const;
};

namespace WtsHelper {
QOKIVZELUT_API bool isTerminalServer();
QOKIVZELUT_API bool switchedToInstallMode();
// Throws when no way finds the session.
QOKIVZELUT_API unsigned long getSessionId(unsigned long pid);
// Lets the account query this process's information.
QOKIVZELUT_API void allowGetSessionIdTo(const CZelSid& sid);
} // namespace WtsHelper

namespace ZelUt {

QOKIVZELUT_API unsigned long getSessionIdAlternative(unsigned long pid);
QOKIVZELUT_API unsigned long getSessionIdViaWTSEnumerateProcesses(unsigned long pid);
} // namespace ZelUt
