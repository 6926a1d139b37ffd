#include "../Command.h"

#include <QoKivZelUt/Process.h>

namespace zelut {
namespace {

std::wstring quoted(const std::wstring& arg)
{
    if (!arg.empty() && arg.find_first_of(L" \t\"") == std::wstring::npos)
        return arg;
    std::wstring q = L"\"";
    for (wchar_t c : arg)
        q += c == L'"' ? std::wstring(L"\\\"") : std::wstring(1, c);
    return q + L"\"";
}

// Prints what was added to the text since the last call.
void printNew(const std::wstring& text, size_t& printed, void (*print)(const std::wstring&))
{
    if (text.size() > printed) {
        print(text.substr(printed));
        printed = text.size();
    }
}

int run(const Args& args)
{
    unsigned long timeout = INFINITE;
    bool wide = false;
    size_t i = 0;
    for (; i < args.size() && args[i] != L"--"; ++i) {
        if (args[i] == L"--timeout" && i + 1 < args.size())
            timeout = parseNumber(args[++i]);
        else if (args[i] == L"--wide")
            wide = true;
        else
            throw UsageError{L"unknown option " + args[i]};
    }
    if (i + 1 >= args.size())
        throw UsageError{L"missing -- COMMAND"};
    std::wstring arguments;
    for (size_t a = i + 2; a < args.size(); ++a)
        arguments += (arguments.empty() ? L"" : L" ") + quoted(args[a]);
    WinPath program(args[i + 1]);
    if (!program.isAbsolute() && program.exists())
        program = WinAPI::fullpath(program);  // a program below the current directory, not the system's
    ZelUt::Process child(program, arguments, WinPath());
    child.start(true);
    child.writeInput(L"");  // the child sees the end of its input
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

const Registration registration{{L"run", L"run a program, stream its output, return its exit code",
                                 L"usage: zelut run [--timeout MS] [--wide] -- PROGRAM [ARGS...]\n"
                                 L"  output is read as narrow text (--wide: UTF-16); exit code is the program's,\n"
                                 L"  or 2 when it was terminated after the time-out\n",
                                 run}};

} // namespace
} // namespace zelut
