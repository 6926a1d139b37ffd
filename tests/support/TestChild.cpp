// qkz_testchild: a small program the suites start as a real second process.
//   hold FILE MILLISECONDS EVENT  open FILE without any sharing, signal EVENT, wait, exit
//   exit CODE                     exit with CODE
//   echo                          copy standard input to standard output
//   flood BYTES [CHUNK]           write BYTES to stdout and to stderr, interleaved, CHUNK (4096) at a time
//   spew                          write to stdout without end
//   print TEXT                    write TEXT as narrow bytes to stdout
//   wide                          write a UTF-16 text to stdout
//   sleep MILLISECONDS            sleep, then exit 0
//   crash                         end by an unhandled access violation
//   spawn COMMANDLINE             start COMMANDLINE (one argument) as a child of its own, print its id, exit
//   run COMMANDLINE               start COMMANDLINE with this program's standard handles, exit with its exit code
//   setevent HANDLE               set the event an inherited HANDLE (a number) names; exit 1 when it names none
//   pipemessage PIPE BYTES        write one message of BYTES bytes to PIPE, then wait to be killed
//   load DLL MILLISECONDS EVENT   load DLL, show a window titled "QKZ locking window", signal EVENT, wait
//   map FILE MILLISECONDS EVENT   map FILE into memory (no window), signal EVENT, wait
#include <windows.h>

#include <cwchar>
#include <string>
#include <cstdlib>

namespace {

void signal(const wchar_t* eventName);

int hold(const wchar_t* file, DWORD ms, const wchar_t* eventName)
{
    HANDLE h = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 10;
    signal(eventName);
    Sleep(ms);
    CloseHandle(h);
    return 0;
}

int echo()
{
    char buffer[4096];
    DWORD got = 0, written = 0;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE), out = GetStdHandle(STD_OUTPUT_HANDLE);
    while (ReadFile(in, buffer, sizeof(buffer), &got, nullptr) && got > 0)
        if (!WriteFile(out, buffer, got, &written, nullptr))
            return 11;
    return 0;
}

void signal(const wchar_t* eventName)
{
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
    if (ready) {
        SetEvent(ready);
        CloseHandle(ready);
    }
}

void pumpFor(DWORD ms)
{
    DWORD end = GetTickCount() + ms;
    MSG msg;
    while (static_cast<LONG>(end - GetTickCount()) > 0) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageW(&msg);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
}

int load(const wchar_t* dll, DWORD ms, const wchar_t* eventName)
{
    if (!LoadLibraryW(dll))
        return 15;
    HWND window = CreateWindowW(L"STATIC", L"QKZ locking window", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                nullptr, nullptr, nullptr);
    if (!window)
        return 16;
    ShowWindow(window, SW_SHOW);
    signal(eventName);
    pumpFor(ms);
    return 0;
}

int map(const wchar_t* file, DWORD ms, const wchar_t* eventName)
{
    HANDLE h = CreateFileW(file, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    HANDLE mapping = h != INVALID_HANDLE_VALUE ? CreateFileMappingW(h, nullptr, PAGE_READONLY, 0, 0, nullptr) : nullptr;
    void* view = mapping ? MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : nullptr;
    if (!view)
        return 17;
    signal(eventName);
    Sleep(ms);
    return 0;
}

int flood(unsigned long bytes, unsigned long chunkSize)
{
    char* chunk = static_cast<char*>(HeapAlloc(GetProcessHeap(), 0, chunkSize ? chunkSize : 1));
    if (!chunk || !chunkSize)
        return 13;
    for (size_t i = 0; i < chunkSize; ++i)
        chunk[i] = static_cast<char>('A' + i % 26);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE), err = GetStdHandle(STD_ERROR_HANDLE);
    for (unsigned long done = 0; done < bytes;) {
        DWORD n = static_cast<DWORD>(bytes - done < chunkSize ? bytes - done : chunkSize), w = 0;
        if (!WriteFile(out, chunk, n, &w, nullptr) || !WriteFile(err, chunk, n, &w, nullptr))
            return 12;
        done += n;
    }
    return 0;
}

int spew()
{
    char chunk[65536];
    for (size_t i = 0; i < sizeof(chunk); ++i)
        chunk[i] = static_cast<char>('A' + i % 26);
    DWORD w = 0;
    while (WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), chunk, sizeof(chunk), &w, nullptr)) {
    }
    return 12;
}

int print(const wchar_t* text)
{
    char narrow[1024];
    int n = WideCharToMultiByte(CP_ACP, 0, text, -1, narrow, sizeof(narrow), nullptr, nullptr);
    DWORD w = 0;
    return n > 0 && WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), narrow, n - 1, &w, nullptr) ? 0 : 13;
}

int wide()
{
    const wchar_t text[] = L"wide \u00fc\u4e2d\n";
    DWORD w = 0;
    return WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, sizeof(text) - sizeof(wchar_t), &w, nullptr) ? 0 : 14;
}

int pipeMessage(const wchar_t* pipe, unsigned long bytes)
{
    HANDLE end = CreateFileW(pipe, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    std::string message(bytes, 'w');
    DWORD written = 0;
    WriteFile(end, message.data(), bytes, &written, nullptr);
    Sleep(INFINITE);
    return 0;
}

int spawn(const wchar_t* commandLine, bool waitForIt)
{
    std::wstring line = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, waitForIt, 0, nullptr, nullptr, &startup, &info))
        return 10;
    CloseHandle(info.hThread);
    DWORD code = 0;
    if (waitForIt) {
        WaitForSingleObject(info.hProcess, INFINITE);
        GetExitCodeProcess(info.hProcess, &code);
    }
    CloseHandle(info.hProcess);
    return waitForIt ? static_cast<int>(code) : print(std::to_wstring(info.dwProcessId).c_str());
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    auto number = [&](int i, int base = 10) { return std::wcstoul(argv[i], nullptr, base); };
    if (argc == 5 && (mode == L"hold" || mode == L"load" || mode == L"map"))
        return (mode == L"hold" ? hold : mode == L"load" ? load : map)(argv[2], number(3), argv[4]);
    if (argc == 3 && mode == L"exit")
        return static_cast<int>(number(2, 0));
    if ((argc == 3 || argc == 4) && mode == L"flood")
        return flood(number(2), argc == 4 ? number(3) : 4096);
    if (argc == 3 && mode == L"print")
        return print(argv[2]);
    if (argc == 4 && mode == L"pipemessage")
        return pipeMessage(argv[2], number(3));
    if (argc == 3 && mode == L"sleep") {
        Sleep(number(2));
        return 0;
    }
    if (argc == 2 && mode == L"echo")
        return echo();
    if (argc == 2 && mode == L"spew")
        return spew();
    if (argc == 2 && mode == L"wide")
        return wide();
    if (argc == 3 && (mode == L"spawn" || mode == L"run"))
        return spawn(argv[2], mode == L"run");
    if (argc == 3 && mode == L"setevent")
        return SetEvent(reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::wcstoull(argv[2], nullptr, 10)))) ? 0 : 1;
    if (argc == 2 && mode == L"crash") {
        // Raised, not caused: under emulation Wine reports every fault of
        // 32-bit code as an illegal instruction.
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        return 98;
    }
    return 99;
}
