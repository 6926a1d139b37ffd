#include <QoKivZelUt/LockedModules.h>

#include "DeviceNames.h"
#include "ProcessSnapshot.h"
#include "foundation/Log.h"

#include <psapi.h>

#include <algorithm>
#include <cwctype>

namespace {

const wchar_t* const kClientPrograms[] = {L"lumolaunch.exe", L"lumopad.exe", L"lumoview.exe", nullptr};

bool isClientProgram(std::wstring image)
{
    for (wchar_t& c : image)
        c = static_cast<wchar_t>(std::towlower(c));
    for (const wchar_t* const* p = kClientPrograms; *p; ++p)
        if (image == *p)
            return true;
    return false;
}

} // namespace

ZelLockedModuleInfo::ZelLockedModuleInfo(const WinPath& module, bool skipOwnProcess)
    : ZelLockedModuleInfo(module, skipOwnProcess, 0)
{
}

ZelLockedModuleInfo::ZelLockedModuleInfo(const WinPath& module, bool skipOwnProcess, unsigned long skipProcessId)
{
    if (WinAPI::isWow64Process(GetCurrentProcess()))
        initRemote(module, skipOwnProcess);
    else
        initLocal(module, skipOwnProcess, skipProcessId);
    if (isLocked())
        ZEL_LOG_INFO << L"Module " << module << L" is locked by " << m_info.m_app;
    else
        ZEL_LOG_INFO << L"Nothing locks " << module << L".";
}

bool ZelLockedModuleInfo::enumerateDeviceMappings()
{
    if (!m_devices.empty())
        return true;
    m_devices.max_load_factor(1.0f);
    for (const std::wstring& volume : WinAPI::listAllVolumes()) {
        std::wstring name = volume;
        if (name.compare(0, 4, L"\\\\?\\") == 0)
            name.erase(0, 4);
        if (!name.empty() && name.back() == L'\\')
            name.pop_back();
        std::vector<std::wstring> devices = WinAPI::queryDosDevice(name);
        std::vector<std::wstring> mounts;
        try {
            mounts = WinAPI::getVolumePathNamesForVolumeName(volume);
        } catch (const CZelException&) {
            continue;  // a volume without mount points maps nothing
        }
        if (!devices.empty() && !mounts.empty())
            m_devices.emplace(devices.front(), mounts.front());
    }
    m_devices.emplace(L"\\Device\\Mup", L"\\\\");
    return !m_devices.empty();
}

void ZelLockedModuleInfo::replaceDeviceName(std::wstring& path) const
{
    for (const auto& device : m_devices)
        if (ZelUt::detail::replaceDevicePrefix(path, device.first, device.second))
            return;
}

std::wstring ZelLockedModuleInfo::getProcessMappedFileName(void* process, void* address) const
{
    std::wstring name(255, L'\0');
    for (;;) {
        DWORD n = GetMappedFileNameW(static_cast<HANDLE>(process), address, &name[0], static_cast<DWORD>(name.size()));
        if (n == 0)
            return std::wstring();
        if (n < name.size() - 1) {
            name.resize(n);
            break;
        }
        name.assign(name.size() * 2, L'\0');
    }
    replaceDeviceName(name);
    return name;
}

void ZelLockedModuleInfo::initLocal(const WinPath& module, bool skipOwnProcess, unsigned long skipProcessId)
{
    if (!enumerateDeviceMappings())
        return;
    const bool absolute = module.isAbsolute();
    const DWORD self = GetCurrentProcessId();
    ZelUt::detail::ProcessSnapshot snapshot;
    snapshot.find([&](const PROCESSENTRY32W& entry) {
        if ((skipOwnProcess && entry.th32ProcessID == self) || (skipProcessId && entry.th32ProcessID == skipProcessId))
            return false;
        WinAPI::FileHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
        if (!process.valid())
            return false;
        MEMORY_BASIC_INFORMATION region;
        BYTE* address = nullptr;
        void* lastBase = nullptr;
        while (VirtualQueryEx(process, address, &region, sizeof(region)) == sizeof(region)) {
            BYTE* next = static_cast<BYTE*>(region.BaseAddress) + region.RegionSize;
            bool mapped = region.Type == MEM_IMAGE || region.Type == MEM_MAPPED;
            if (mapped && region.AllocationBase != lastBase) {
                lastBase = region.AllocationBase;
                WinPath file(getProcessMappedFileName(process.get(), region.AllocationBase));
                bool match = !file.empty() && (absolute ? file == module : file.getFileName() == module);
                if (match) {
                    std::wstring app = entry.szExeFile;
                    if (absolute) {
                        try {
                            app = WinAPI::getModuleFileNameEx(process, nullptr).str();
                        } catch (const CZelException&) {
                            return false;  // the process ended while it was examined
                        }
                    }
                    m_info.m_app = app;
                    PROCESSWINDOWNAME window;
                    GetProcessWindowName(entry.th32ProcessID, window);
                    m_info.m_title = window.title;
                    m_info.m_visible = window.visible || isClientProgram(entry.szExeFile);
                    m_info.m_hWnd = window.hWnd;
                    return true;
                }
            }
            if (next <= address)
                break;
            address = next;
        }
        return false;
    });
}

BOOL CALLBACK ZelLockedModuleInfo::GetProcessWindowNameEnumProc(HWND window, LPARAM context)
{
    PROCESSWINDOWNAME& search = *reinterpret_cast<PROCESSWINDOWNAME*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search.processId)
        return TRUE;
    search.hWnd = window;
    search.visible = IsWindowVisible(window) != FALSE;
    if (!search.visible)
        return TRUE;
    int length = GetWindowTextLengthW(window);
    std::wstring title(static_cast<size_t>(length) + 1, L'\0');
    title.resize(static_cast<size_t>(GetWindowTextW(window, &title[0], length + 1)));
    search.title = title;
    return FALSE;
}

void ZelLockedModuleInfo::GetProcessWindowName(unsigned long processId, PROCESSWINDOWNAME& window)
{
    window = PROCESSWINDOWNAME();
    window.processId = processId;
    EnumWindows(&GetProcessWindowNameEnumProc, reinterpret_cast<LPARAM>(&window));
}

void ZelLockedModuleInfo::initRemote(const WinPath& module, bool skipOwnProcess)
{
    try {
        RunSnapshot64 companion;
        m_info = skipOwnProcess ? companion.getLockedModuleInfo(module, GetCurrentProcessId())
                                : companion.getLockedModuleInfo(module);
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Could not get locked module information for " << module << L": " << e;
        m_info = ModuleInfo();
    }
}

long ZelLockedModuleInfo::IsExeRunning(const WinPath& executable)
{
    WinPath image = executable.getFileName();
    ZelUt::detail::ProcessSnapshot snapshot;
    bool found = snapshot.find([&](const PROCESSENTRY32W& e) { return WinPath(e.szExeFile).getFileName() == image; });
    return found ? S_OK : S_FALSE;
}
