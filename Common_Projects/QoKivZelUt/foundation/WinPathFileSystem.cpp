// WinPath: the operations that ask the file system.
#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/WinPath.h>

#include "ErrorText.h"
#include "OpenFile.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <memory>

using ZelUt::detail::throwLastError;

namespace {

bool sameText(const std::wstring& a, const std::wstring& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    return true;
}

bool fileIdentity(const std::wstring& path, BY_HANDLE_FILE_INFORMATION& info)
{
    WinAPI::FileHandle file =
        ZelUt::detail::openExistingFile(WinPath(path), GENERIC_READ, FILE_SHARE_READ, FILE_FLAG_BACKUP_SEMANTICS);
    return file.valid() && GetFileInformationByHandle(file, &info);
}

bool sameFileTime(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

bool sameIdentity(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b)
{
    return a.dwFileAttributes == b.dwFileAttributes && sameFileTime(a.ftCreationTime, b.ftCreationTime) &&
           sameFileTime(a.ftLastAccessTime, b.ftLastAccessTime) &&
           sameFileTime(a.ftLastWriteTime, b.ftLastWriteTime) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileSizeHigh == b.nFileSizeHigh &&
           a.nFileSizeLow == b.nFileSizeLow && a.nNumberOfLinks == b.nNumberOfLinks &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

bool searchFindsEntry(const std::wstring& pattern)
{
    WIN32_FIND_DATAW data;
    WinAPI::FindHandle search(FindFirstFileW(pattern.c_str(), &data));
    return search.valid();
}

// The version resource of a file; empty when it has none or it cannot be read.
// Asked by its full path: the system looks for a bare name as for a library
// (beside the program first, or among the loaded modules).
std::vector<BYTE> versionResource(const WinPath& path)
{
    std::wstring full;
    try {
        full = WinAPI::fullpath(path).str();
    } catch (const CZelException&) {
        return {};
    }
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(full.c_str(), &ignored);
    std::vector<BYTE> data(size);
    if (size == 0 || !GetFileVersionInfoW(full.c_str(), 0, size, data.data()))
        data.clear();
    return data;
}

} // namespace

bool WinPath::operator==(const WinPath& other) const
{
    if (sameText(m_path, other.m_path))
        return true;
    if (m_path.empty() || other.m_path.empty())
        return false;
    BY_HANDLE_FILE_INFORMATION mine, theirs;
    return fileIdentity(m_path, mine) && fileIdentity(other.m_path, theirs) && sameIdentity(mine, theirs);
}

WinPath WinPath::getLongPath() const
{
    if (hasLongPathPrefix())
        return *this;
    WinPath full = WinAPI::fullpath(*this);
    if (full.hasLongPathPrefix())
        return full;
    if (full.isUNC())
        return WinPath(L"\\\\?\\unc\\" + full.m_path.substr(2), Prebuilt());
    return WinPath(L"\\\\?\\" + full.m_path, Prebuilt());
}

bool WinPath::exists() const
{
    if (m_path.empty())
        return false;
    if (isUNC() && isRoot())
        return searchFindsEntry(m_path + L"\\*.*");
    if (!hasLongPathPrefix()) {
        try {
            return getLongPath().exists();
        } catch (const CZelException&) {
            return false;
        }
    }
    return searchFindsEntry(m_path) || GetFileAttributesW(m_path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WinPath::createDirectory() const
{
    if (exists())
        return;
    WinPath parent = WinAPI::fullpath(getParent());
    if (parent.m_path == m_path)
        throw CZelException(2, L"Directory creation on share " + m_path + L" failed");
    if (!parent.exists())
        parent.createDirectory();
    WinAPI::createDirectory(*this);
}

void WinPath::removeRecursively() const
{
    if (!exists())
        return;
    // A share's root is a disk as much as a drive's: \\server\C$ is one.
    if (isRoot())
        throw CZelException(0xFFFFFFFF, L"Do Not EMPTY complete Disks");
    std::wstring errors;
    unsigned long lastCode = 0;
    auto attempt = [&](auto&& step) {
        try {
            step();
        } catch (const CZelException& e) {
            errors += e.getFullText() + L"\n";
            lastCode = e.getErrorCode();
        }
    };
    DWORD attributes = GetFileAttributesW(m_path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        attempt([&] { WinAPI::deleteFile(*this); });
    } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        // A junction or directory link: the link goes, what it points at stays.
        attempt([&] { WinAPI::removeDirectory(*this); });
    } else {
        attempt([&] {
            WIN32_FIND_DATAW data;
            WinAPI::FindHandle search = WinAPI::findFirstFile(*this / L"*", data);
            for (bool more = search.valid(); more; more = WinAPI::findNextFile(search, data)) {
                std::wstring name = data.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                attempt([&] { (*this / name).getLongPath().removeRecursively(); });
            }
        });
        attempt([&] {
            if (exists())
                WinAPI::removeDirectory(*this);
        });
    }
    if (!errors.empty())
        throw CZelException(lastCode, errors);
}

unsigned long long WinPath::getFileSize() const
{
    WinAPI::FileHandle file = WinAPI::openFileReadOnly(*this);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size))
        throwLastError(L"WinPath::GetFileSizeEx() failed");
    return static_cast<unsigned long long>(size.QuadPart);
}

WinAPI::FileTime WinPath::getLastWriteTime() const
{
    WinAPI::FileHandle file = WinAPI::openFileReadOnly(*this);
    FILETIME written;
    if (!GetFileTime(file, nullptr, nullptr, &written))
        throwLastError(L"WinPath::getLastWriteTime() failed");
    return WinAPI::FileTime(written);
}

std::vector<unsigned short> WinPath::getFileVersion() const
{
    std::vector<unsigned short> version(4, 0xFFFF);
    std::vector<BYTE> resource = versionResource(*this);
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (resource.empty() || !VerQueryValueW(resource.data(), L"\\", reinterpret_cast<void**>(&fixed), &size) ||
        !fixed || size < sizeof(VS_FIXEDFILEINFO))
        return version;
    version[0] = HIWORD(fixed->dwFileVersionMS);
    version[1] = LOWORD(fixed->dwFileVersionMS);
    version[2] = HIWORD(fixed->dwFileVersionLS);
    version[3] = LOWORD(fixed->dwFileVersionLS);
    return version;
}

std::wstring WinPath::getVersionString(const std::wstring& name) const
{
    std::vector<BYTE> resource = versionResource(*this);
    struct Translation {
        WORD language, codePage;
    };
    Translation* table = nullptr;
    UINT tableSize = 0;
    if (resource.empty() ||
        !VerQueryValueW(resource.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&table),
                        &tableSize) ||
        !table || tableSize < sizeof(Translation))
        return std::wstring();
    LANGID systemLanguage = GetSystemDefaultLangID();
    std::wstring found;
    for (UINT i = 0; i < tableSize / sizeof(Translation); ++i) {
        wchar_t key[64];
        swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\", table[i].language, table[i].codePage);
        wchar_t* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(resource.data(), (key + name).c_str(), reinterpret_cast<void**>(&value), &length) ||
            !value)
            continue;
        found.assign(value, wcsnlen(value, length));  // the length may or may not count a terminator
        if (table[i].language == systemLanguage)
            return found;
    }
    return found;
}
