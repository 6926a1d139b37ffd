#include <QoKivZelUt/LockedModules.h>
#include <QoKivZelUt/SystemQueries.h>
#include <QoKivZelUt/WinAPI.h>

#include "ProcessSnapshot.h"
#include "foundation/HexDigits.h"
#include "foundation/Log.h"

#include <algorithm>
#include <cwctype>

namespace {

bool isFullPathText(const WinPath& path)
{
    const std::wstring& t = path.str();
    return path.hasLongPathPrefix() || path.isUNC() || (t.size() > 1 && t[1] == L':');
}

bool fileNameIs(const WinPath& path, const wchar_t* name)
{
    return _wcsicmp(path.getFileName().str().c_str(), name) == 0;
}

bool creationTime(HANDLE process, ULONGLONG& created)
{
    FILETIME creation, exit, kernel, user;
    if (!GetProcessTimes(process, &creation, &exit, &kernel, &user))
        return false;
    created = (ULONGLONG(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
    return true;
}

// Whether `process` was created after `other`; false when either time cannot be read.
bool createdAfter(HANDLE process, HANDLE other)
{
    ULONGLONG created = 0, otherCreated = 0;
    return creationTime(process, created) && creationTime(other, otherCreated) && created > otherCreated;
}

// A child keeps its parent's id after the parent has gone, and the system
// gives the id to the next process: one started after the child is not its
// parent. Where either time cannot be read, the id is taken as it stands.
bool couldBeParent(DWORD parentPid, DWORD childPid)
{
    WinAPI::FileHandle parent(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, parentPid));
    WinAPI::FileHandle child(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, childPid));
    return !parent.valid() || !child.valid() || !createdAfter(parent, child);
}

// Process-wide cached answer of IsStartedFromMsiExec, written without a lock.
bool g_msiExecComputed = false;
bool g_msiExecValue = false;

// A character that is no hex digit counts as 0.
int hexValue(wchar_t c)
{
    return std::max(0, ZelUt::hexDigitValue(c));
}

} // namespace

// ---------------------------------------------------------------- CZelSystem

long CZelSystem::GetParentProcessPathOfPid(unsigned long pid, WinPath& path, unsigned long& parentPid)
{
    parentPid = 0;
    path = WinPath();
    ZelUt::detail::ProcessSnapshot snapshot;
    PROCESSENTRY32W entry;
    if (snapshot.findById(pid, entry))
        parentPid = entry.th32ParentProcessID;
    if (parentPid == 0)
        return E_FAIL;
    if (!snapshot.findById(parentPid, entry) || !couldBeParent(parentPid, pid))
        return E_FAIL;
    path = WinPath(entry.szExeFile);
    if (!isFullPathText(path)) {
        WinAPI::FileHandle modules(CreateToolhelp32Snapshot(TH32CS_SNAPMODULE | TH32CS_SNAPMODULE32, parentPid));
        MODULEENTRY32W module;
        module.dwSize = sizeof(module);
        for (BOOL more = modules.valid() && Module32FirstW(modules, &module); more;
             more = Module32NextW(modules, &module)) {
            WinPath modulePath(module.szExePath);
            if (modulePath.getFileName() == path.getFileName()) {
                path = modulePath;
                break;
            }
        }
    }
    return path.empty() ? E_FAIL : S_OK;
}

long CZelSystem::GetParentProcessPathOfPid(unsigned long pid, WinPath& path)
{
    unsigned long parent = 0;
    return GetParentProcessPathOfPid(pid, path, parent);
}

long CZelSystem::GetParentProcessPath(WinPath& path)
{
    return GetParentProcessPathOfPid(GetCurrentProcessId(), path);
}

long CZelSystem::IsRunningAsService(bool& isService)
{
    isService = false;
    WinPath parent;
    long result = GetParentProcessPath(parent);
    if (FAILED(result))
        return result;
    isService = fileNameIs(parent, L"services.exe") || fileNameIs(parent, L"svchost.exe") ||
                fileNameIs(parent, L"srvany.exe");
    return S_OK;
}

long CZelSystem::IsStartedFromMsiExec(bool& result)
{
    if (g_msiExecComputed) {
        result = g_msiExecValue;
        return S_OK;
    }
    unsigned long pid = GetCurrentProcessId();
    WinPath path;
    for (;;) {
        unsigned long parent = 0;
        long status = GetParentProcessPathOfPid(pid, path, parent);
        if (FAILED(status) && !path.empty())
            return status;
        if (path.empty()) {
            ZEL_LOG_ERROR << L"Can not determine parent process executable path of PID " << pid;
            return E_FAIL;
        }
        if (!isFullPathText(path) || path.getVersionString(L"CompanyName").find(L"KIV") == std::wstring::npos)
            break;
        pid = parent;
    }
    g_msiExecValue = fileNameIs(path, L"msiexec.exe");
    g_msiExecComputed = true;
    result = g_msiExecValue;
    return S_OK;
}

void CZelSystem::broadcastEnvironmentChange()
{
    ZEL_LOG_INFO << L"Broadcasting environment change to all windows";
    DWORD_PTR result = 0;
    SendMessageTimeoutW(HWND_BROADCAST, WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"Environment"),
                        SMTO_ABORTIFHUNG, 1, &result);
    ZEL_LOG_INFO << L"Broadcasting environment change to all windows returned";
}

// ---------------------------------------------------------------- CZelTools

ATL::CComBSTR CZelTools::BlobToString(void* data, unsigned int size)
{
    if (!data || size == 0)
        return ATL::CComBSTR();
    static const wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring text = L"0x";
    text.reserve(2 + 2 * static_cast<size_t>(size));
    const BYTE* bytes = static_cast<const BYTE*>(data);
    for (unsigned int i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    ATL::CComBSTR result(text);
    if (!result.m_str)
        throw CZelException(static_cast<unsigned long>(E_OUTOFMEMORY), L"BlobToString: out of memory");
    return result;
}

unsigned int CZelTools::StringToBlob(void* buffer, unsigned int bufferSize, wchar_t* text)
{
    size_t n = text ? wcslen(text) : 0;
    if (n == 0)
        return 0;
    const wchar_t* digits = text;
    if (n <= 2) {
        if (digits[0] == L'x')
            ++digits;
    } else if (digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X')) {
        digits += 2;
    } else if (digits[0] == L'x') {
        ++digits;
    }
    n = wcslen(digits);
    unsigned int count = static_cast<unsigned int>((n + 1) / 2);
    if (!buffer || bufferSize < count)
        return count;
    BYTE* bytes = static_cast<BYTE*>(buffer);
    memset(bytes, 0, count);
    size_t digit = 0;
    if (n % 2 == 1)
        bytes[0] = static_cast<BYTE>(hexValue(digits[digit++]));
    for (unsigned int b = n % 2; digit < n; ++b, digit += 2)
        bytes[b] = static_cast<BYTE>((hexValue(digits[digit]) << 4) | hexValue(digits[digit + 1]));
    return count;
}

namespace {

struct OwnWindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK findOwnWindow(HWND window, LPARAM context)
{
    OwnWindowSearch& search = *reinterpret_cast<OwnWindowSearch*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId)
        return TRUE;
    search.found = window;
    return FALSE;
}

} // namespace

HWND CZelTools::GetMyHWND()
{
    OwnWindowSearch search = {GetCurrentProcessId(), nullptr};
    EnumWindows(&findOwnWindow, reinterpret_cast<LPARAM>(&search));
    if (!search.found)
        return nullptr;
    wchar_t className[19] = {};
    int length = GetClassNameW(search.found, className, 19);
    return length == 18 && wcscmp(className, L"ConsoleWindowClass") == 0 ? nullptr : search.found;
}

ProcessInfo CZelTools::getParentInfo() const
{
    ZelUt::detail::ProcessSnapshot snapshot;
    ProcessInfo own, parent;
    if (!snapshot.findById(GetCurrentProcessId(), own.entry))
        throw CZelException(2, L"No information about own process contained in ProcessSnapshot");
    if (!snapshot.findById(own.entry.th32ParentProcessID, parent.entry))
        throw CZelException(2, L"No information about parent process contained in ProcessSnapshot");
    return parent;
}

void CZelTools::waitForKivSetupAdmin() const
{
    try {
        ProcessInfo parent = getParentInfo();
        if (parentIsKivSetupAdmin(parent))
            waitForParent(parent);
    } catch (const CZelException&) {
        // Without a known parent there is nothing to wait for.
    }
}

bool CZelTools::parentIsKivSetupAdmin(const ProcessInfo& parent) const
{
    return fileNameIs(parent.imageName(), L"QoKivSetupAdmin.exe");
}

void CZelTools::waitForParent(const ProcessInfo& parent) const
{
    ZEL_LOG_INFO << L"Going to wait for exit of parent process " << parent.imageName() << L"...";
    WinAPI::FileHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, parent.processId()));
    // A parent that has gone leaves its id to be given again: a process
    // started after this one is not waited for (it may never end).
    if (process.valid() && !createdAfter(process, GetCurrentProcess()))
        WaitForSingleObject(process, INFINITE);
    ZEL_LOG_INFO << L"Parent process is gone, proceeding...";
}

WinPath CZelTools::getInteractiveShellPath()
{
    WinAPI::RegKey key = WinAPI::regOpenKeyEx(HKEY_LOCAL_MACHINE, L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Winlogon",
                                              KEY_READ);
    return WinPath(WinAPI::regQueryValueEx(key, L"Shell").toString());
}

bool CZelTools::IsAnyLogonSessionActive()
{
    WinPath shell = getInteractiveShellPath();
    if (!shell.empty() && ZelLockedModuleInfo::IsExeRunning(shell) == S_OK) {
        ZEL_LOG_INFO << L"Interactive user detected. Shell process is '" << shell << L"'";
        return true;
    }
    ZEL_LOG_INFO << L"There seems to be no interactive user";
    return false;
}
