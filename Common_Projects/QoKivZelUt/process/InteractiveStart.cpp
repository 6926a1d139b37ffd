// Starting a program as the interactive user (through the desktop shell, or
// with the shell's token) and through the elevation prompt.
#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/SystemQueries.h>

#include "foundation/ComPtr.h"
#include "foundation/Log.h"
#include "process/InheritOnly.h"
#include "process/ProcessSnapshot.h"
#include "process/SessionApi.h"
#include "security/TokenPrivilege.h"

#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shlwapi.h>

#include <shellapi.h>
#include <userenv.h>

#include <set>

// IShellDispatch2::ShellExecute, not the ANSI/Unicode macro of the same name.
#undef ShellExecute

namespace ZelUt {

using detail::ComPtr;

namespace {

const DWORD kElevatedMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI | SEE_MASK_UNICODE | SEE_MASK_NO_CONSOLE |
                            SEE_MASK_WAITFORINPUTIDLE;
static_assert(kElevatedMask == 0x0200C440, "the elevated start's mask");

// How long a program the shell started is looked for among the new processes.
const ULONGLONG kShellStartLookMs = 2000;

struct DestroyEnvironmentBlockClass {
    static void close(void* block) { ::DestroyEnvironmentBlock(block); }
};
using EnvironmentBlock = WinAPI::AutoHandle<DestroyEnvironmentBlockClass, void*>;

// The user's own environment (profile, temporary directory, variables): a
// program started with the user's token from a service would otherwise get
// the service's. Null, with a warning, when the system cannot build it; the
// program then inherits this process's environment.
EnvironmentBlock environmentOf(HANDLE token)
{
    void* block = nullptr;
    if (::CreateEnvironmentBlock(&block, token, FALSE))
        return EnvironmentBlock(block);
    ZEL_LOG_WARNING << L"The interactive user's environment cannot be built: " << ErrorW32(::GetLastError())
                    << L"; the program gets this process's";
    return EnvironmentBlock();
}

// The ids of the processes running from an image of this file name.
std::set<DWORD> runningAs(const WinPath& image)
{
    std::set<DWORD> ids;
    detail::ProcessSnapshot().find([&](const PROCESSENTRY32W& entry) {
        if (_wcsicmp(entry.szExeFile, image.str().c_str()) == 0)
            ids.insert(entry.th32ProcessID);
        return false;
    });
    return ids;
}

// A process of the program's image that is not among the earlier ones and,
// when a full path names the program, runs that file; looked for a while.
// Invalid when none appears or it cannot be opened; `id` is its id.
WinAPI::FileHandle newInstance(const WinPath& program, const std::set<DWORD>& earlier, DWORD& id)
{
    for (ULONGLONG end = GetTickCount64() + kShellStartLookMs;; Sleep(50)) {
        for (DWORD candidate : runningAs(program.getFileName())) {
            if (earlier.count(candidate))
                continue;
            bool runsIt = false;
            WinAPI::FileHandle process = detail::openProcessRunning(candidate, PROCESS_ALL_ACCESS, program, runsIt);
            if (runsIt) {
                if (!process.valid())
                    ZEL_LOG_WARNING << L"OpenProcess() failed: " << ErrorW32(GetLastError());
                id = candidate;
                return process;
            }
        }
        if (GetTickCount64() >= end)
            return WinAPI::FileHandle();
    }
}

// "scheme://" at the start: an address the shell opens, not a file.
bool isAddress(const std::wstring& text)
{
    size_t scheme = 0;
    while (scheme < text.size() && ((text[scheme] >= L'a' && text[scheme] <= L'z') ||
                                    (text[scheme] >= L'A' && text[scheme] <= L'Z') ||
                                    (text[scheme] >= L'0' && text[scheme] <= L'9')))
        ++scheme;
    return scheme > 0 && text.compare(scheme, 3, L"://") == 0;
}

// The step's failure: the code is the low 16 bits of the HRESULT.
void succeed(HRESULT result, const wchar_t* step)
{
    if (FAILED(result))
        throw CZelException(HRESULT_CODE(result), step);
}

// A step that must also have answered with an interface. The pointer is read
// only here, after the call that fills it has run.
template <class T>
void succeed(HRESULT result, const ComPtr<T>& answer, const wchar_t* step)
{
    succeed(result, step);
    if (!answer)
        throw CZelException(HRESULT_CODE(E_FAIL), step);
}

struct Variant {
    VARIANT value;
    Variant() { VariantInit(&value); }
    explicit Variant(const std::wstring& text)
    {
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    explicit Variant(long number)
    {
        VariantInit(&value);
        value.vt = VT_I4;
        value.lVal = number;
    }
    ~Variant() { VariantClear(&value); }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
};

unsigned long lastErrorOr(unsigned long fallback)
{
    DWORD error = GetLastError();
    return error ? error : fallback;
}

// The session whose user a token start serves: this program's own, or, from
// the services' session 0 where nobody is logged on, the one at the console.
// Every user of a terminal server runs a shell of the same name and file:
// only the one of that session is the interactive user's.
unsigned long interactiveSession()
{
    unsigned long own = WtsHelper::getSessionId(GetCurrentProcessId());
    return own != 0 ? own : WTSGetActiveConsoleSessionId();
}

} // namespace


void Process::programAndArguments(std::wstring& program, std::wstring& arguments)
{
    try {
        resolve();
    } catch (const CZelException& e) {
        // A program that is not there: the caller's existence check names it.
        if (e.getErrorCode() != ERROR_FILE_NOT_FOUND && e.getErrorCode() != ERROR_PATH_NOT_FOUND)
            throw;
        program = m_executable.str();
        arguments = m_arguments;
        return;
    }
    if (!m_resolvedExecutable.empty()) {
        program = m_resolvedExecutable.str();
        arguments = m_arguments;
        return;
    }
    std::vector<std::wstring> parts = WinAPI::commandLineToArgv(getCommandline());
    program.clear();
    arguments.clear();
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i == 0)
            program = parts[0];
        else
            arguments += (i > 1 ? L" " : L"") + quoteArgument(parts[i]);
    }
}

// An empty program is no program (the system would start this one again).
void Process::requireProgram(const std::wstring& program, const wchar_t* operation, bool addressAllowed) const
{
    if (addressAllowed && isAddress(program))
        return;
    if (program.empty() || !WinPath(program).exists())
        throw CZelException(ERROR_FILE_NOT_FOUND,
                            std::wstring(operation) + L" failed: '" + program + L"' does not exist.");
}

bool Process::startAsInteractiveUser(bool hidden)
{
    std::wstring program, arguments;
    programAndArguments(program, arguments);
    requireProgram(program, L"startAsInteractiveUser()", true);
    if (!CZelTools::IsAnyLogonSessionActive())
        return false;
    logExecuting(L"as interactive user");
    try {
        return startAsInteractiveUserViaExplorerAutomation(hidden, program, arguments);
    } catch (const CZelException& e) {
        ZEL_LOG_INFO << L"Starting via explorer automation failed: " << e.getFullText();
        return startAsInteractiveUserViaProcessToken(hidden, m_workingDirectory.str());
    }
}

bool Process::startAsInteractiveUserOpenBrowser()
{
    if (m_target.empty())
        throw CZelException(ERROR_FILE_NOT_FOUND, L"startAsInteractiveUserOpenBrowser() failed: '' does not exist.");
    if (!CZelTools::IsAnyLogonSessionActive())
        return false;
    return startAsInteractiveUserViaExplorerAutomation(false, m_target, std::wstring());
}

bool Process::startAsInteractiveUserViaExplorerAutomation(bool hidden, const std::wstring& file,
                                                          const std::wstring& arguments)
{
    ComPtr<IShellWindows> windows;
    succeed(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows, windows.putVoid()),
            windows, L"CoCreateInstance(ShellWindows) failed");
    Variant location, root;
    long window = 0;
    ComPtr<IDispatch> desktop;
    succeed(windows->FindWindowSW(&location.value, &root.value, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH, desktop.put()),
            desktop, L"FindWindowSW() failed");
    ComPtr<IShellBrowser> browser;
    succeed(IUnknown_QueryService(desktop.get(), SID_STopLevelBrowser, IID_IShellBrowser, browser.putVoid()),
            browser, L"QueryService() failed");
    ComPtr<IShellView> view;
    succeed(browser->QueryActiveShellView(view.put()), view, L"QueryActiveShellView() failed");
    ComPtr<IDispatch> background;
    succeed(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.putVoid()), background,
            L"GetItemObject() failed");
    ComPtr<IShellFolderViewDual> folderView;
    succeed(background->QueryInterface(IID_IShellFolderViewDual, folderView.putVoid()), folderView,
            L"QueryInterface<IShellFolderViewDual>() failed");
    ComPtr<IDispatch> application;
    succeed(folderView->get_Application(application.put()), application, L"get_Application() failed");
    ComPtr<IShellDispatch2> shell;
    succeed(application->QueryInterface(IID_IShellDispatch2, shell.putVoid()), shell,
            L"QueryInterface<IShellDispatch2>() failed");

    // The shell hands back no handle: the program is the process of its image
    // that was not running before, never another one of the same name or file name.
    const WinPath image = m_target.empty() ? WinPath(file).getFileName() : WinPath();
    const std::set<DWORD> earlier = image.empty() ? std::set<DWORD>() : runningAs(image);
    forgetEarlierRun();
    ATL::CComBSTR fileText(file.c_str());
    Variant args(arguments), directory(m_workingDirectory.str()), operation(std::wstring(L"open")),
        show(static_cast<long>(hidden ? SW_HIDE : SW_SHOWDEFAULT));
    HRESULT result = shell->ShellExecute(fileText.m_str, args.value, directory.value, operation.value, show.value);
    succeed(result, L"ShellExecute() failed");

    DWORD started = 0;
    WinAPI::FileHandle process = image.empty() ? WinAPI::FileHandle() : newInstance(WinPath(file), earlier, started);
    if (process.valid()) {
        m_process = std::move(process);
        m_processId = started;
    } else if (!image.empty() && !started)
        ZEL_LOG_INFO << L"Process " << image << L" started by the shell was not found running.";
    if (m_process.valid())
        WaitForInputIdle(m_process, 1000);
    return true;
}

bool Process::startAsInteractiveUserViaProcessToken(bool hidden, const std::wstring& workingDirectory)
{
    resolve();
    WinPath shellPath;
    try {
        shellPath = CZelTools::getInteractiveShellPath();
    } catch (const CZelException&) {
        // no shell configured
    }
    if (shellPath.empty())
        throw CZelException(ERROR_FILE_NOT_FOUND, L"Could not determine path of interactive shell.");
    Process shell(shellPath);
    const unsigned long session = interactiveSession();
    shell.openRunning(PROCESS_QUERY_INFORMATION, [session](unsigned long processId) {
        try {
            return WtsHelper::getSessionId(processId) == session;
        } catch (const CZelException&) {
            return false;  // a process of no known session is in none
        }
    });
    if (!shell)
        throw CZelException(lastErrorOr(ERROR_NOT_FOUND), L"Could not open process handle of " + shellPath.str());

    HANDLE rawToken = nullptr;
    if (!sessionApi().openProcessToken(shell.getHandle(), TOKEN_ASSIGN_PRIMARY | TOKEN_DUPLICATE | TOKEN_QUERY,
                                       rawToken))
        throw CZelException(GetLastError(), L"Could not open process token of " + shellPath.str());
    WinAPI::FileHandle token(rawToken);
    HANDLE rawDuplicate = nullptr;
    if (!sessionApi().duplicatePrimaryToken(token, rawDuplicate))
        throw CZelException(GetLastError(), L"Could not duplicate shell token.");
    WinAPI::FileHandle duplicate(rawDuplicate);
    detail::ThreadImpersonation impersonation([&] { return sessionApi().impersonateLoggedOnUser(duplicate); },
                                              L"ImpersonateLoggedOnUser() failed.");

    STARTUPINFOEXW startup = {};
    ChildEnds ends;  // closed in the parent on every path out of here
    prepareCreateProcessArguments(startup.StartupInfo, hidden, ends);
    detail::InheritOnly inherit(startup, {ends.input.get(), ends.output.get(), ends.error.get()});
    wchar_t desktop[] = L"winsta0\\default";
    startup.StartupInfo.lpDesktop = desktop;
    logExecuting(L"as interactive user");
    std::wstring commandLine = getCommandline();
    const EnvironmentBlock environment = environmentOf(duplicate);
    PROCESS_INFORMATION info = {};
    if (!sessionApi().createProcessAsUser(duplicate, m_resolvedExecutable.empty() ? nullptr : m_resolvedExecutable.str().c_str(),
                                          &commandLine[0],
                                          (hidden ? CREATE_NO_WINDOW : 0) | detail::InheritOnly::kCreationFlag |
                                              CREATE_UNICODE_ENVIRONMENT,
                                          environment.valid() ? environment.get() : nullptr,
                                          workingDirectory.empty() ? nullptr : workingDirectory.c_str(),
                                          startup.StartupInfo, info)) {
        DWORD error = GetLastError();
        forgetEarlierRun();
        throw CZelException(error, L"CreateProcessAsUser() failed");
    }
    WinAPI::FileHandle thread(info.hThread);
    m_process = info.hProcess;
    m_processId = info.dwProcessId;
    WaitForInputIdle(m_process, 1000);
    return m_process.valid();
}

Process& Process::startElevated(bool hidden)
{
    WinAPI::WindowsVersion version = sessionApi().windowsVersion();
    if (version == WinAPI::WindowsVersion::WindowsXP || version == WinAPI::WindowsVersion::Server2003)
        return start(hidden);
    std::wstring program, arguments;
    programAndArguments(program, arguments);
    requireProgram(program, L"startElevated()", false);
    logExecuting(L"in elevated mode");
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = kElevatedMask;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = arguments.c_str();
    info.lpDirectory = m_workingDirectory.empty() ? nullptr : m_workingDirectory.str().c_str();
    info.nShow = hidden ? SW_HIDE : SW_SHOW;
    forgetEarlierRun();
    if (!ShellExecuteExW(&info))
        throw CZelException(GetLastError(), L"startElevated() failed.");
    m_process = info.hProcess;
    return *this;
}

} // namespace ZelUt
