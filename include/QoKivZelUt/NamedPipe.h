// ZelUt::NamedPipe: text messages between two processes of one machine over a
// message-typed duplex named pipe. The server creates the pipe and waits for a
// client; the client opens it; both read and write through the base.
#pragma once

#include "Export.h"
#include "WinAPI.h"

#include <string>

namespace ZelUt {

class QOKIVZELUT_API NamedPipe {
public:
    NamedPipe(const NamedPipe&) = default;
    NamedPipe(NamedPipe&&) = default;
    NamedPipe& operator=(const NamedPipe&) = default;
    NamedPipe& operator=(NamedPipe&&) = default;
    ~NamedPipe();

    // The full pipe name (\\.\pipe\... for a local pipe).
    const std::wstring& pipeName() const { return m_name; }
    // An instance of the pipe is available now (a busy one is waited for 50 ms
    // at most, whatever default wait its server set).
    bool pipeExists() const;
    // One message, one character per non-zero byte; empty when the peer went
    // away before sending. A message cut short by a dying writer throws, and
    // so does one of more than 64 MiB (ERROR_MESSAGE_EXCEEDS_MAX_SIZE; the rest
    // of it is dropped, in message mode, so the next read gets the next message).
    std::wstring read() const;
    // Sends the text's UTF-16LE code units as one message; false (logged) on failure.
    bool write(const std::wstring& text) const;
    // Message contents are no longer logged (failures still are).
    void setNoLogging() { m_logging = false; }

protected:
    explicit NamedPipe(const std::wstring& name);
    NamedPipe(const std::wstring& name, const WinAPI::FileHandle& handle);
    const WinAPI::FileHandle& hnd() const { return m_handle; }
    // messageMode: reads on the handle end at message boundaries.
    void setHandle(const WinAPI::FileHandle& handle, bool messageMode)
    {
        m_handle = handle;
        m_messageMode = messageMode;
    }

private:
    std::wstring readMessage() const;
    std::wstring readBytes() const;

    std::wstring m_name;
    WinAPI::FileHandle m_handle;
    bool m_logging;
    bool m_messageMode = false;
};

class QOKIVZELUT_API NamedPipeServer : public NamedPipe {
public:
    // Creates an instance of the pipe for local clients. openToEveryone lets
    // clients of every account read and write (nothing more; the creating
    // account, the system and administrators keep full control).
    NamedPipeServer(const std::wstring& name, bool openToEveryone);
    // Waits for a client.
    void connect();
    // Waits up to ten seconds for the client to read what was sent, then
    // disconnects it; connect() may follow.
    void disconnect();

private:
    static unsigned long bufferSize() { return 4096; }
};

class QOKIVZELUT_API NamedPipeClient : public NamedPipe {
public:
    // Opens the pipe when an instance is available now; never throws for a missing server.
    explicit NamedPipeClient(const std::wstring& name);
    // Connects unless connected: waits up to timeoutMs for an instance (also
    // for the pipe itself, while its server has not made it yet), then as long
    // again until the server has taken the connection; waiting for ever, 30 s
    // each for a pipe that does not exist and for the server to take the
    // connection. Throws "Wait on pipe failed" when one of them does not come.
    void connect(unsigned long timeoutMs);
    bool isConnected() const;
};

} // namespace ZelUt
