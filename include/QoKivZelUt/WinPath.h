// WinPath: a file-system path kept as one normalised wide string.
#pragma once

#include "Export.h"

#include <string>
#include <vector>

namespace WinAPI {
struct FileTime;
}

class QOKIVZELUT_API WinPath {
public:
    WinPath() = default;
    WinPath(const wchar_t* text);
    WinPath(std::wstring text);

    const std::wstring& str() const { return m_path; }
    bool empty() const { return m_path.empty(); }

    // Case-insensitive text equality, else identical file identity on disk.
    bool operator==(const WinPath& other) const;
    bool operator!=(const WinPath& other) const { return !(*this == other); }
    // Case-insensitive text order (for sets and maps).
    bool operator<(const WinPath& other) const;

    WinPath operator/(const WinPath& name) const;
    WinPath operator/(const std::wstring& name) const;
    WinPath operator/(const wchar_t* name) const { return *this / std::wstring(name ? name : L""); }

    bool hasLongPathPrefix() const;
    bool isUNC() const;
    bool isDriveRoot() const;
    bool isAbsolute() const;
    bool isRoot() const;
    bool isExecutable() const;

    WinPath getFileName() const;
    WinPath getParent() const;
    std::wstring getExtension() const;
    size_t getPrefixLength() const;
    std::vector<WinPath> getSubPaths() const;
    std::vector<std::wstring> getComponents() const;
    bool contains(const WinPath& other) const;
    WinPath getRelativePath(const WinPath& other) const;
    WinPath getServerName() const;
    WinPath getShareName() const;
    WinPath getPathOnShare() const;
    std::wstring getQuoted() const;
    std::wstring replaceInvalidCharacters() const;

    // Full path with the long-path prefix ("\\?\" or "\\?\unc\").
    WinPath getLongPath() const;

    bool exists() const;
    void createDirectory() const;
    // Deletes the file or the directory with everything below it (a link, not
    // what it points at); a drive's or a share's root is refused (0xFFFFFFFF).
    void removeRecursively() const;
    unsigned long long getFileSize() const;
    WinAPI::FileTime getLastWriteTime() const;
    // major, minor, build, revision; all 0xFFFF without a readable version resource.
    std::vector<unsigned short> getFileVersion() const;
    // A string of the version resource; empty when absent.
    std::wstring getVersionString(const std::wstring& name) const;

    // The normalisation applied to every text a WinPath is built from.
    static std::wstring normalize(std::wstring text);

private:
    struct Prebuilt {};
    WinPath(std::wstring text, Prebuilt) : m_path(std::move(text)) {}

    std::wstring m_path;
};

QOKIVZELUT_API std::wostream& operator<<(std::wostream& out, const WinPath& path);
