#include <QoKivZelUt/NamedPipe.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"

using ZelUt::detail::throwLastError;

namespace ZelUt {

namespace {

const DWORD kFirstReadBytes = 2048;

// Opens the client end; true in messageMode when its reads end at message
// boundaries (the pipe is message-typed), so queued messages stay apart.
WinAPI::FileHandle openPipe(const std::wstring& name, bool& messageMode)
{
    WinAPI::FileHandle pipe = WinAPI::openFile(WinPath(name));
    DWORD mode = PIPE_READMODE_MESSAGE;
    messageMode = ::SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr) != FALSE;
    return pipe;
}

// Whether the peer is still connected: only "not connected" (233) says no.
bool probe(HANDLE pipe)
{
    DWORD available = 0;
    return ::PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr) ||
           ::GetLastError() != ERROR_PIPE_NOT_CONNECTED;
}

} // namespace

NamedPipe::NamedPipe(const std::wstring& name) : m_name(name), m_logging(false) {}

NamedPipe::NamedPipe(const std::wstring& name, const WinAPI::FileHandle& handle)
    : m_name(name), m_handle(handle), m_logging(true)
{
}

NamedPipe::~NamedPipe() = default;

bool NamedPipe::pipeExists() const
{
    return ::WaitNamedPipeW(m_name.c_str(), 0) != FALSE;
}

// A message longer than the buffer comes in several reads: in message mode
// every read but the last reports ERROR_MORE_DATA, and the message ends with
// the read that does not (a message queued behind it stays for the next call).
// In byte mode nothing marks the end: the rest is what the pipe still holds.
std::wstring NamedPipe::read() const
{
    std::wstring result;
    DWORD readSize = kFirstReadBytes;
    for (bool first = true;; first = false) {
        if (!first) {
            DWORD available = 0;
            if (!::PeekNamedPipe(m_handle, nullptr, 0, nullptr, &available, nullptr) || available == 0)
                break;
            readSize = available;
        }
        std::string buffer(readSize, '\0');
        DWORD got = 0;
        bool more = false;
        if (!::ReadFile(m_handle, &buffer[0], readSize, &got, nullptr)) {
            DWORD error = ::GetLastError();
            // The peer closed its end (109), or the server disconnected this client (233).
            if (error == ERROR_BROKEN_PIPE || error == ERROR_INVALID_HANDLE || error == ERROR_PIPE_NOT_CONNECTED)
                break;
            if (error != ERROR_MORE_DATA)
                throw CZelException(error, L"NamedPipe::read() failed.");
            more = true;
        }
        for (char byte : buffer)
            if (byte != '\0')
                result += static_cast<wchar_t>(static_cast<unsigned char>(byte));
        if (m_messageMode && !more)
            break;
    }
    if (m_logging)
        ZEL_LOG_INFO << L"Pipe read message:\n" << result;
    return result;
}

bool NamedPipe::write(const std::wstring& text) const
{
    try {
        WinAPI::writeFile(m_handle, text.data(), text.size() * sizeof(wchar_t));
    } catch (const CZelException& e) {
        ZEL_LOG_ERROR << L"Failed sending message: " << e;
        return false;
    }
    if (m_logging)
        ZEL_LOG_INFO << L"Successfully sent message:\n" << text;
    return true;
}

// ---------------------------------------------------------------- server

NamedPipeServer::NamedPipeServer(const std::wstring& name, bool openToEveryone)
    : NamedPipe(name, WinAPI::FileHandle())
{
    SECURITY_DESCRIPTOR everyone;
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), &everyone, FALSE};
    if (openToEveryone) {
        if (!::InitializeSecurityDescriptor(&everyone, SECURITY_DESCRIPTOR_REVISION))
            throwLastError(L"Can't initialize security descriptor for named pipe " + name);
        if (!::SetSecurityDescriptorDacl(&everyone, TRUE, nullptr, FALSE))
            throwLastError(L"Can't set security descriptor acl for named pipe " + name);
    }
    HANDLE pipe = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                     bufferSize(), bufferSize(), 0, openToEveryone ? &attributes : nullptr);
    if (pipe == INVALID_HANDLE_VALUE) {
        DWORD error = ::GetLastError();
        ZEL_LOG_ERROR << L"Failure in creating listener pipe: " << ErrorW32(error);
        throw CZelException(error, L"Failure in creating listener pipe");
    }
    setHandle(WinAPI::FileHandle(pipe), true);
    ZEL_LOG_INFO << L"Listener pipe created";
}

void NamedPipeServer::connect()
{
    ZEL_LOG_INFO << L"Listener pipe is waiting for notifications";
    if (!::ConnectNamedPipe(hnd(), nullptr) && ::GetLastError() != ERROR_PIPE_CONNECTED)
        throwLastError(L"ConnectNamedPipe failed.");
    ZEL_LOG_INFO << L"Server got a connection on the pipe";
}

void NamedPipeServer::disconnect()
{
    ::FlushFileBuffers(hnd());
    ::DisconnectNamedPipe(hnd());
}

// ---------------------------------------------------------------- client

NamedPipeClient::NamedPipeClient(const std::wstring& name) : NamedPipe(name)
{
    if (pipeExists()) {
        bool messageMode = false;
        WinAPI::FileHandle pipe = openPipe(name, messageMode);
        setHandle(pipe, messageMode);
    }
}

void NamedPipeClient::connect(unsigned long timeoutMs)
{
    if (hnd().valid() && probe(hnd()))
        return;
    if (!::WaitNamedPipeW(pipeName().c_str(), timeoutMs))
        throwLastError(L"Wait on pipe failed");
    bool messageMode = false;
    WinAPI::FileHandle pipe = openPipe(pipeName(), messageMode);
    setHandle(pipe, messageMode);
    ZEL_LOG_INFO << L"Client connected to pipe.";
    // The server may not have taken the connection yet; it always does in the end.
    while (hnd().valid() && !probe(hnd()))
        ::SleepEx(1, TRUE);
}

bool NamedPipeClient::isConnected() const
{
    return hnd().valid() && probe(hnd());
}

} // namespace ZelUt
