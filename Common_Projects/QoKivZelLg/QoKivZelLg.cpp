#include "QoKivZelLg.h"

#include <windows.h>

#include <cstdio>
#include <mutex>
#include <string>

namespace {

std::mutex g_lock;
ZelLgSink g_sink = nullptr;
void* g_sinkContext = nullptr;
HANDLE g_file = INVALID_HANDLE_VALUE;

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

std::string toUtf8(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n,
                            nullptr, nullptr);
    return out;
}

// One entry, one line: embedded line breaks are written as \n and \r.
std::wstring formatLine(const ZelLgEntry& e)
{
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t head[128];
    swprintf(head, 128, L"%04u-%02u-%02u %02u:%02u:%02u.%03u [%lu:%lu] ", t.wYear, t.wMonth, t.wDay,
             t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, e.processId, e.threadId);
    std::wstring line(head);
    line += e.component ? e.component : L"?";
    line += L' ';
    line += std::to_wstring(e.level);
    line += L' ';
    line += e.type == L' ' ? L'I' : e.type;
    line += e.debug ? L" D " : L" - ";
    for (const wchar_t* p = e.text ? e.text : L""; *p; ++p) {
        if (*p == L'\n')
            line += L"\\n";
        else if (*p == L'\r')
            line += L"\\r";
        else
            line += *p;
    }
    line += L"\r\n";
    return line;
}

HANDLE openLogFile()
{
    if (g_file == INVALID_HANDLE_VALUE && location().valid)
        g_file = CreateFileW(location().file.c_str(), FILE_APPEND_DATA,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    return g_file;
}

} // namespace

extern "C" void ZelLgWrite(const wchar_t* component, int level, wchar_t type, int debug,
                           const wchar_t* text)
{
    DWORD savedError = GetLastError();
    ZelLgEntry entry{component, level, type, debug, text, GetCurrentProcessId(), GetCurrentThreadId()};
    std::string line = toUtf8(formatLine(entry));
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
    if (g_file != INVALID_HANDLE_VALUE && location().file == path) {
        CloseHandle(g_file);
        g_file = INVALID_HANDLE_VALUE;
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
