// WinAPI: wrappers of the system calls the library makes again and again.
// Every failure throws CZelException with the system's error code.
#pragma once

#include "Export.h"
#include "WinPath.h"
#include "ZelException.h"

#include <windows.h>

#include <string>
#include <type_traits>
#include <utility>
#include <vector>

namespace WinAPI {

// ---------------------------------------------------------------- handle guards

struct CloseHandleClass {
    static void close(HANDLE h) { ::CloseHandle(h); }
};
struct FindCloseClass {
    static void close(HANDLE h) { ::FindClose(h); }
};
struct UnmapViewClass {
    static void close(const void* view) { ::UnmapViewOfFile(view); }
};
struct LocalFreeClass {
    static void close(HLOCAL memory) { ::LocalFree(memory); }
};
struct RegCloseKeyClass {
    QOKIVZELUT_API static bool isPredefined(HKEY key);
    static void close(HKEY key)
    {
        if (!isPredefined(key))
            ::RegCloseKey(key);
    }
};

// Shared-ownership guard for one system handle. Null and INVALID_HANDLE_VALUE
// both mean "no handle". Releasing never throws and keeps GetLastError().
template <class Closer, class H = HANDLE>
class AutoHandle {
public:
    AutoHandle() = default;
    AutoHandle(H handle) : m_handle(handle) {}
    AutoHandle(const AutoHandle& other) { share(other); }
    AutoHandle(AutoHandle&& other) noexcept : m_handle(other.m_handle), m_count(other.m_count)
    {
        other.m_handle = invalid();
        other.m_count = nullptr;
    }
    AutoHandle& operator=(const AutoHandle& other)
    {
        if (this != &other) {
            AutoHandle copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    AutoHandle& operator=(AutoHandle&& other) noexcept
    {
        if (this != &other) {
            release();
            std::swap(m_handle, other.m_handle);
            std::swap(m_count, other.m_count);
        }
        return *this;
    }
    AutoHandle& operator=(H handle)
    {
        release();
        m_handle = handle;
        return *this;
    }
    ~AutoHandle() { release(); }

    bool valid() const { return isValid(m_handle); }
    explicit operator bool() const { return valid(); }
    H get() const { return m_handle; }
    operator H() const { return m_handle; }
    // The number of guards sharing the handle (1 for a sole owner, 0 for none).
    long useCount() const { return !valid() ? 0 : m_count ? *m_count : 1; }

    // Gives the handle up without closing it.
    H detach()
    {
        H h = m_handle;
        if (m_count && --*m_count == 0)
            delete m_count;
        m_handle = invalid();
        m_count = nullptr;
        return h;
    }

    void release() noexcept
    {
        if (!valid()) {
            m_handle = invalid();
            return;
        }
        DWORD savedError = ::GetLastError();
        if (!m_count) {
            Closer::close(m_handle);
        } else if (::InterlockedDecrement(m_count) == 0) {
            Closer::close(m_handle);
            delete m_count;
        }
        m_handle = invalid();
        m_count = nullptr;
        ::SetLastError(savedError);
    }

    static bool isValid(H h) { return h != H() && h != invalid(); }

private:
    // Integer handles narrower than a pointer (MSIHANDLE) take the truncated value.
    static H invalid()
    {
        if constexpr (std::is_pointer_v<H>)
            return reinterpret_cast<H>(INVALID_HANDLE_VALUE);
        else
            return static_cast<H>(reinterpret_cast<ULONG_PTR>(INVALID_HANDLE_VALUE));
    }

    void share(const AutoHandle& other)
    {
        m_handle = other.m_handle;
        m_count = nullptr;
        if (!other.valid())
            return;
        if (!other.m_count)
            other.m_count = new LONG(1);
        m_count = other.m_count;
        ::InterlockedIncrement(m_count);
    }

    H m_handle = invalid();
    mutable LONG* m_count = nullptr;
};

using FileHandle = AutoHandle<CloseHandleClass>;
using FindHandle = AutoHandle<FindCloseClass>;
using RegKey = AutoHandle<RegCloseKeyClass, HKEY>;
using ViewHandle = AutoHandle<UnmapViewClass, const void*>;
// Memory the system allocated for the caller and wants back through LocalFree.
using LocalMemory = AutoHandle<LocalFreeClass, HLOCAL>;

// ---------------------------------------------------------------- values

struct QOKIVZELUT_API FileTime : FILETIME {
    FileTime() { dwLowDateTime = dwHighDateTime = 0; }
    FileTime(const FILETIME& ft) : FILETIME(ft) {}
    FileTime(unsigned long long value)
    {
        dwLowDateTime = static_cast<DWORD>(value);
        dwHighDateTime = static_cast<DWORD>(value >> 32);
    }
    unsigned long long value() const
    {
        return (static_cast<unsigned long long>(dwHighDateTime) << 32) | dwLowDateTime;
    }
    bool isZero() const { return value() == 0; }
    bool operator==(const FileTime& o) const { return value() == o.value(); }
    bool operator!=(const FileTime& o) const { return value() != o.value(); }
    bool operator<(const FileTime& o) const { return value() < o.value(); }
};

struct QOKIVZELUT_API RegValue {
    std::wstring name;
    std::vector<BYTE> data;
    DWORD type = REG_NONE;

    // The data as wide text; one trailing NUL removed.
    std::wstring toString() const;
    // The first 4 bytes; throws code 0 with fewer.
    DWORD toDWORD() const;
    // The strings of a REG_MULTI_SZ value.
    std::vector<std::wstring> toStrings() const;

    static RegValue fromString(const std::wstring& name, const std::wstring& text, DWORD type = REG_SZ);
    static RegValue fromDWORD(const std::wstring& name, DWORD value);
    static RegValue fromStrings(const std::wstring& name, const std::vector<std::wstring>& lines);
};

// ---------------------------------------------------------------- registry

// hive\sub\key -> (hive, sub\key); throws code 13 for an unknown hive.
QOKIVZELUT_API std::pair<HKEY, std::wstring> splitRegistryPath(const std::wstring& path);
QOKIVZELUT_API RegKey regOpenPath(const std::wstring& path, REGSAM access = KEY_READ);
QOKIVZELUT_API RegKey regConnectRegistry(const std::wstring& machine);
QOKIVZELUT_API RegKey regOpenKeyEx(HKEY key, const std::wstring& subkey, REGSAM access = KEY_READ);
QOKIVZELUT_API RegKey regCreateKeyEx(HKEY key, const std::wstring& subkey);
// Whether HKEY_LOCAL_MACHINE\subkey opens for reading; never throws.
QOKIVZELUT_API bool regKeyExists(const std::wstring& subkey);
QOKIVZELUT_API RegValue regQueryValueEx(HKEY key, const std::wstring& name);
QOKIVZELUT_API void regSetValueEx(HKEY key, const std::wstring& name, const RegValue& value);
QOKIVZELUT_API void regDeleteValue(HKEY key, const std::wstring& name);

// ---------------------------------------------------------------- profile files

QOKIVZELUT_API std::wstring getPrivateProfileString(const std::wstring& section, const std::wstring& key,
                                                    const std::wstring& defaultValue, const WinPath& file);
// The names of the keys of a section, as the file holds them.
QOKIVZELUT_API std::vector<std::wstring> getPrivateProfileKeys(const std::wstring& section, const WinPath& file);
// The key's value as a number (GetPrivateProfileInt); the default when absent.
QOKIVZELUT_API unsigned int getPrivateProfileInt(const std::wstring& section, const std::wstring& key, int defaultValue,
                                                 const WinPath& file);
QOKIVZELUT_API void writePrivateProfileString(const std::wstring& section, const std::wstring& key,
                                              const std::wstring& value, const WinPath& file);
QOKIVZELUT_API void writePrivateProfileSection(const std::wstring& section,
                                               const std::vector<std::wstring>& lines, const WinPath& file);

// ---------------------------------------------------------------- files

// Opened with read sharing only; sharing violations are retried 9 times, 150 ms apart.
QOKIVZELUT_API FileHandle createFile(const WinPath& path);
// Fails with ERROR_FILE_EXISTS when the file is there already.
QOKIVZELUT_API FileHandle createNewFile(const WinPath& path);
QOKIVZELUT_API FileHandle openFile(const WinPath& path);
QOKIVZELUT_API FileHandle openFileReadOnly(const WinPath& path);
// The client end of a named pipe: read, write data and the read mode; opened so
// that the server can identify the caller but not impersonate it.
QOKIVZELUT_API FileHandle openPipe(const std::wstring& name);

QOKIVZELUT_API void deleteFile(const WinPath& path);
QOKIVZELUT_API void removeDirectory(const WinPath& path);
QOKIVZELUT_API void copyFile(const WinPath& from, const WinPath& to);
QOKIVZELUT_API void moveFile(const WinPath& from, const WinPath& to);
// Moves a file over another in one step (MoveFileEx, replacing, written through).
QOKIVZELUT_API void replaceFile(const WinPath& from, const WinPath& to);

// A new file written beside its target that takes the target's place in one
// step only when complete (commit); on every other way out it is removed and
// the target stays as it was.
class QOKIVZELUT_API ReplacementFile {
public:
    explicit ReplacementFile(const WinPath& target);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    HANDLE handle() const { return m_file.get(); }
    const WinPath& path() const { return m_path; }
    // Gives the file the target's access list, flushes it, closes it and
    // moves it over the target.
    void commit();

private:
    WinPath m_target;
    WinPath m_path;
    FileHandle m_file;
    bool m_committed = false;
};
QOKIVZELUT_API void createDirectory(const WinPath& path, LPSECURITY_ATTRIBUTES security = nullptr);

// Starts a directory search; an invalid guard when nothing matches.
QOKIVZELUT_API FindHandle findFirstFile(const WinPath& pattern, WIN32_FIND_DATAW& data);
// Next entry; false at the end of the list.
QOKIVZELUT_API bool findNextFile(const FindHandle& search, WIN32_FIND_DATAW& data);

QOKIVZELUT_API void writeFile(HANDLE file, const void* data, size_t size);
QOKIVZELUT_API void writeFile(HANDLE file, const std::vector<char>& bytes);
QOKIVZELUT_API void writeFile(HANDLE file, const std::string& bytes);
// Reads to the end of the file or pipe.
QOKIVZELUT_API std::vector<char> readFile(HANDLE file);
QOKIVZELUT_API std::string readFileA(HANDLE file);
QOKIVZELUT_API std::wstring readFileW(HANDLE file);

QOKIVZELUT_API WinPath fullpath(const WinPath& path);
QOKIVZELUT_API WinPath getTempPath();
QOKIVZELUT_API WinPath getTempFileName(const WinPath& dir, const std::wstring& prefix);
QOKIVZELUT_API WinPath getCurrentDirectory();
QOKIVZELUT_API void chdir(const WinPath& path);

struct SplitPath {
    std::wstring drive, dir, name, ext;
};
QOKIVZELUT_API SplitPath splitpath(const WinPath& path);

QOKIVZELUT_API WinPath findExecutable(const WinPath& file, const WinPath& dir);
QOKIVZELUT_API WinPath searchPath(const std::wstring& name);
QOKIVZELUT_API WinPath getLongPathName(const WinPath& path);
QOKIVZELUT_API WinPath getShortPathName(const WinPath& path);
QOKIVZELUT_API WinPath getWindowsDirectory();
QOKIVZELUT_API WinPath getSystemDirectory();
QOKIVZELUT_API std::wstring getComputerName();

QOKIVZELUT_API HMODULE getModuleHandle(const std::wstring& name);
QOKIVZELUT_API WinPath getModuleFileName(HMODULE module);
QOKIVZELUT_API WinPath getModuleFileNameEx(HANDLE process, HMODULE module);

QOKIVZELUT_API std::wstring expandEnvironmentStrings(const std::wstring& text);
// The value of an environment variable; empty when it is not set.
QOKIVZELUT_API std::wstring getEnvironmentVariable(const std::wstring& name);
QOKIVZELUT_API std::wstring realGetWindowClass(HWND window);
QOKIVZELUT_API bool isWow64Process(HANDLE process);
QOKIVZELUT_API std::vector<std::wstring> queryDosDevice(const std::wstring& name);
QOKIVZELUT_API std::vector<std::wstring> listAllVolumes();
QOKIVZELUT_API std::vector<std::wstring> getVolumePathNamesForVolumeName(const std::wstring& volume);

// The arguments of a command line as the system splits it; none for an empty line.
QOKIVZELUT_API std::vector<std::wstring> commandLineToArgv(const std::wstring& line);

QOKIVZELUT_API std::string toUtf8(const std::wstring& text);
QOKIVZELUT_API std::wstring fromUtf8(const std::string& text);

// ---------------------------------------------------------------- system version

enum class WindowsVersion {
    Unknown = 0,
    WindowsXP = 1,
    Server2003 = 2,
    Vista = 3,
    Server2008 = 4,
    Windows7 = 5,
    Server2008R2 = 6,
    Windows8 = 7,
    Server2012 = 8,
    Windows81 = 9,
    Server2012R2 = 10,
    Windows10 = 11,
    Server2016 = 12,
    Windows11 = 13,
    Newer = 14,
};

struct VersionNumbers {
    unsigned long major = 0, minor = 0, build = 0;
    bool workstation = true;
};

// The running system's version numbers, as the kernel reports them (no manifest shims).
QOKIVZELUT_API VersionNumbers getVersionNumbers();
// Classifies version numbers; pure.
QOKIVZELUT_API WindowsVersion classifyWindowsVersion(const VersionNumbers& v);
QOKIVZELUT_API WindowsVersion getWindowsVersion();
// Windows 10, its server generation and Windows 11.
QOKIVZELUT_API bool isWindows10OrLater();

} // namespace WinAPI
