#include "QoKivZelLg.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <mutex>
#include <string>

namespace {

std::mutex g_lock;
ZelLgSink g_sink = nullptr;
void* g_sinkContext = nullptr;
HANDLE g_file = INVALID_HANDLE_VALUE;
bool g_fileRefused = false;  // the log name is a link: not opened again for every entry

std::wstring environmentValue(const wchar_t* name)
{
    std::wstring value(256, L'\0');
    for (;;) {
        DWORD n = GetEnvironmentVariableW(name, &value[0], static_cast<DWORD>(value.size()));
        if (n == 0)
            return std::wstring();
        if (n < value.size()) {
            value.resize(n);
            return value;
        }
        value.resize(n);
    }
}

bool createDirectories(const std::wstring& dir)
{
    if (dir.empty())
        return false;
    DWORD attributes = GetFileAttributesW(dir.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    size_t cut = dir.find_last_of(L"\\/");
    if (cut != std::wstring::npos && cut > 2)
        createDirectories(dir.substr(0, cut));
    return CreateDirectoryW(dir.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

std::wstring chooseLogDir()
{
    std::wstring dir = environmentValue(L"QOKIVZEL_LOGDIR");
    if (dir.empty()) {
        std::wstring local = environmentValue(L"LOCALAPPDATA");
        if (!local.empty())
            dir = local + L"\\QoKivZel\\Logs";
    }
    if (!dir.empty() && createDirectories(dir))
        return dir;
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    if (n == 0 || n > MAX_PATH)
        return std::wstring();
    dir.assign(temp, n);
    while (!dir.empty() && dir.back() == L'\\')
        dir.pop_back();
    return createDirectories(dir) ? dir : std::wstring();
}

struct LogLocation {
    std::wstring dir;
    std::wstring file;
    bool valid = false;
};

const LogLocation& location()
{
    static const LogLocation loc = [] {
        LogLocation l;
        l.dir = chooseLogDir();
        l.valid = !l.dir.empty();
        if (l.valid)
            l.file = l.dir + L"\\QoKivZel.log";
        return l;
    }();
    return loc;
}

// Appends the UTF-8 form of a wide text.
void appendUtf8(std::string& out, const wchar_t* text, size_t length)
{
    if (length == 0)
        return;
    size_t at = out.size();
    out.resize(at + length * 3);  // the most UTF-8 one UTF-16 unit needs
    int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), &out[at], static_cast<int>(length * 3),
                                nullptr, nullptr);
    out.resize(at + (n > 0 ? n : 0));
}

void appendNumber(std::string& out, unsigned long value, int width)
{
    char digits[16];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value);
    for (int i = n; i < width; ++i)
        out += '0';
    while (n)
        out += digits[--n];
}

// One entry, one line, UTF-8: embedded line breaks are written as \n and \r.
void formatLine(std::string& line, const ZelLgEntry& e)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    line.clear();
    appendNumber(line, t.wYear, 4);
    line += '-';
    appendNumber(line, t.wMonth, 2);
    line += '-';
    appendNumber(line, t.wDay, 2);
    line += ' ';
    appendNumber(line, t.wHour, 2);
    line += ':';
    appendNumber(line, t.wMinute, 2);
    line += ':';
    appendNumber(line, t.wSecond, 2);
    line += '.';
    appendNumber(line, t.wMilliseconds, 3);
    line += " [";
    appendNumber(line, e.processId, 0);
    line += ':';
    appendNumber(line, e.threadId, 0);
    line += "] ";
    const wchar_t* component = e.component ? e.component : L"?";
    appendUtf8(line, component, wcslen(component));
    line += ' ';
    appendNumber(line, static_cast<unsigned long>(e.level), 0);
    line += ' ';
    wchar_t type = e.type == L' ' ? L'I' : e.type;
    appendUtf8(line, &type, 1);
    line += e.debug ? " D " : " - ";
    const wchar_t* text = e.text ? e.text : L"";
    for (const wchar_t* p = text;; ++p) {  // runs between line breaks at once
        const wchar_t* end = p;
        while (*end && *end != L'\n' && *end != L'\r')
            ++end;
        appendUtf8(line, p, static_cast<size_t>(end - p));
        if (!*end)
            break;
        line += *end == L'\n' ? "\\n" : "\\r";
        p = end;
    }
    line += "\r\n";
}

// A log name that is a link (a second name of a file elsewhere, or a link the
// system follows) is not written through: in a directory others may write to,
// it would let them pick the file that gets this process's lines.
bool isOwnFile(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(file, &info) && info.nNumberOfLinks == 1 &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

HANDLE openLogFile()
{
    if (g_file == INVALID_HANDLE_VALUE && location().valid && !g_fileRefused) {
        g_file = CreateFileW(location().file.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (g_file != INVALID_HANDLE_VALUE && !isOwnFile(g_file)) {
            CloseHandle(g_file);
            g_file = INVALID_HANDLE_VALUE;
            g_fileRefused = true;
        }
    }
    return g_file;
}

} // namespace

extern "C" void ZelLgWrite(const wchar_t* component, int level, wchar_t type, int debug,
                           const wchar_t* text)
{
    DWORD savedError = GetLastError();
    ZelLgEntry entry{component, level, type, debug, text, GetCurrentProcessId(), GetCurrentThreadId()};
    static thread_local std::string line;
    formatLine(line, entry);
    {
        std::lock_guard<std::mutex> guard(g_lock);
        if (g_sink)
            g_sink(&entry, g_sinkContext);
        HANDLE file = openLogFile();
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
    }
    SetLastError(savedError);
}

extern "C" const wchar_t* ZelLgGetLogDir(void)
{
    return location().valid ? location().dir.c_str() : nullptr;
}

extern "C" const wchar_t* ZelLgGetLogFile(void)
{
    return location().valid ? location().file.c_str() : nullptr;
}

extern "C" int ZelLgBackupFile(const wchar_t* path)
{
    if (!path || !*path)
        return 0;
    if (GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES)
        return 1;
    std::wstring backup = std::wstring(path) + L".bak";
    std::lock_guard<std::mutex> guard(g_lock);
    // The shared log itself is held open by this library: close it so it can move.
    if (location().file == path) {
        if (g_file != INVALID_HANDLE_VALUE)
            CloseHandle(g_file);
        g_file = INVALID_HANDLE_VALUE;
        g_fileRefused = false;  // the name is free for a file of this process's own
    }
    return MoveFileExW(path, backup.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) ? 1 : 0;
}

extern "C" void ZelLgSetSink(ZelLgSink sink, void* context)
{
    std::lock_guard<std::mutex> guard(g_lock);
    g_sink = sink;
    g_sinkContext = context;
}

#ifndef QOKIVZELLG_STATIC
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr && g_file != INVALID_HANDLE_VALUE) {
        CloseHandle(g_file);
        g_file = INVALID_HANDLE_VALUE;
    }
    return TRUE;
}
#endif
