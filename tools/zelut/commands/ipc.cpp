// pipe and ipc: the named pipes and the local IPC channel, one side per call.
#include "../Command.h"

#include <QoKivZelUt/LocalIpc.h>
#include <QoKivZelUt/NamedPipe.h>
#include <QoKivZelUt/ZelException.h>

#include <windows.h>

#include <cwctype>

namespace zelut {
namespace {

std::wstring pipeName(const std::wstring& name)
{
    return name.compare(0, 2, L"\\\\") == 0 ? name : L"\\\\.\\pipe\\" + name;
}

std::wstring upperCased(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(std::towupper(c));
    return text;
}

// NAME and TEXT positions plus the options every action here knows.
struct Options {
    std::vector<std::wstring> positional;
    unsigned long count = 0;  // 0: without end
    unsigned long timeout = INFINITE;
    unsigned long hold = 0;  // ms a listener takes before it answers
    bool everyone = false;
    std::wstring channel;
};

Options parse(const Args& args, size_t from)
{
    Options o;
    for (size_t i = from; i < args.size(); ++i) {
        bool hasValue = i + 1 < args.size();
        if (args[i] == L"--count" && hasValue)
            o.count = parseNumber(args[++i]);
        else if (args[i] == L"--timeout" && hasValue)
            o.timeout = parseNumber(args[++i]);
        else if (args[i] == L"--hold" && hasValue)
            o.hold = parseNumber(args[++i]);
        else if (args[i] == L"--channel" && hasValue)
            o.channel = args[++i];
        else if (args[i] == L"--everyone")
            o.everyone = true;
        else
            o.positional.push_back(args[i]);
    }
    return o;
}

int pipe(const Args& args)
{
    if (args.empty())
        throw UsageError{L"missing action"};
    Options o = parse(args, 1);
    if (args[0] == L"serve" && o.positional.size() == 1) {
        ZelUt::NamedPipeServer server(pipeName(o.positional[0]), o.everyone);
        server.setNoLogging();
        unsigned long served = 0;
        while (o.count == 0 || served < o.count) {
            server.connect();
            for (std::wstring message; o.count == 0 || served < o.count; ++served) {
                message = server.read();
                if (message.empty())
                    break;  // the client went away: wait for the next one
                server.write(upperCased(message));
            }
            server.disconnect();
        }
        out(L"served " + std::to_wstring(served) + L" messages\n");
        return kTrue;
    }
    if (args[0] == L"send" && o.positional.size() == 2) {
        ZelUt::NamedPipeClient client(pipeName(o.positional[0]));
        client.setNoLogging();
        client.connect(o.timeout == INFINITE ? NMPWAIT_WAIT_FOREVER : o.timeout);
        if (!client.write(o.positional[1]))
            return kError;
        out(client.read() + L"\n");
        return kTrue;
    }
    throw UsageError{L"bad arguments"};
}

// The listener's callback has no context: what it needs lives here.
unsigned long g_left = 0;
unsigned long g_hold = 0;

int __stdcall printNotification(const std::wstring& name, const std::wstring& data, long* result)
{
    out(name + L": " + data + L"\n");
    if (g_hold)
        Sleep(g_hold);
    *result = static_cast<long>(data.size());
    return --g_left > 0;
}

int ipc(const Args& args)
{
    if (args.empty())
        throw UsageError{L"missing action"};
    Options o = parse(args, 1);
    if (args[0] == L"listen" && o.positional.empty()) {
        CZelNotificationSink sink(o.channel);
        g_left = o.count ? o.count : 1;
        g_hold = o.hold;
        long status = sink.Receive(&printNotification, o.timeout);
        out(L"source PID " + std::to_wstring(sink.getRemoteProcessId()) + L"\n");
        return status == 0 ? kTrue : kFalse;
    }
    if (args[0] == L"send" && o.positional.size() == 2) {
        CZelNotificationSource source;
        long result = source.Send(o.positional[0], o.positional[1], o.timeout);
        out(L"result " + std::to_wstring(result) + L" from PID " + std::to_wstring(source.getRemoteProcessId()) +
            L"\n");
        return kTrue;
    }
    throw UsageError{L"bad arguments"};
}

const Registration pipeRegistration{
    {L"pipe", L"serve or call a named pipe",
     L"usage: zelut pipe serve NAME [--everyone] [--count N]\n"
     L"       zelut pipe send NAME TEXT [--timeout MS]\n"
     L"  NAME is a pipe name (\\\\.\\pipe\\ is put in front unless it starts with \\\\);\n"
     L"  serve answers each message with the same text upper-cased, N messages in all\n"
     L"  (without --count: until stopped); send prints the answer, and waits for a\n"
     L"  server that has not made the pipe yet up to MS (without --timeout: 30 s)\n",
     pipe}};
const Registration ipcRegistration{
    {L"ipc", L"listen on or send to the local IPC channel",
     L"usage: zelut ipc listen [--channel NAME] [--count N] [--timeout MS] [--hold MS]\n"
     L"       zelut ipc send NAME DATA [--timeout MS]\n"
     L"  listen prints each notification and answers with the length of its data,\n"
     L"  N notifications in all (without --count: one), each after MS of --hold;\n"
     L"  exit 1 on a time-out;\n"
     L"  send prints the listener's result and process id\n",
     ipc}};

} // namespace
} // namespace zelut
