// ZelUt::Process: starts, feeds, waits for and terminates one child program.
#pragma once

#include "AtlBstr.h"
#include "Export.h"
#include "WinAPI.h"

#include <functional>
#include <string>

namespace ZelUt {

class QOKIVZELUT_API Process {
public:
    Process(const WinPath& executable, const std::wstring& arguments, const WinPath& workingDirectory);
    explicit Process(const WinPath& executable, const WinPath& workingDirectory = WinPath());
    explicit Process(const std::wstring& commandLine, const WinPath& workingDirectory = WinPath());
    // A document or address to open in the interactive user's shell.
    explicit Process(const ATL::CComBSTR& target);
    Process(const Process&) = default;
    Process(Process&&) = default;
    Process& operator=(const Process&) = default;
    Process& operator=(Process&&) = default;
    // Closes the handles held; the child keeps running.
    ~Process();

    const WinPath& getExecutable() const { return m_executable; }
    // Resolves the program, then returns the absolute file found.
    WinPath findExecutable();
    const std::wstring& getArguments() const { return m_arguments; }
    void setArguments(const std::wstring& arguments) { m_arguments = arguments; }
    const WinPath& getWorkingDirectory() const { return m_workingDirectory; }
    unsigned long getProcessId() const { return m_processId; }
    const WinAPI::FileHandle& getHandle() const { return m_process; }
    explicit operator bool() const { return m_process.valid(); }

    // Starts the program with its standard streams connected to pipes.
    Process& start(bool hidden);
    // Starts the program as the user at the interactive desktop: through the
    // desktop shell (un-elevated, in the user's session), else with the
    // shell's token (then with pipes). False when nobody is logged on there.
    // The shell start needs COM initialised on the calling thread.
    bool startAsInteractiveUser(bool hidden);
    // Opens the target (a document or an address) in the interactive user's shell.
    bool startAsInteractiveUserOpenBrowser();
    // Starts the program through the elevation prompt; a plain start on
    // systems without user account control. No pipes are connected.
    Process& startElevated(bool hidden);
    // Attaches to the first running process with the same image name; given
    // a full path, only to one running that very file. A program without a
    // name never attaches. Test operator bool afterwards.
    Process& open(unsigned long desiredAccess);
    // Attaches to the process of that id (a service's own, say); test operator bool afterwards.
    Process& attach(unsigned long processId, unsigned long desiredAccess);
    // Writes the text as UTF-16LE to the child's input, then closes the input.
    // What the pipe does not take at once, wait() writes while it reads the
    // child's output. Once per start; a second call throws.
    void writeInput(const std::wstring& text);
    bool wait(unsigned long timeoutMs);
    // Waits for the end while draining both output pipes; false on time-out or abort.
    bool wait(void* abortEvent, unsigned long timeoutMs);
    // Output beyond this many characters (standard output and error each) is
    // not kept: the child is terminated and wait() answers false. 0: no limit.
    void setOutputLimit(size_t characters) { m_outputLimit = characters; }
    bool outputLimitReached() const { return m_outputLimitReached; }
    std::wstring getOutput() const { return m_output; }
    std::wstring getStderr() const { return m_error; }
    // The collected bytes read as narrow text of the thread's ANSI code page.
    std::wstring getOutputA() const;
    std::wstring getStderrA() const;
    // 259 while running; 0xC0000008 when never started.
    unsigned long getExitCode() const;
    // Optionally writes a dump, terminates and waits up to ten seconds for the end.
    void terminate(unsigned int exitCode, bool writeDump) const;
    std::wstring getCommandline();

private:
    // The child's ends of the three pipes, closed in the parent once the child has them.
    struct ChildEnds {
        WinAPI::FileHandle output, error, input;
    };

    void resolve();
    // open(), of the processes alsoWanted (given their id) answers true for.
    Process& openRunning(unsigned long desiredAccess, const std::function<bool(unsigned long)>& alsoWanted);
    std::wstring getLogString() const;
    // "Executing <...>" with the working directory when there is one, then `how` ("" for a plain start).
    void logExecuting(const wchar_t* how) const;
    // The program to start and its arguments (a command line split as the system splits it).
    void programAndArguments(std::wstring& program, std::wstring& arguments);
    // Throws code 2 "<operation> failed: '<program>' does not exist." for an
    // empty or missing program (an address passes when allowed).
    void requireProgram(const std::wstring& program, const wchar_t* operation, bool addressAllowed) const;
    bool startAsInteractiveUserViaExplorerAutomation(bool hidden, const std::wstring& file,
                                                     const std::wstring& arguments);
    bool startAsInteractiveUserViaProcessToken(bool hidden, const std::wstring& workingDirectory);
    void prepareCreateProcessArguments(STARTUPINFOW& startup, bool hidden, ChildEnds& ends);
    // Before the object takes a new process (started, opened or attached): the
    // earlier process and its output, error text, reached limit, pipes and
    // unwritten input go, so a start or attach that fails leaves no handle.
    void forgetEarlierRun();
    void writeDump(std::wstring path) const;
    void makeSureWDIsNotTemp();
    // Reads what one pipe holds now; true when something was read. At the end
    // of the process a single odd byte is taken too.
    bool drain(WinAPI::FileHandle& pipe, std::wstring& text, bool final);
    // Reads each pipe once; true when something was read.
    bool drainBoth(bool final);
    // Writes what the input pipe takes now; closes it once all is written.
    // False, the error set, when the write fails.
    bool feedInput(bool& wrote);
    bool inputPending() const { return m_inputFed < m_input.size(); }
    // Input the child no longer takes (it closed its end or ended) is let go.
    void dropInput(DWORD error);
    // Closes the parent's end of the input pipe and forgets what was not written.
    void closeInput();

    WinPath m_executable;
    WinPath m_resolvedExecutable;
    std::wstring m_arguments;
    std::wstring m_commandLine;
    std::wstring m_target;
    WinPath m_workingDirectory;
    WinAPI::FileHandle m_process;
    unsigned long m_processId = 0;
    WinAPI::FileHandle m_outputPipe;
    WinAPI::FileHandle m_errorPipe;
    WinAPI::FileHandle m_inputPipe;
    std::string m_input;  // the bytes writeInput was given
    size_t m_inputFed = 0;
    std::wstring m_output;
    std::wstring m_error;
    size_t m_outputLimit = 0;
    bool m_outputLimitReached = false;
};

// One argument as it must stand on a command line so that the system's
// splitting gives it back unchanged: quoted when it is empty or holds a blank,
// tab or quote, with backslashes doubled where they precede a quote.
QOKIVZELUT_API std::wstring quoteArgument(const std::wstring& argument);

// A Process whose destructor terminates the program (exit code 0, no dump).
class QOKIVZELUT_API AutoTerminateProcess : public Process {
public:
    AutoTerminateProcess(const WinPath& executable, const std::wstring& arguments, const WinPath& workingDirectory);
    explicit AutoTerminateProcess(const WinPath& executable, const WinPath& workingDirectory = WinPath());
    explicit AutoTerminateProcess(const std::wstring& commandLine, const WinPath& workingDirectory = WinPath());
    AutoTerminateProcess(AutoTerminateProcess&&) = default;
    virtual ~AutoTerminateProcess();
};

} // namespace ZelUt
