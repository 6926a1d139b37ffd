// qkz_testchild: a small program the suites start as a real second process.
//   hold FILE MILLISECONDS EVENT  open FILE without any sharing, signal EVENT, wait, exit
//   exit CODE                     exit with CODE
//   echo                          copy standard input to standard output
//   flood BYTES [CHUNK]           write BYTES to stdout and to stderr, interleaved, CHUNK (4096) at a time
//   spew                          write to stdout without end
//   print TEXT                    write TEXT as narrow bytes to stdout
//   wide                          write a UTF-16 text to stdout
//   sleep MILLISECONDS            sleep, then exit 0
//   crash                         read through a null pointer
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

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && std::wcscmp(argv[1], L"hold") == 0)
        return hold(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)), argv[4]);
    if (argc == 5 && std::wcscmp(argv[1], L"load") == 0)
        return load(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)), argv[4]);
    if (argc == 5 && std::wcscmp(argv[1], L"map") == 0)
        return map(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)), argv[4]);
    if (argc == 3 && std::wcscmp(argv[1], L"exit") == 0)
        return static_cast<int>(std::wcstoul(argv[2], nullptr, 0));
    if (argc == 2 && std::wcscmp(argv[1], L"echo") == 0)
        return echo();
    if ((argc == 3 || argc == 4) && std::wcscmp(argv[1], L"flood") == 0)
        return flood(std::wcstoul(argv[2], nullptr, 10), argc == 4 ? std::wcstoul(argv[3], nullptr, 10) : 4096);
    if (argc == 2 && std::wcscmp(argv[1], L"spew") == 0)
        return spew();
    if (argc == 3 && std::wcscmp(argv[1], L"print") == 0)
        return print(argv[2]);
    if (argc == 2 && std::wcscmp(argv[1], L"wide") == 0)
        return wide();
    if (argc == 4 && std::wcscmp(argv[1], L"pipemessage") == 0)
        return pipeMessage(argv[2], std::wcstoul(argv[3], nullptr, 10));
    if (argc == 2 && std::wcscmp(argv[1], L"crash") == 0)
        return *static_cast<volatile int*>(nullptr);
    if (argc == 3 && std::wcscmp(argv[1], L"sleep") == 0) {
        Sleep(std::wcstoul(argv[2], nullptr, 10));
        return 0;
    }
    return 99;
}
