// CZelLocalIpc: a request/response channel between two processes of one logon
// session: a shared block, a mutex and four events with fixed names in the
// session's Local\ namespace. The source sends a name and a data text and waits
// for the listener's 32-bit answer; either side may start first. Any process
// of the session may take either part: the peer's process id is what the peer
// wrote into the block, not a proof of who it is.
#pragma once

#include "Export.h"
#include "WinAPI.h"

#include <string>

class QOKIVZELUT_API CZelLocalIpc {
public:
    ~CZelLocalIpc();
    CZelLocalIpc(const CZelLocalIpc&) = delete;
    CZelLocalIpc& operator=(const CZelLocalIpc&) = delete;

    // The peer's process id as it wrote it in the last exchange; 0 before any.
    unsigned long getRemoteProcessId() const { return m_remoteProcessId; }

    // The longest name and data (in UTF-16 code units) the shared block holds.
    static const size_t kLongestName = 127;
    static const size_t kLongestData = 1023;

protected:
    CZelLocalIpc(bool listener, const std::wstring& channelName);

    // The listener's answer; E_FAIL when no listener is there or none answered
    // within the time-out (which bounds the wait for a listener and, again, the
    // wait for the answer).
    long Send(const std::wstring& name, const std::wstring& data, unsigned int timeoutMs);
    // Hands notifications to the callback, whose result starts at 0 for each
    // one; 1 on time-out, 0 once the callback (or, without one, the first
    // notification) ends the loop.
    long Receive(int(__stdcall* callback)(const std::wstring& name, const std::wstring& data, long* result),
                 unsigned int timeoutMs);

private:
    void CommonConstruct();
    bool awaitAnswer(unsigned int timeoutMs, unsigned long self, unsigned long takenHere, long& result);
    bool awaitSource(unsigned int timeoutMs);
    void createMutex();
    unsigned char* block() const { return static_cast<unsigned char*>(const_cast<void*>(m_view.get())); }

    std::wstring m_channelName;
    bool m_listener;
    WinAPI::FileHandle m_mutex;
    WinAPI::FileHandle m_sendEvent;
    WinAPI::FileHandle m_sendCreateEvent;
    WinAPI::FileHandle m_receiveEvent;
    WinAPI::FileHandle m_receiveCreateEvent;
    WinAPI::FileHandle m_mapping;
    WinAPI::ViewHandle m_view;
    unsigned long m_remoteProcessId = 0;
};

// The listener: hands each notification to a callback and answers with its result.
class QOKIVZELUT_API CZelNotificationSink : public CZelLocalIpc {
public:
    // An empty channel name accepts every notification; another one answers
    // notifications of other names with E_FAIL.
    explicit CZelNotificationSink(const std::wstring& channelName = std::wstring());
    using CZelLocalIpc::Receive;
};

// The source: sends one notification at a time and returns the listener's result.
class QOKIVZELUT_API CZelNotificationSource : public CZelLocalIpc {
public:
    CZelNotificationSource();
    using CZelLocalIpc::Send;
};
