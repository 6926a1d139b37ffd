// qkz_testchild: a small program the suites start as a real second process.
//   hold FILE MILLISECONDS EVENT  open FILE without any sharing, signal EVENT, wait, exit
//   exit CODE                     exit with CODE
//   echo                          copy standard input to standard output
#include <windows.h>

#include <cwchar>
#include <cstdlib>

namespace {

int hold(const wchar_t* file, DWORD ms, const wchar_t* eventName)
{
    HANDLE h = CreateFileW(file, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 10;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, eventName);
    if (ready) {
        SetEvent(ready);
        CloseHandle(ready);
    }
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

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && std::wcscmp(argv[1], L"hold") == 0)
        return hold(argv[2], static_cast<DWORD>(std::wcstoul(argv[3], nullptr, 10)), argv[4]);
    if (argc == 3 && std::wcscmp(argv[1], L"exit") == 0)
        return static_cast<int>(std::wcstoul(argv[2], nullptr, 0));
    if (argc == 2 && std::wcscmp(argv[1], L"echo") == 0)
        return echo();
    return 99;
}
