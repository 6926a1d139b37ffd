#include "../Command.h"

#include <QoKivZelUt/Process.h>

#include <objbase.h>

namespace zelut {
namespace {

// Prints what was added to the text since the last call.
void printNew(const std::wstring& text, size_t& printed, void (*print)(const std::wstring&))
{
    if (text.size() > printed) {
        print(text.substr(printed));
        printed = text.size();
    }
}

// The shell's automation needs COM on the starting thread.
struct ComForThisThread {
    HRESULT result = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ~ComForThisThread()
    {
        if (SUCCEEDED(result))
            CoUninitialize();
    }
};

enum class StartKind { Plain, Interactive, Elevated };

// Streams the child's output until it ends; its exit code, or 2 after the time-out.
int follow(ZelUt::Process& child, unsigned long timeout, bool wide)
{
    size_t outPrinted = 0, errPrinted = 0;
    DWORD started = GetTickCount();
    for (;;) {
        bool finished = child.wait(250);
        printNew(wide ? child.getOutput() : child.getOutputA(), outPrinted, out);
        printNew(wide ? child.getStderr() : child.getStderrA(), errPrinted, err);
        if (finished)
            return static_cast<int>(child.getExitCode());
        if (timeout != INFINITE && GetTickCount() - started >= timeout) {
            child.terminate(1, false);
            err(L"zelut run: the program did not finish in " + std::to_wstring(timeout) + L" ms and was terminated\n");
            return kError;
        }
    }
}

int run(const Args& args)
{
    unsigned long timeout = INFINITE;
    bool wide = false;
    bool hidden = false;
    StartKind kind = StartKind::Plain;
    size_t i = 0;
    for (; i < args.size() && args[i] != L"--"; ++i) {
        if (args[i] == L"--timeout" && i + 1 < args.size())
            timeout = parseNumber(args[++i]);
        else if (args[i] == L"--wide")
            wide = true;
        else if (args[i] == L"--hidden")
            hidden = true;
        else if (args[i] == L"--interactive" && kind == StartKind::Plain)
            kind = StartKind::Interactive;
        else if (args[i] == L"--elevated" && kind == StartKind::Plain)
            kind = StartKind::Elevated;
        else
            throw UsageError{L"unknown or repeated option " + args[i]};
    }
    if (i + 1 >= args.size())
        throw UsageError{L"missing -- COMMAND"};
    std::wstring arguments;
    for (size_t a = i + 2; a < args.size(); ++a)
        arguments += (arguments.empty() ? L"" : L" ") + ZelUt::quoteArgument(args[a]);
    WinPath program(args[i + 1]);
    if (!program.isAbsolute() && program.exists())
        program = WinAPI::fullpath(program);  // a program below the current directory, not the system's
    ZelUt::Process child(program, arguments, WinPath());
    switch (kind) {
    case StartKind::Plain:
        child.start(true);
        child.writeInput(L"");  // the child sees the end of its input
        break;
    case StartKind::Interactive: {
        ComForThisThread com;
        if (!child.startAsInteractiveUser(hidden)) {
            err(L"zelut run: nobody is logged on at the interactive desktop; nothing was started\n");
            return kFalse;
        }
        if (!child) {
            out(L"started; the program could not be followed\n");
            return kTrue;
        }
        break;
    }
    case StartKind::Elevated:
        child.startElevated(hidden);
        break;
    }
    return follow(child, timeout, wide);
}

int openTarget(const Args& args)
{
    if (args.size() != 1)
        throw UsageError{L"expected one document or address"};
    ComForThisThread com;
    ZelUt::Process target{ATL::CComBSTR(args[0].c_str())};
    if (!target.startAsInteractiveUserOpenBrowser()) {
        err(L"zelut open: nobody is logged on at the interactive desktop; nothing was opened\n");
        return kFalse;
    }
    out(L"opened " + args[0] + L"\n");
    return kTrue;
}

const Registration registration{
    {L"run", L"run a program (plainly, as the interactive user or elevated), stream its output",
     L"usage: zelut run [--timeout MS] [--wide] [--interactive|--elevated [--hidden]] -- PROGRAM [ARGS...]\n"
     L"  output is read as narrow text (--wide: UTF-16); exit code is the program's,\n"
     L"  or 2 when it was terminated after the time-out\n"
     L"  --interactive  start as the user at the interactive desktop: through the desktop\n"
     L"                 shell, else with the shell's token (then the output is streamed);\n"
     L"                 exit 1 when nobody is logged on there\n"
     L"  --elevated     start through the elevation prompt (no output is connected)\n"
     L"  --hidden       with either: no window for the program\n",
     run}};
const Registration openRegistration{
    {L"open", L"open a document or address in the interactive user's shell",
     L"usage: zelut open TARGET\n"
     L"  TARGET is a file or an address such as https://example.invalid/;\n"
     L"  exit 1 when nobody is logged on at the interactive desktop\n",
     openTarget}};

} // namespace
} // namespace zelut
