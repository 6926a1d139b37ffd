#include <QoKivZelUt/WinAPI.h>

#include "ErrorText.h"
#include "StringBuffer.h"

#include <psapi.h>
#include <shellapi.h>

using ZelUt::detail::failedText;
using ZelUt::detail::fetchString;
using ZelUt::detail::throwLastError;

namespace WinAPI {

namespace {

// Splits a NUL-separated, double-NUL-terminated list.
std::vector<std::wstring> splitMultiString(const std::wstring& packed)
{
    std::vector<std::wstring> items;
    size_t start = 0;
    while (start < packed.size() && packed[start] != L'\0') {
        size_t end = packed.find(L'\0', start);
        if (end == std::wstring::npos)
            end = packed.size();
        items.push_back(packed.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

} // namespace

WinPath getWindowsDirectory()
{
    return WinPath(fetchString([](wchar_t* b, DWORD n) { return GetWindowsDirectoryW(b, n); },
                               L"WinAPI::getWindowsDirectory() failed."));
}

WinPath getSystemDirectory()
{
    return WinPath(fetchString([](wchar_t* b, DWORD n) { return GetSystemDirectoryW(b, n); },
                               L"WinAPI::getWindowsDirectory() failed."));  // the text both wrappers share
}

std::wstring getComputerName()
{
    std::wstring name(MAX_COMPUTERNAME_LENGTH + 1, L'\0');
    DWORD size = static_cast<DWORD>(name.size());
    while (!GetComputerNameW(&name[0], &size)) {
        if (GetLastError() != ERROR_BUFFER_OVERFLOW)
            throwLastError(L"WinAPI::getComputerName() failed.");
        name.assign(size + 1, L'\0');
        size = static_cast<DWORD>(name.size());
    }
    name.resize(size);
    return name;
}

HMODULE getModuleHandle(const std::wstring& name)
{
    HMODULE module = GetModuleHandleW(name.empty() ? nullptr : name.c_str());
    if (!module)
        throwLastError(L"WinAPI::getModuleHandle() failed.");
    return module;
}

WinPath getModuleFileName(HMODULE module)
{
    return WinPath(fetchString([&](wchar_t* b, DWORD n) { return GetModuleFileNameW(module, b, n); },
                               L"WinAPI::getModuleFileName() failed."));
}

WinPath getModuleFileNameEx(HANDLE process, HMODULE module)
{
    return WinPath(fetchString([&](wchar_t* b, DWORD n) { return GetModuleFileNameExW(process, module, b, n); },
                               L"WinAPI::getModuleFileNameEx() failed."));
}

std::wstring expandEnvironmentStrings(const std::wstring& text)
{
    std::wstring buffer(std::max<size_t>(text.size() * 2, 64), L'\0');
    for (;;) {
        DWORD n = ExpandEnvironmentStringsW(text.c_str(), &buffer[0], static_cast<DWORD>(buffer.size()));
        if (n == 0)
            throwLastError(failedText(L"expandEnvironmentStrings", text));
        if (n <= buffer.size()) {
            buffer.resize(n - 1);
            return buffer;
        }
        buffer.assign(n, L'\0');
    }
}

std::wstring getEnvironmentVariable(const std::wstring& name)
{
    std::wstring value(256, L'\0');
    for (;;) {
        DWORD n = GetEnvironmentVariableW(name.c_str(), &value[0], static_cast<DWORD>(value.size()));
        if (n == 0)
            return std::wstring();
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.assign(n, L'\0');
    }
}

std::wstring realGetWindowClass(HWND window)
{
    std::wstring name(256, L'\0');  // window class names are at most 256 characters
    UINT n = RealGetWindowClassW(window, &name[0], static_cast<UINT>(name.size()));
    if (n == 0)
        throwLastError(L"realGetWindowClass() failed");
    name.resize(n);
    return name;
}

bool isWow64Process(HANDLE process)
{
    using IsWow64ProcessFn = BOOL(WINAPI*)(HANDLE, PBOOL);
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    auto fn = kernel ? reinterpret_cast<IsWow64ProcessFn>(GetProcAddress(kernel, "IsWow64Process")) : nullptr;
    if (!fn)
        return false;
    BOOL wow64 = FALSE;
    if (!fn(process, &wow64))
        throwLastError(L"WinAPI::isWow64Process() failed");
    return wow64 != FALSE;
}

std::vector<std::wstring> queryDosDevice(const std::wstring& name)
{
    std::wstring buffer(1024, L'\0');
    for (;;) {
        DWORD n = QueryDosDeviceW(name.empty() ? nullptr : name.c_str(), &buffer[0], static_cast<DWORD>(buffer.size()));
        if (n != 0) {
            buffer.resize(n);
            return splitMultiString(buffer);
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() > (1u << 24))
            throwLastError(L"WinAPI::queryDosDevice() failed.");
        buffer.assign(buffer.size() * 4, L'\0');
    }
}

std::vector<std::wstring> listAllVolumes()
{
    std::vector<std::wstring> volumes;
    std::wstring name(MAX_PATH + 1, L'\0');  // volume GUID paths are 49 characters
    HANDLE first = FindFirstVolumeW(&name[0], static_cast<DWORD>(name.size()));
    if (first == INVALID_HANDLE_VALUE)
        throwLastError(L"WinAPI::listAllVolumes() failed.");
    struct VolumeSearchCloser {
        static void close(HANDLE h) { FindVolumeClose(h); }
    };
    AutoHandle<VolumeSearchCloser> search(first);
    do {
        volumes.push_back(name.c_str());
    } while (FindNextVolumeW(search, &name[0], static_cast<DWORD>(name.size())));
    if (GetLastError() != ERROR_NO_MORE_FILES)
        throwLastError(L"WinAPI::listAllVolumes() failed.");
    return volumes;
}

std::vector<std::wstring> getVolumePathNamesForVolumeName(const std::wstring& volume)
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        DWORD needed = 0;
        if (GetVolumePathNamesForVolumeNameW(volume.c_str(), &buffer[0], static_cast<DWORD>(buffer.size()), &needed))
            return splitMultiString(buffer);
        if (GetLastError() != ERROR_MORE_DATA)
            throwLastError(L"WinAPI::getVolumePathNamesForVolumeName() failed.");
        buffer.assign(std::max<size_t>(needed, buffer.size() * 2), L'\0');
    }
}

std::vector<std::wstring> commandLineToArgv(const std::wstring& line)
{
    std::vector<std::wstring> parts;
    if (line.empty())
        return parts;  // the system would answer with this program's own path
    int count = 0;
    LocalMemory list(::CommandLineToArgvW(line.c_str(), &count));
    LPWSTR* argv = static_cast<LPWSTR*>(list.get());
    if (!argv)
        throwLastError(failedText(L"commandLineToArgv", line));
    parts.assign(argv, argv + count);
    return parts;
}

std::string toUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size = static_cast<int>(text.size());
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n <= 0 || WideCharToMultiByte(CP_UTF8, 0, text.data(), size, &out[0], n, nullptr, nullptr) != n)
        throwLastError(L"Conversion of '" + text + L"' to UTF string failed.");
    return out;
}

std::wstring fromUtf8(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int size = static_cast<int>(text.size());
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    std::wstring out(n > 0 ? static_cast<size_t>(n) : 0, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), size, &out[0], n);
    return out;
}

VersionNumbers getVersionNumbers()
{
    // RtlGetVersion reports the real version; GetVersionEx is subject to manifest shims.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    VersionNumbers v;
    OSVERSIONINFOEXW info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    auto fn = ntdll ? reinterpret_cast<RtlGetVersionFn>(GetProcAddress(ntdll, "RtlGetVersion")) : nullptr;
    if (fn && fn(&info) == 0) {
        v.major = info.dwMajorVersion;
        v.minor = info.dwMinorVersion;
        v.build = info.dwBuildNumber;
        v.workstation = info.wProductType == VER_NT_WORKSTATION;
    }
    return v;
}

WindowsVersion classifyWindowsVersion(const VersionNumbers& v)
{
    bool ws = v.workstation;
    if (v.major == 5 && v.minor == 1)
        return WindowsVersion::WindowsXP;
    if (v.major == 5 && v.minor == 2)
        return ws ? WindowsVersion::WindowsXP : WindowsVersion::Server2003;  // XP x64 is 5.2 workstation
    if (v.major == 6 && v.minor == 0)
        return ws ? WindowsVersion::Vista : WindowsVersion::Server2008;
    if (v.major == 6 && v.minor == 1)
        return ws ? WindowsVersion::Windows7 : WindowsVersion::Server2008R2;
    if (v.major == 6 && v.minor == 2)
        return ws ? WindowsVersion::Windows8 : WindowsVersion::Server2012;
    if (v.major == 6 && v.minor == 3)
        return ws ? WindowsVersion::Windows81 : WindowsVersion::Server2012R2;
    if (v.major == 10 && v.minor == 0) {
        if (!ws)
            return WindowsVersion::Server2016;
        return v.build >= 22000 ? WindowsVersion::Windows11 : WindowsVersion::Windows10;
    }
    if (v.major > 10)
        return WindowsVersion::Newer;
    return WindowsVersion::Unknown;
}

WindowsVersion getWindowsVersion()
{
    return classifyWindowsVersion(getVersionNumbers());
}

bool isWindows10OrLater()
{
    WindowsVersion v = getWindowsVersion();
    return v == WindowsVersion::Windows10 || v == WindowsVersion::Server2016 || v == WindowsVersion::Windows11 ||
           v == WindowsVersion::Newer;
}

} // namespace WinAPI
