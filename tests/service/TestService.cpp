// qkz_testservice: a service the suites install and drive. Its start arguments,
// or the arguments of its binary path, say how it behaves:
//   record=PATH       writes its arguments, '|'-separated, to PATH
//   ignore-stop       answers STOP by doing nothing
//   fail-start=CODE   stops during start-up with the service-specific exit code CODE
//   slow-start=MS     reports start pending for MS milliseconds first
//   slow-stop=MS      reports stop pending for MS milliseconds after STOP
#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

namespace {

SERVICE_STATUS_HANDLE g_status = nullptr;
std::vector<std::wstring> g_programArguments;
HANDLE g_stop = nullptr;
bool g_ignoreStop = false;
DWORD g_stopDelay = 0;

void report(DWORD state, DWORD exitCode = NO_ERROR, DWORD specific = 0)
{
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = specific;
    status.dwWaitHint = 3000;
    SetServiceStatus(g_status, &status);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*)
{
    if (code == SERVICE_CONTROL_STOP && !g_ignoreStop) {
        report(SERVICE_STOP_PENDING);
        SetEvent(g_stop);
    }
    return NO_ERROR;
}

bool option(const wchar_t* argument, const wchar_t* name, std::wstring& value)
{
    size_t length = std::wcslen(name);
    if (std::wcsncmp(argument, name, length) != 0)
        return false;
    value = argument + length;
    return true;
}

void WINAPI serviceMain(DWORD argc, wchar_t** argv)
{
    g_status = RegisterServiceCtrlHandlerExW(argc ? argv[0] : L"", control, nullptr);
    g_stop = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    report(SERVICE_START_PENDING);
    std::wstring value, all;
    std::vector<const wchar_t*> options;
    for (DWORD i = 0; i < argc; ++i) {
        all += (i ? L"|" : L"") + std::wstring(argv[i]);
        if (i > 0)
            options.push_back(argv[i]);
    }
    for (const std::wstring& argument : g_programArguments)
        options.push_back(argument.c_str());
    for (const wchar_t* argument : options) {
        if (option(argument, L"ignore-stop", value))
            g_ignoreStop = true;
        else if (option(argument, L"slow-stop=", value))
            g_stopDelay = std::wcstoul(value.c_str(), nullptr, 10);
    }
    for (const wchar_t* argument : options) {
        if (option(argument, L"record=", value)) {
            HANDLE file = CreateFileW(value.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            DWORD written = 0;
            WriteFile(file, all.data(), static_cast<DWORD>(all.size() * sizeof(wchar_t)), &written, nullptr);
            CloseHandle(file);
        } else if (option(argument, L"slow-start=", value)) {
            Sleep(std::wcstoul(value.c_str(), nullptr, 10));
        } else if (option(argument, L"fail-start=", value)) {
            Sleep(200);
            report(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, std::wcstoul(value.c_str(), nullptr, 10));
            return;
        }
    }
    report(SERVICE_RUNNING);
    WaitForSingleObject(g_stop, INFINITE);
    Sleep(g_stopDelay);
    report(SERVICE_STOPPED);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    g_programArguments.assign(argv + 1, argv + argc);
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(L"qkz_testservice"), serviceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
