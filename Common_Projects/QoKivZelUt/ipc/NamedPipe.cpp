#include <QoKivZelUt/NamedPipe.h>
#include <QoKivZelUt/Security.h>
#include <QoKivZelUt/Token.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"
#include "foundation/Retry.h"
#include "security/TokenPrivilege.h"

#include <algorithm>
#include <climits>

using ZelUt::detail::throwLastError;

namespace ZelUt {

namespace {

const DWORD kFirstReadBytes = 2048;
const DWORD kLongestReadBytes = 64 * 1024;
// A peer may send a message of up to 4 GiB in one write; what is kept of one
// is bounded, so that no client can make a server exhaust its memory.
const unsigned long long kLongestMessageBytes = 64ull << 20;
// Others get what a client needs (read, write data, switch the read mode):
// never the right to change the pipe's security or to make rival instances.
const DWORD kClientRights = FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;
// A client that stops reading holds a disconnect no longer than this.
const DWORD kFlushWaitMs = 10000;
// A client waiting without a time-out gives the server this long to take the
// connection, and a server not started yet this long to make the pipe.
const DWORD kLongestAcceptMs = 30000;
// How often a client looks again for a pipe that does not exist yet.
const DWORD kInstanceLookMs = 10;
// How long "available now" waits for a busy instance: the system's default
// for a server that sets none. The server's own default is not asked for: a
// server may set one of days, and the caller would wait that long.
const DWORD kAvailableNowMs = 50;

// Opens the client end; true in messageMode when its reads end at message
// boundaries (the pipe is message-typed), so queued messages stay apart.
WinAPI::FileHandle openPipe(const std::wstring& name, bool& messageMode)
{
    WinAPI::FileHandle pipe = WinAPI::openPipe(name);
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

// The creator (and the system and administrators) may do anything; everyone
// else only what a client needs.
CZelSecurityDescriptor openToEveryoneSecurity()
{
    CZelToken creator;
    creator.OpenThreadToken();
    wchar_t everyone[16];
    swprintf(everyone, 16, L"0x%lx", static_cast<unsigned long>(kClientRights));
    return CZelSecurityDescriptor::fromSddl(L"D:(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;" + creator.GetOwner().toString() +
                                            L")(A;;" + everyone + L";;;WD)");
}

// A further instance of a pipe keeps the security its first instance was made
// with, owner included. The owner another account gave it (one squatting on
// the name to take the server's clients) is neither this account nor the
// owner it gives new objects. A system that keeps no owner for a pipe made
// without security leaves nothing to compare.
CZelSid foreignOwner(HANDLE pipe)
{
    CZelSid owner = CZelSecurityDescriptor::fromKernelObject(pipe).getOwner();
    if (!owner.IsValid())
        return owner;
    CZelToken creator;
    creator.OpenThreadToken();
    std::vector<BYTE> defaultOwner = detail::tokenInformation(creator.GetHandle(), TokenOwner);
    bool own = owner == creator.GetOwner() ||
               (!defaultOwner.empty() && owner == CZelSid(reinterpret_cast<TOKEN_OWNER*>(defaultOwner.data())->Owner));
    return own ? CZelSid() : owner;
}

// The rest of a message too long to keep is read and dropped: left in the
// pipe, it would be taken for the next message.
[[noreturn]] void refuseLongMessage(HANDLE pipe, const std::wstring& name, bool restInThePipe)
{
    std::string buffer(kLongestReadBytes, '\0');
    DWORD got = 0;
    while (restInThePipe && !::ReadFile(pipe, &buffer[0], kLongestReadBytes, &got, nullptr) &&
           ::GetLastError() == ERROR_MORE_DATA) {
    }
    ZEL_LOG_ERROR << L"A message of more than " << (kLongestMessageBytes >> 20) << L" MiB on the pipe " << name
                  << L" was dropped";
    throw CZelException(ERROR_MESSAGE_EXCEEDS_MAX_SIZE, L"NamedPipe::read() failed.");
}

// While no instance of the pipe exists (its server is still starting, say),
// WaitNamedPipeW answers "not found" at once, whatever the time-out: the pipe
// is looked for again until the time-out has passed. Once it exists, the call
// waits for a free instance for what is left of the time-out.
bool waitForInstance(const std::wstring& name, DWORD timeoutMs)
{
    const ULONGLONG start = ::GetTickCount64();
    const DWORD bound = timeoutMs == NMPWAIT_WAIT_FOREVER ? kLongestAcceptMs : timeoutMs;
    auto spent = [&] { return ::GetTickCount64() - start; };
    auto waitMs = [&]() -> DWORD {
        if (timeoutMs == NMPWAIT_WAIT_FOREVER || timeoutMs == NMPWAIT_USE_DEFAULT_WAIT)
            return timeoutMs;
        return spent() >= bound ? 1 : static_cast<DWORD>(bound - spent());  // 0 would mean the pipe's default
    };
    return detail::retry(
        UINT_MAX, kInstanceLookMs, [&] { return ::WaitNamedPipeW(name.c_str(), waitMs()) != FALSE; },
        [&] { return ::GetLastError() == ERROR_FILE_NOT_FOUND && spent() < bound; });
}

bool endsQuietly(DWORD error)
{
    // The peer closed its end (109), or the server disconnected this client (233).
    return error == ERROR_BROKEN_PIPE || error == ERROR_INVALID_HANDLE || error == ERROR_PIPE_NOT_CONNECTED;
}

void append(std::wstring& result, const std::string& buffer, DWORD got)
{
    for (DWORD i = 0; i < got; ++i)
        if (buffer[i] != '\0')
            result += static_cast<wchar_t>(static_cast<unsigned char>(buffer[i]));
}

DWORD WINAPI flushPipe(void* pipe)
{
    ::FlushFileBuffers(pipe);
    return 0;
}

// Waits until the client has read what was written, but no longer than the
// bound: the flush is cancelled for a client that stops reading.
void flushBounded(HANDLE pipe)
{
    WinAPI::FileHandle flusher(::CreateThread(nullptr, 0, flushPipe, pipe, 0, nullptr));
    if (!flusher.valid()) {
        ZEL_LOG_WARNING << L"The pipe is disconnected without waiting for the client to read: " << ErrorW32(::GetLastError());
        return;
    }
    if (::WaitForSingleObject(flusher, kFlushWaitMs) == WAIT_TIMEOUT) {
        ZEL_LOG_WARNING << L"The client has not read what was sent within " << kFlushWaitMs << L" ms; disconnecting";
        // The cancel can come before the flush has begun: it is repeated while the
        // thread lives, for a bounded time. The disconnect that follows ends a
        // flush still waiting after that.
        const int kCancelTries = 50;
        ::CancelSynchronousIo(flusher);
        for (int tries = 0; tries < kCancelTries && ::WaitForSingleObject(flusher, 100) == WAIT_TIMEOUT; ++tries)
            ::CancelSynchronousIo(flusher);
    }
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
    return ::WaitNamedPipeW(m_name.c_str(), kAvailableNowMs) != FALSE;
}

// A message longer than the buffer comes in several reads: in message mode
// every read but the last reports ERROR_MORE_DATA, and the message ends with
// the read that does not (a message queued behind it stays for the next call);
// a writer that dies in between leaves it cut short, which is a failure. In
// byte mode nothing marks the end: the rest is what the pipe still holds.
std::wstring NamedPipe::read() const
{
    std::wstring result = m_messageMode ? readMessage() : readBytes();
    if (m_logging)
        ZEL_LOG_INFO << L"Pipe read message:\n" << result;
    return result;
}

std::wstring NamedPipe::readMessage() const
{
    std::wstring result;
    unsigned long long received = 0;
    DWORD readSize = kFirstReadBytes;
    for (bool started = false;; started = true) {
        std::string buffer(readSize, '\0');
        DWORD got = 0;
        const bool complete = ::ReadFile(m_handle, &buffer[0], readSize, &got, nullptr) != FALSE;
        if (!complete) {
            DWORD error = ::GetLastError();
            if (endsQuietly(error) && !started)
                return result;
            if (error != ERROR_MORE_DATA)
                throw CZelException(error, L"NamedPipe::read() failed.");
        }
        received += got;
        if (received > kLongestMessageBytes)
            refuseLongMessage(m_handle, m_name, !complete);
        append(result, buffer, got);
        if (complete)
            return result;
        DWORD left = 0;
        ::PeekNamedPipe(m_handle, nullptr, 0, nullptr, nullptr, &left);
        readSize = left ? std::min(left, kLongestReadBytes) : kFirstReadBytes;
    }
}

std::wstring NamedPipe::readBytes() const
{
    std::wstring result;
    unsigned long long received = 0;
    DWORD readSize = kFirstReadBytes;
    for (bool first = true;; first = false) {
        if (!first) {
            DWORD available = 0;
            if (!::PeekNamedPipe(m_handle, nullptr, 0, nullptr, &available, nullptr) || available == 0)
                return result;
            readSize = std::min(available, kLongestReadBytes);
        }
        std::string buffer(readSize, '\0');
        DWORD got = 0;
        if (!::ReadFile(m_handle, &buffer[0], readSize, &got, nullptr)) {
            DWORD error = ::GetLastError();
            if (endsQuietly(error))
                return result;
            if (error != ERROR_MORE_DATA)
                throw CZelException(error, L"NamedPipe::read() failed.");
        }
        received += got;
        if (received > kLongestMessageBytes)
            throw CZelException(ERROR_MESSAGE_EXCEEDS_MAX_SIZE, L"NamedPipe::read() failed.");
        append(result, buffer, got);
    }
}

// One write of the whole message, an empty one included: the reader sees a
// message of no bytes, not nothing.
bool NamedPipe::write(const std::wstring& text) const
{
    const size_t bytes = text.size() * sizeof(wchar_t);
    DWORD written = 0, error = 0;
    if (bytes > 0xFFFFFFFFu)
        error = ERROR_INVALID_PARAMETER;
    else if (!::WriteFile(m_handle, text.data(), static_cast<DWORD>(bytes), &written, nullptr))
        error = ::GetLastError();
    else if (written != bytes)
        error = ERROR_WRITE_FAULT;
    if (error) {
        ZEL_LOG_ERROR << L"Failed sending message: " << CZelException(error, L"WinAPI::writeFile() failed.");
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
    CZelSecurityDescriptor everyone;
    if (openToEveryone) {
        try {
            everyone = openToEveryoneSecurity();
        } catch (const CZelException& e) {
            throw CZelException(e.getErrorCode(), L"Can't set security descriptor acl for named pipe " + name);
        }
    }
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), everyone.empty() ? nullptr : everyone.getSD(), FALSE};
    // Only local clients: the pipe carries nothing meant for other machines.
    HANDLE pipe = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                     PIPE_UNLIMITED_INSTANCES, bufferSize(), bufferSize(), 0,
                                     openToEveryone ? &attributes : nullptr);
    WinAPI::FileHandle instance(pipe);
    DWORD error = instance.valid() ? ERROR_SUCCESS : ::GetLastError();
    if (instance.valid()) {
        CZelSid squatter;
        try {
            squatter = foreignOwner(instance);
        } catch (const CZelException& e) {
            error = e.getErrorCode();
        }
        if (squatter.IsValid()) {
            ZEL_LOG_ERROR << L"The pipe " << name << L" was made by another account (" << squatter.toString()
                          << L"); it is not joined";
            error = ERROR_ACCESS_DENIED;
        }
    }
    if (error != ERROR_SUCCESS) {
        ZEL_LOG_ERROR << L"Failure in creating listener pipe: " << ErrorW32(error);
        throw CZelException(error, L"Failure in creating listener pipe");
    }
    setHandle(instance, true);
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
    flushBounded(hnd());
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
    if (!waitForInstance(pipeName(), timeoutMs))
        throwLastError(L"Wait on pipe failed");
    bool messageMode = false;
    WinAPI::FileHandle pipe = openPipe(pipeName(), messageMode);
    setHandle(pipe, messageMode);
    ZEL_LOG_INFO << L"Client connected to pipe.";
    // The server may not have taken the connection yet; a server that
    // disconnected the client at once never will (233 is final then).
    const ULONGLONG start = ::GetTickCount64();
    const DWORD bound = timeoutMs == NMPWAIT_WAIT_FOREVER ? kLongestAcceptMs : timeoutMs;
    while (!probe(hnd())) {
        if (::GetTickCount64() - start >= bound)
            throw CZelException(ERROR_PIPE_NOT_CONNECTED, L"Wait on pipe failed");
        ::SleepEx(1, TRUE);
    }
}

bool NamedPipeClient::isConnected() const
{
    return hnd().valid() && probe(hnd());
}

} // namespace ZelUt
