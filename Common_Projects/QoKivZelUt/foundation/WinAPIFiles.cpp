#include <QoKivZelUt/WinAPI.h>

#include <aclapi.h>

#include "ErrorText.h"
#include "FileNames.h"
#include "OpenFile.h"
#include "Retry.h"
#include "StringBuffer.h"

#include <shellapi.h>

#include <algorithm>

using ZelUt::detail::failedText;
using ZelUt::detail::fetchString;
using ZelUt::detail::retry;
using ZelUt::detail::throwLastError;

namespace WinAPI {

namespace {

const unsigned kOpenAttempts = 9;
const DWORD kSharingRetryDelayMs = 150;
const size_t kReadPiece = 2048;

// Opens by name for identification only; a handle that is no file on a disk
// is closed again unless a pipe is what the caller named.
FileHandle createNamed(const WinPath& path, DWORD access, DWORD share, DWORD disposition, DWORD flags, bool pipe)
{
    FileHandle file(CreateFileW(path.str().c_str(), access, share, nullptr, disposition,
                                flags | ZelUt::detail::kIdentifyOnly, nullptr));
    if (!pipe && file.valid() && GetFileType(file) != FILE_TYPE_DISK) {
        file = FileHandle();
        SetLastError(ERROR_BAD_FILE_TYPE);
    }
    return file;
}

FileHandle openWithRetries(const wchar_t* operation, const WinPath& path, DWORD access, DWORD disposition,
                           DWORD flags = FILE_ATTRIBUTE_NORMAL, bool pipe = false)
{
    FileHandle file;
    DWORD lastError = 0;
    bool opened = retry(
        kOpenAttempts, kSharingRetryDelayMs,
        [&] {
            file = createNamed(path, access, FILE_SHARE_READ, disposition, flags, pipe);
            lastError = GetLastError();
            return file.valid();
        },
        [&] { return lastError == ERROR_SHARING_VIOLATION; });
    if (opened)
        return file;
    if (lastError == ERROR_SHARING_VIOLATION)
        throw CZelException(ERROR_SHARING_VIOLATION,
                            L"WinAPI::" + std::wstring(operation) + L"(" + path.str() + L") failed despite retries.");
    throw CZelException(lastError, failedText(operation, path.str()));
}

bool isReadOnly(const WinPath& path)
{
    DWORD attributes = GetFileAttributesW(path.str().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
}

bool isDirectory(const WinPath& path)
{
    DWORD attributes = GetFileAttributesW(path.str().c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

FileHandle createFile(const WinPath& path)
{
    return openWithRetries(L"createFile", path, GENERIC_READ | GENERIC_WRITE, CREATE_ALWAYS);
}

FileHandle createNewFile(const WinPath& path)
{
    return openWithRetries(L"createNewFile", path, GENERIC_READ | GENERIC_WRITE, CREATE_NEW);
}

FileHandle openFile(const WinPath& path)
{
    return openWithRetries(L"openFile", path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
}

// Reading, writing and switching the read mode is all a client does; the
// server may learn who the client is but cannot act as it.
FileHandle openPipe(const std::wstring& name)
{
    return openWithRetries(L"openPipe", WinPath(name), GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES,
                           OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, true);
}

FileHandle openFileReadOnly(const WinPath& path)
{
    return openWithRetries(L"openFileReadOnly", path, GENERIC_READ, OPEN_EXISTING);
}

void deleteFile(const WinPath& path)
{
    if (!path.exists())
        return;
    for (int i = 0; i < 1000 && isReadOnly(path); ++i) {
        DWORD attributes = GetFileAttributesW(path.str().c_str());
        SetFileAttributesW(path.str().c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
        Sleep(2);
    }
    if (!DeleteFileW(path.str().c_str())) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return;
        throw CZelException(error, failedText(L"deleteFile", path.str()));
    }
    // A file still open elsewhere with delete sharing lingers until it is closed.
    for (DWORD waited = 0; path.exists() && waited < 5000; waited += 5) {
        Sleep(5);
        DeleteFileW(path.str().c_str());
    }
}

void removeDirectory(const WinPath& path)
{
    if (!path.exists())
        return;
    if (RemoveDirectoryW(path.str().c_str()))
        return;
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || !path.exists())
        return;
    throw CZelException(error, failedText(L"removeDirectory", path.str()));
}

// The source is looked at first: a copy of a pipe would be whatever its server
// sends, taken as this account's.
void copyFile(const WinPath& from, const WinPath& to)
{
    if (!ZelUt::detail::openExistingFile(from, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         FILE_ATTRIBUTE_NORMAL)
             .valid())
        throwLastError(failedText(L"copyFile", from.str() + L", " + to.str()));
    if (!CopyFileW(from.str().c_str(), to.str().c_str(), FALSE))
        throwLastError(failedText(L"copyFile", from.str() + L", " + to.str()));
}

void moveFile(const WinPath& from, const WinPath& to)
{
    if (!MoveFileW(from.str().c_str(), to.str().c_str()))
        throwLastError(failedText(L"moveFile", from.str() + L", " + to.str()));
}

void replaceFile(const WinPath& from, const WinPath& to)
{
    if (!MoveFileExW(from.str().c_str(), to.str().c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        throwLastError(failedText(L"replaceFile", from.str() + L", " + to.str()));
}

namespace {

// The new file gets the target's access list (protected or inheriting, as the
// target's is), so that replacing a file does not change who may use it.
void takeSecurityOf(const WinPath& target, HANDLE file)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(target.str().c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                              &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return;  // no target, or no security to keep
    LocalMemory release(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    SECURITY_INFORMATION what = DACL_SECURITY_INFORMATION | ((control & SE_DACL_PROTECTED)
                                                                 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                                 : UNPROTECTED_DACL_SECURITY_INFORMATION);
    SetSecurityInfo(file, SE_FILE_OBJECT, what, nullptr, nullptr, dacl, nullptr);
}

} // namespace

ReplacementFile::ReplacementFile(const WinPath& target) : m_target(target)
{
    // A short name beside the target: the directory's path limit is the target's.
    const WinPath directory = target.getParent();
    for (unsigned attempt = 0;; ++attempt) {
        wchar_t name[32];
        swprintf(name, 32, L"~kiv%08lx.tmp", static_cast<unsigned long>(GetCurrentProcessId() * 7919u + GetTickCount() + attempt));
        m_path = directory.empty() ? WinPath(name) : directory / name;
        m_file = CreateFileW(m_path.str().c_str(), GENERIC_READ | GENERIC_WRITE | WRITE_DAC, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
        if (m_file.valid())
            return;
        if (GetLastError() != ERROR_FILE_EXISTS || attempt >= 100)
            throwLastError(failedText(L"createNewFile", m_path.str()));
    }
}

ReplacementFile::~ReplacementFile()
{
    m_file.release();
    if (!m_committed)
        DeleteFileW(m_path.str().c_str());
}

// The bytes reach the disk before the name does: a power loss leaves the old
// file or the complete new one, never the new name on an empty file.
void ReplacementFile::commit()
{
    takeSecurityOf(m_target, m_file);
    if (!FlushFileBuffers(m_file))
        throwLastError(failedText(L"flushFileBuffers", m_path.str()));
    m_file.release();
    replaceFile(m_path, m_target);
    m_committed = true;
}

void createDirectory(const WinPath& path, LPSECURITY_ATTRIBUTES security)
{
    if (CreateDirectoryW(path.str().c_str(), security))
        return;
    DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS && isDirectory(path))
        return;
    if ((error == ERROR_FILENAME_EXCED_RANGE || error == ERROR_PATH_NOT_FOUND) && !path.isAbsolute())
        return;
    throw CZelException(error, failedText(L"createDirectory", path.str()));
}

FindHandle findFirstFile(const WinPath& pattern, WIN32_FIND_DATAW& data)
{
    return FindHandle(FindFirstFileW(pattern.str().c_str(), &data));
}

bool findNextFile(const FindHandle& search, WIN32_FIND_DATAW& data)
{
    if (FindNextFileW(search, &data))
        return true;
    if (GetLastError() == ERROR_NO_MORE_FILES)
        return false;
    throwLastError(L"WinAPI::findNextFile() failed.");
}

void writeFile(HANDLE file, const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        DWORD piece = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes, piece, &written, nullptr))
            throwLastError(L"WinAPI::writeFile() failed.");
        if (written == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            throwLastError(L"WinAPI::writeFile() failed.");
        }
        bytes += written;
        size -= written;
    }
}

void writeFile(HANDLE file, const std::vector<char>& bytes)
{
    writeFile(file, bytes.data(), bytes.size());
}

void writeFile(HANDLE file, const std::string& bytes)
{
    writeFile(file, bytes.data(), bytes.size());
}

std::vector<char> readFile(HANDLE file)
{
    std::vector<char> all;
    char piece[kReadPiece];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, piece, sizeof(piece), &got, nullptr)) {
            DWORD error = GetLastError();
            if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF)
                break;
            if (error != ERROR_MORE_DATA)
                throw CZelException(error, L"WinAPI::readFile() failed.");
        } else if (got == 0) {
            break;
        }
        all.insert(all.end(), piece, piece + got);
    }
    return all;
}

std::string readFileA(HANDLE file)
{
    std::vector<char> bytes = readFile(file);
    return std::string(bytes.begin(), bytes.end());
}

std::wstring readFileW(HANDLE file)
{
    std::vector<char> bytes = readFile(file);
    std::wstring text(bytes.size() / sizeof(wchar_t), L'\0');
    if (!text.empty())
        memcpy(&text[0], bytes.data(), text.size() * sizeof(wchar_t));
    return text;
}

WinPath fullpath(const WinPath& path)
{
    std::wstring full = fetchString(
        [&](wchar_t* buffer, DWORD size) { return GetFullPathNameW(path.str().c_str(), size, buffer, nullptr); },
        L"WinAPI::fullpath() failed: invalid path " + path.str());
    if (full.empty() && !path.empty())
        throwLastError(L"WinAPI::fullpath() failed: invalid path " + path.str());
    return WinPath(full);
}

WinPath getTempPath()
{
    return WinPath(fetchString([](wchar_t* b, DWORD n) { return GetTempPathW(n, b); },
                               L"WinAPI::getTempPath() failed."));
}

// A directory too long for the name is refused as Windows refuses it (some
// implementations write past the caller's buffer of MAX_PATH instead).
WinPath getTempFileName(const WinPath& dir, const std::wstring& prefix)
{
    if (dir.str().size() > ZelUt::kLongestTempFileDirectory)
        throw CZelException(ERROR_BUFFER_OVERFLOW, failedText(L"getTempFileName", dir.str() + L", " + prefix));
    std::wstring name(MAX_PATH + 1, L'\0');
    if (!GetTempFileNameW(dir.str().c_str(), prefix.c_str(), 0, &name[0]))
        throwLastError(failedText(L"getTempFileName", dir.str() + L", " + prefix));
    return WinPath(name.c_str());
}

WinPath getCurrentDirectory()
{
    return WinPath(fetchString([](wchar_t* b, DWORD n) { return GetCurrentDirectoryW(n, b); },
                               L"WinAPI::getCurrentDirectory: GetCurrentDirectory failed "));
}

void chdir(const WinPath& path)
{
    if (!SetCurrentDirectoryW(path.str().c_str()))
        throwLastError(L"WinAPI::chdir() failed.");
}

SplitPath splitpath(const WinPath& path)
{
    // Pure text split in the manner of _wsplitpath, without its length limits.
    const std::wstring& t = path.str();
    SplitPath parts;
    size_t pos = 0;
    if (t.size() >= 2 && t[1] == L':') {
        parts.drive = t.substr(0, 2);
        pos = 2;
    }
    size_t lastSep = t.find_last_of(L"\\/");
    if (lastSep != std::wstring::npos && lastSep >= pos) {
        parts.dir = t.substr(pos, lastSep + 1 - pos);
        pos = lastSep + 1;
    }
    std::wstring file = t.substr(pos);
    size_t dot = file.rfind(L'.');
    if (dot == std::wstring::npos) {
        parts.name = file;
    } else {
        parts.name = file.substr(0, dot);
        parts.ext = file.substr(dot);
    }
    return parts;
}

WinPath findExecutable(const WinPath& file, const WinPath& dir)
{
    wchar_t result[MAX_PATH + 1] = {};  // FindExecutable's documented buffer size
    HINSTANCE code = FindExecutableW(file.str().c_str(), dir.empty() ? nullptr : dir.str().c_str(), result);
    if (reinterpret_cast<INT_PTR>(code) <= 32) {
        SetLastError(static_cast<DWORD>(reinterpret_cast<INT_PTR>(code)));
        throwLastError(L"WinAPI::findExecutable() failed.");
    }
    return WinPath(result);
}

WinPath searchPath(const std::wstring& name)
{
    std::wstring found = fetchString(
        [&](wchar_t* b, DWORD n) { return SearchPathW(nullptr, name.c_str(), nullptr, n, b, nullptr); },
        L"WinAPI::searchPath() failed.");
    if (found.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        throwLastError(L"WinAPI::searchPath() failed.");
    }
    return WinPath(found);
}

WinPath getLongPathName(const WinPath& path)
{
    return WinPath(fetchString([&](wchar_t* b, DWORD n) { return GetLongPathNameW(path.str().c_str(), b, n); },
                               L"WinAPI::getLongPathName() failed."));
}

WinPath getShortPathName(const WinPath& path)
{
    return WinPath(fetchString([&](wchar_t* b, DWORD n) { return GetShortPathNameW(path.str().c_str(), b, n); },
                               L"WinAPI::getShortPathName() failed."));
}

} // namespace WinAPI

namespace ZelUt {
namespace detail {

WinAPI::FileHandle openExistingFile(const WinPath& path, DWORD access, DWORD share, DWORD flags)
{
    return WinAPI::createNamed(path, access, share, OPEN_EXISTING, flags, false);
}

bool readAt(HANDLE file, uint64_t offset, void* out, DWORD length, DWORD& got)
{
    OVERLAPPED position = {};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    got = 0;
    return ReadFile(file, out, length, &got, &position) || GetLastError() == ERROR_HANDLE_EOF;
}

} // namespace detail
} // namespace ZelUt
