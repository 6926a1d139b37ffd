#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/Token.h>

#include "ProcessSnapshot.h"
#include "process/InheritOnly.h"
#include "foundation/CodePage.h"
#include "foundation/ErrorText.h"
#include "foundation/Log.h"

#include <dbghelp.h>
#include <shellapi.h>
#include <shlwapi.h>

#include <algorithm>
#include <chrono>

using ZelUt::detail::throwLastError;

namespace ZelUt {

namespace {

// Every occurrence of `what`, replaced by `with` taken literally (a path may
// hold '$', which a regular-expression replacement would read as a directive).
std::wstring replaceEvery(std::wstring text, const std::wstring& what, const std::wstring& with)
{
    for (size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
    return text;
}

// Opens another process with the debugging right enabled for the open only;
// the last error is the open's.
HANDLE openProcess(DWORD access, DWORD processId)
{
    HANDLE process = nullptr;
    DWORD error = 0;
    {
        CZelPrivilege debug(SE_DEBUG_NAME, true);
        process = OpenProcess(access, FALSE, processId);
        error = GetLastError();
    }
    SetLastError(error);
    return process;
}

// The full path of the image the opened process runs; empty when it cannot be read.
WinPath imageOf(HANDLE process)
{
    std::wstring path(32768, L'\0');
    DWORD size = static_cast<DWORD>(path.size());
    if (!QueryFullProcessImageNameW(process, 0, &path[0], &size))
        return WinPath();
    path.resize(size);
    return WinPath(path);
}

// Whether the opened process runs from the file `executable` names (the same
// file, whatever name either path gives it); false when that cannot be read.
bool runsImage(HANDLE process, const WinPath& executable)
{
    const WinPath image = imageOf(process);
    return !image.empty() && image == executable;
}

const unsigned long kNotStarted = 0xC0000008;
const DWORD kPollWhileIdleMs = 10;
const DWORD kTerminationWaitMs = 10000;
// Large pipe buffers let a child write on while the parent is between two drains.
const DWORD kPipeBufferBytes = 1024 * 1024;
// The most one read takes from a pipe.
const DWORD kReadChunkBytes = 1024 * 1024;

// The command of a document type's file association; empty when there is none.
std::wstring associationCommand(const std::wstring& extension)
{
    std::wstring ext = L"." + extension;
    DWORD size = 0;
    if (AssocQueryStringW(ASSOCF_NOTRUNCATE, ASSOCSTR_COMMAND, ext.c_str(), nullptr, nullptr, &size) != S_FALSE &&
        size == 0)
        return std::wstring();
    std::wstring command(size + 1, L'\0');
    DWORD length = static_cast<DWORD>(command.size());
    if (FAILED(AssocQueryStringW(ASSOCF_NOTRUNCATE, ASSOCSTR_COMMAND, ext.c_str(), nullptr, &command[0], &length)))
        return std::wstring();
    return command.c_str();
}

void createPipe(WinAPI::FileHandle& readEnd, WinAPI::FileHandle& writeEnd, SECURITY_ATTRIBUTES& security,
                const wchar_t* failure)
{
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &security, kPipeBufferBytes))
        throwLastError(failure);
    readEnd = r;
    writeEnd = w;
}

// The pipes are made with no end inheritable and only the child's end is made
// so: the parent's ends are never open to a child that another thread (or the
// caller) starts meanwhile.
void inheritable(HANDLE h, const wchar_t* failure)
{
    if (!SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        throwLastError(failure);
}

} // namespace

namespace detail {

// The check is made on the handle kept: a process that ends after a check by
// id leaves its id to one that may run anything. A process that runs the file
// but refuses the access wanted is told apart (the last error is the open's).
WinAPI::FileHandle openProcessRunning(DWORD processId, DWORD access, const WinPath& executable, bool& runsIt)
{
    const bool byFile = executable.isAbsolute();
    WinAPI::FileHandle process(openProcess(access | (byFile ? PROCESS_QUERY_LIMITED_INFORMATION : 0), processId));
    runsIt = !byFile || (process.valid() && runsImage(process, executable));
    if (!byFile || process.valid())
        return runsIt ? std::move(process) : WinAPI::FileHandle();
    const DWORD error = GetLastError();
    WinAPI::FileHandle query(openProcess(PROCESS_QUERY_LIMITED_INFORMATION, processId));
    runsIt = query.valid() && runsImage(query, executable);
    SetLastError(error);
    return process;
}

void InheritOnly::DeleteList::operator()(LPPROC_THREAD_ATTRIBUTE_LIST list) const
{
    DeleteProcThreadAttributeList(list);
}

InheritOnly::InheritOnly(STARTUPINFOEXW& startup, std::initializer_list<HANDLE> handles) : m_handles(handles)
{
    const wchar_t failure[] = L"Could not name the handles the child inherits.";
    SIZE_T bytes = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &bytes);
    m_buffer.resize(bytes);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(m_buffer.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &bytes))
        throwLastError(failure);
    m_list.reset(list);
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, m_handles.data(),
                                   m_handles.size() * sizeof(HANDLE), nullptr, nullptr))
        throwLastError(failure);
    startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
    startup.lpAttributeList = list;
}

} // namespace detail

Process::Process(const WinPath& executable, const std::wstring& arguments, const WinPath& workingDirectory)
    : m_executable(executable), m_arguments(arguments), m_workingDirectory(workingDirectory)
{
    makeSureWDIsNotTemp();
}

Process::Process(const WinPath& executable, const WinPath& workingDirectory)
    : m_executable(executable), m_workingDirectory(workingDirectory)
{
    makeSureWDIsNotTemp();
}

Process::Process(const std::wstring& commandLine, const WinPath& workingDirectory)
    : m_commandLine(commandLine), m_workingDirectory(workingDirectory)
{
    makeSureWDIsNotTemp();
}

Process::Process(const ATL::CComBSTR& target) : m_target(target.m_str ? target.m_str : L"")
{
    makeSureWDIsNotTemp();
}

Process::~Process() = default;

void Process::makeSureWDIsNotTemp()
{
    if (!m_workingDirectory.empty())
        return;
    try {
        if (WinAPI::getTempPath().contains(WinAPI::getCurrentDirectory()))
            m_workingDirectory = WinAPI::getWindowsDirectory();
    } catch (const CZelException&) {
        // Without a current or temporary directory there is nothing to avoid.
    }
}

WinPath Process::findExecutable()
{
    resolve();
    return m_resolvedExecutable;
}

std::wstring Process::getLogString() const
{
    if (!m_commandLine.empty())
        return m_commandLine;
    std::wstring text = m_executable.getQuoted();
    return m_arguments.empty() ? text : text + L" " + m_arguments;
}

std::wstring Process::getCommandline()
{
    resolve();
    if (!m_commandLine.empty())
        return m_commandLine;
    std::wstring text = m_resolvedExecutable.getQuoted();
    return m_arguments.empty() ? text : text + L" " + m_arguments;
}

void Process::resolve()
{
    if (!m_resolvedExecutable.empty() || m_executable.empty())
        return;
    const WinPath given = m_executable;
    if (!given.isAbsolute())
        ZEL_LOG_WARNING << L"Unsafe: creating process from relative path <" << given << L">";
    WinPath candidate = given.isAbsolute() && given.exists() && given.isExecutable() ? given : WinPath();
    if (candidate.empty() || !candidate.isExecutable()) {
        if (given.isAbsolute() && given.exists()) {
            candidate = given;
        } else {
            try {
                candidate = WinAPI::findExecutable(given, WinAPI::getSystemDirectory());
            } catch (const CZelException& e) {
                if (e.getErrorCode() != SE_ERR_NOASSOC)
                    throw;
                candidate = given;
            }
        }
    }
    m_resolvedExecutable = candidate;
    if (!candidate.isExecutable()) {
        std::wstring command = associationCommand(candidate.getExtension());
        if (!command.empty()) {
            if (command.find(L"%1") == std::wstring::npos)
                m_commandLine = command + L" " + m_executable.getQuoted();
            else
                m_commandLine = replaceEvery(command, L"%1", m_executable.str());
            m_resolvedExecutable = WinPath();
            m_executable = WinPath();
        }
    }
    ZEL_LOG_INFO << L"Path <" << given << L"> resolved to <"
                 << (m_resolvedExecutable.empty() ? getCommandline() : m_resolvedExecutable.str()) << L">.";
}

void Process::prepareCreateProcessArguments(STARTUPINFOW& startup, bool hidden, ChildEnds& ends)
{
    SECURITY_ATTRIBUTES security = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    forgetEarlierRun();
    createPipe(m_outputPipe, ends.output, security, L"Could not create reading pipe for stdout.");
    inheritable(ends.output, L"Could not set handle information for stdout.");
    createPipe(m_errorPipe, ends.error, security, L"Could not create reading pipe for stderr.");
    inheritable(ends.error, L"Could not set handle information for stderr.");
    // The child must see end of input once writeInput closes the parent's end,
    // so no copy of the parent's end may be inherited.
    createPipe(ends.input, m_inputPipe, security, L"Could not create writing pipe for stdin.");
    inheritable(ends.input, L"Could not create writing pipe for stdin.");

    startup = {};
    startup.cb = sizeof(STARTUPINFOW);
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = hidden ? SW_HIDE : SW_SHOWNORMAL;
    startup.hStdInput = ends.input;
    startup.hStdOutput = ends.output;
    startup.hStdError = ends.error;
}

void Process::forgetEarlierRun()
{
    m_output.clear();
    m_error.clear();
    m_outputLimitReached = false;
    m_process.release();
    m_processId = 0;
    m_outputPipe.release();
    m_errorPipe.release();
    closeInput();
}

void Process::logExecuting(const wchar_t* how) const
{
    const std::wstring suffix = *how ? std::wstring(L" ") + how : std::wstring();
    if (m_workingDirectory.empty())
        ZEL_LOG_INFO << L"Executing <" << getLogString() << L">" << suffix;
    else
        ZEL_LOG_INFO << L"Executing <" << getLogString() << L"> with working directory " << m_workingDirectory
                     << suffix;
}

Process& Process::start(bool hidden)
{
    resolve();
    STARTUPINFOEXW startup = {};
    ChildEnds ends;  // closed in the parent on every path out of here
    prepareCreateProcessArguments(startup.StartupInfo, hidden, ends);
    detail::InheritOnly inherit(startup, {ends.input.get(), ends.output.get(), ends.error.get()});
    logExecuting(L"");

    std::wstring commandLine = getCommandline();
    PROCESS_INFORMATION info = {};
    BOOL created = CreateProcessW(m_resolvedExecutable.empty() ? nullptr : m_resolvedExecutable.str().c_str(),
                                  &commandLine[0], nullptr, nullptr, TRUE,
                                  (hidden ? CREATE_NO_WINDOW : 0) | detail::InheritOnly::kCreationFlag, nullptr,
                                  m_workingDirectory.empty() ? nullptr : m_workingDirectory.str().c_str(),
                                  &startup.StartupInfo, &info);
    if (!created) {
        DWORD error = GetLastError();
        forgetEarlierRun();
        throw CZelException(error, L"Error starting process <" + getLogString() + L">");
    }
    CloseHandle(info.hThread);
    m_process = info.hProcess;
    m_processId = info.dwProcessId;
    WaitForInputIdle(m_process, 1000);
    ZelLogStream(1, L' ', true) << L"Process is now ready to accept input";
    return *this;
}

// The input pipe does not wait for room: a child that answers as it reads
// would fill its output pipe while the parent still waited to write all of
// its input, and each would wait for the other for ever.
void Process::writeInput(const std::wstring& text)
{
    const size_t bytes = text.size() * sizeof(wchar_t);
    if (inputPending())
        throw CZelException(ERROR_INVALID_HANDLE, L"WinAPI::writeFile() failed.");
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    if (!m_inputPipe.valid() || !SetNamedPipeHandleState(m_inputPipe, &mode, nullptr, nullptr)) {
        WinAPI::writeFile(m_inputPipe, text.data(), bytes);
        m_inputPipe.release();
        return;
    }
    m_input.assign(reinterpret_cast<const char*>(text.data()), bytes);
    m_inputFed = 0;
    bool wrote = false;
    if (!feedInput(wrote)) {
        DWORD error = GetLastError();
        closeInput();
        throw CZelException(error, L"WinAPI::writeFile() failed.");
    }
}

bool Process::feedInput(bool& wrote)
{
    wrote = false;
    while (inputPending()) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(m_input.size() - m_inputFed, kReadChunkBytes));
        DWORD written = 0;
        if (!WriteFile(m_inputPipe, m_input.data() + m_inputFed, chunk, &written, nullptr))
            return false;
        if (written == 0)
            return true;  // full: the child reads on
        m_inputFed += written;
        wrote = true;
    }
    closeInput();
    return true;
}

void Process::dropInput(DWORD error)
{
    ZEL_LOG_INFO << L"Process <" << getLogString() << L"> took no more input; " << m_input.size() - m_inputFed
                 << L" bytes were not written: " << ErrorW32(error);
    closeInput();
}

void Process::closeInput()
{
    m_input.clear();
    m_inputFed = 0;
    m_inputPipe.release();
}

bool Process::drain(WinAPI::FileHandle& pipe, std::wstring& text, bool final)
{
    if (!pipe.valid() || WaitForSingleObject(pipe, 0) == WAIT_TIMEOUT)
        return false;
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) || available == 0)
        return false;
    DWORD wanted = available & ~1u;
    if (wanted == 0 && !final)
        return false;  // a single odd byte waits for its partner
    if (wanted == 0)
        wanted = 1;
    // One warm buffer per thread: fresh memory is touched only where the text grows.
    static thread_local std::vector<wchar_t> scratch(kReadChunkBytes / sizeof(wchar_t));
    wanted = std::min<DWORD>(wanted, kReadChunkBytes);
    DWORD got = 0;
    if (!ReadFile(pipe, scratch.data(), wanted, &got, nullptr)) {
        DWORD error = GetLastError();
        if (error == ERROR_BROKEN_PIPE || error == ERROR_INVALID_HANDLE) {
            pipe.release();
            return false;
        }
        if (error != ERROR_MORE_DATA)
            throw CZelException(error, L"NamedPipe::read() failed.");
    }
    if (got % 2)
        reinterpret_cast<unsigned char*>(scratch.data())[got] = 0;  // the high byte of a lone last byte
    const wchar_t* units = scratch.data();
    const wchar_t* end = units + (got + 1) / 2;
    while (units < end) {  // appended in runs between the U+0000 units, which are dropped
        const wchar_t* zero = std::find(units, end, L'\0');
        text.append(units, zero);
        units = zero == end ? end : zero + 1;
    }
    if (m_outputLimit && text.size() > m_outputLimit) {
        text.resize(m_outputLimit);
        m_outputLimitReached = true;
    }
    return got > 0;
}

bool Process::drainBoth(bool final)
{
    // One read a pipe takes all it holds now; the caller decides whether to go on.
    bool readError = drain(m_errorPipe, m_error, final);
    bool readOutput = drain(m_outputPipe, m_output, final);
    return readError || readOutput;
}

bool Process::wait(unsigned long timeoutMs)
{
    return wait(nullptr, timeoutMs);
}

bool Process::wait(void* abortEvent, unsigned long timeoutMs)
{
    if (!m_process.valid())
        return false;
    if (timeoutMs == INFINITE)
        ZEL_LOG_INFO << L"Waiting with no time-out...";
    else
        ZEL_LOG_INFO << L"Waiting for " << timeoutMs << L" milli-seconds...";
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    auto expired = [&] { return timeoutMs != INFINITE && Clock::now() >= deadline; };
    auto aborted = [&] { return abortEvent && WaitForSingleObject(abortEvent, 0) == WAIT_OBJECT_0; };
    bool readSomething = true;
    DWORD idlePoll = 1;
    for (;;) {
        // The pipes are polled rather than waited on: a pipe handle does not
        // signal reliably, and a child blocked on a full pipe never ends.
        HANDLE handles[2] = {m_process.get(), abortEvent};
        DWORD count = abortEvent ? 2 : 1;
        DWORD slice = INFINITE;
        if (timeoutMs != INFINITE) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            slice = left < 0 ? 0 : static_cast<DWORD>(left);
        }
        if (m_outputPipe.valid() || m_errorPipe.valid() || inputPending())
            slice = std::min<DWORD>(slice, readSomething ? 0 : idlePoll);
        DWORD result = WaitForMultipleObjects(count, handles, FALSE, slice);
        if (result == WAIT_FAILED)
            throwLastError(L"Waiting for process <" + getLogString() + L"> failed.");
        if (result == WAIT_OBJECT_0) {
            if (inputPending())
                dropInput(ERROR_BROKEN_PIPE);
            // What the child wrote is finite, but a descendant holding the pipes
            // may write on: the deadline and the abort event bound this too.
            while (drainBoth(true) && !m_outputLimitReached && !expired() && !aborted()) {
            }
            ZEL_LOG_INFO << L"Process <" << getLogString() << L"> has finished.";
            return !m_outputLimitReached;
        }
        bool wrote = false;
        if (inputPending() && !feedInput(wrote))
            dropInput(GetLastError());
        readSomething = drainBoth(false) || wrote;
        if (m_outputLimitReached) {
            ZEL_LOG_WARNING << L"Process <" << getLogString() << L"> wrote more than " << m_outputLimit
                            << L" characters; it is ended";
            terminate(ERROR_INVALID_DATA, false);
            return false;
        }
        // Right after output, look again soon; the longer the pipes stay quiet, the less often.
        idlePoll = readSomething ? 1 : std::min<DWORD>(idlePoll * 2, kPollWhileIdleMs);
        if (aborted())
            return false;
        if (expired()) {
            ZEL_LOG_WARNING << L"Process <" << getLogString() << L"> did not finish in " << timeoutMs
                            << L" milliseconds.";
            return false;
        }
    }
}

namespace {

std::wstring narrowFromUnits(const std::wstring& units)
{
    std::string bytes;
    bytes.reserve(units.size() * 2);
    for (wchar_t u : units) {
        char low = static_cast<char>(u & 0xFF), high = static_cast<char>((u >> 8) & 0xFF);
        if (low == '\0')
            break;
        bytes += low;
        if (high == '\0')
            break;
        bytes += high;
    }
    return detail::fromThreadAnsi(bytes);
}

} // namespace

std::wstring Process::getOutputA() const
{
    return narrowFromUnits(m_output);
}

std::wstring Process::getStderrA() const
{
    return narrowFromUnits(m_error);
}

unsigned long Process::getExitCode() const
{
    if (!m_process.valid()) {
        ZEL_LOG_INFO << L"Process <" << getLogString() << L"> has not been started.";
        return kNotStarted;
    }
    DWORD code = 0;
    if (!GetExitCodeProcess(m_process, &code))
        throwLastError(L"Could not get exit code of process <" + getLogString() + L">");
    if (code == STILL_ACTIVE) {
        ZEL_LOG_INFO << L"Process <" << getLogString() << L"> is still running.";
        return code;
    }
    ZEL_LOG_INFO << L"Process <" << getLogString() << L"> has the return code " << static_cast<long>(code);
    return code;
}

void Process::terminate(unsigned int exitCode, bool dump) const
{
    if (!m_process.valid()) {
        ZEL_LOG_WARNING << L"Process::terminate process handle empty";
        return;
    }
    DWORD code = 0;
    if (GetExitCodeProcess(m_process, &code) && code != STILL_ACTIVE)
        return;
    if (m_processId == GetProcessId(GetCurrentProcess())) {
        ZEL_LOG_WARNING << L"Process::terminate will not commit suicide";
        return;
    }
    if (dump) {
        // A process started from a command line has its program only as text
        // (relative, perhaps): its dump goes beside the image it runs.
        const WinPath program = m_executable.empty() ? imageOf(m_process) : m_executable;
        if (program.empty()) {
            ZEL_LOG_ERROR << L"writing mini dump failed: the program of <" << getLogString() << L"> cannot be read";
        } else {
            std::wstring path = program.str() + L".dump";
            ZEL_LOG_INFO << L"writing dump file " << path;
            writeDump(path);
        }
    }
    ZEL_LOG_INFO << L"Terminating process <" << getLogString() << L">";
    if (!TerminateProcess(m_process, exitCode)) {
        DWORD error = GetLastError();
        if (error != 0)
            ZEL_LOG_INFO << L"TerminateProcess failed: " << ErrorW32(error);
        if (error == ERROR_ACCESS_DENIED)
            return;
        throw CZelException(error, L"Could not terminate process <" + getLogString() + L">");
    }
    // Termination is asynchronous; a process that hangs in the kernel is not waited for without end.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTerminationWaitMs);
    while (GetExitCodeProcess(m_process, &code) && code == STILL_ACTIVE) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ZEL_LOG_WARNING << L"Process <" << getLogString() << L"> did not end within " << kTerminationWaitMs
                            << L" milliseconds of its termination.";
            return;
        }
        Sleep(10);
    }
}

// A dump that cannot be written is logged: the termination it comes before
// still takes place. The dump is written beside and takes its name when
// whole, never through a name that may be a second one of another file.
void Process::writeDump(std::wstring path) const
{
    const MINIDUMP_TYPE type = static_cast<MINIDUMP_TYPE>(
        MiniDumpWithDataSegs | MiniDumpWithHandleData | MiniDumpWithUnloadedModules | MiniDumpWithProcessThreadData |
        MiniDumpWithFullMemoryInfo | MiniDumpWithThreadInfo);
    try {
        WinAPI::ReplacementFile dump{WinPath(path)};
        if (!MiniDumpWriteDump(m_process, m_processId, dump.handle(), type, nullptr, nullptr, nullptr)) {
            ZEL_LOG_ERROR << L"writing mini dump failed" << ErrorW32(GetLastError());
            return;
        }
        dump.commit();
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"writing mini dump failed: " << e.getFullText();
    }
}

Process& Process::open(unsigned long desiredAccess)
{
    return openRunning(desiredAccess, nullptr);
}

Process& Process::openRunning(unsigned long desiredAccess, const std::function<bool(unsigned long)>& alsoWanted)
{
    forgetEarlierRun();
    // No name is no program: an empty command line would name this program itself.
    WinPath program = m_executable;
    if (program.empty()) {
        std::vector<std::wstring> parts = WinAPI::commandLineToArgv(m_commandLine);
        if (!parts.empty())
            program = WinPath(parts.front());
    }
    const WinPath image = program.getFileName();
    // A full path names one file: a program of the same name started from
    // elsewhere (anybody may name a program so) is not the one meant.
    PROCESSENTRY32W entry;
    WinAPI::FileHandle opened;
    bool runsIt = false;
    detail::ProcessSnapshot snapshot;
    bool found = !image.empty() && snapshot.find(
                                       [&](const PROCESSENTRY32W& e) {
                                           if (_wcsicmp(e.szExeFile, image.str().c_str()) != 0 ||
                                               (alsoWanted && !alsoWanted(e.th32ProcessID)))
                                               return false;
                                           opened = detail::openProcessRunning(e.th32ProcessID, desiredAccess,
                                                                               program, runsIt);
                                           return runsIt;
                                       },
                                       &entry);
    if (!found) {
        ZEL_LOG_INFO << L"Process " << m_executable << L" is not running.";
        return *this;
    }
    if (!opened.valid()) {
        ZEL_LOG_WARNING << L"OpenProcess() failed: " << ErrorW32(GetLastError());
        return *this;
    }
    m_process = std::move(opened);
    m_processId = entry.th32ProcessID;
    return *this;
}

Process& Process::attach(unsigned long processId, unsigned long desiredAccess)
{
    forgetEarlierRun();
    HANDLE process = openProcess(desiredAccess, processId);
    if (!process) {
        ZEL_LOG_WARNING << L"OpenProcess() failed: " << ErrorW32(GetLastError());
        return *this;
    }
    m_process = process;
    m_processId = processId;
    return *this;
}

AutoTerminateProcess::AutoTerminateProcess(const WinPath& executable, const std::wstring& arguments,
                                           const WinPath& workingDirectory)
    : Process(executable, arguments, workingDirectory)
{
}

AutoTerminateProcess::AutoTerminateProcess(const WinPath& executable, const WinPath& workingDirectory)
    : Process(executable, workingDirectory)
{
}

AutoTerminateProcess::AutoTerminateProcess(const std::wstring& commandLine, const WinPath& workingDirectory)
    : Process(commandLine, workingDirectory)
{
}

AutoTerminateProcess::~AutoTerminateProcess()
{
    try {
        terminate(0, false);
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << e;
    }
}

} // namespace ZelUt
