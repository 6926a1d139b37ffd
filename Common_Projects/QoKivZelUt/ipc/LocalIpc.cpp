#include <QoKivZelUt/LocalIpc.h>
#include <QoKivZelUt/Security.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>

using ZelUt::detail::throwLastError;

namespace {

const wchar_t kMutexName[] = L"Local\\{567D9457-6651-45a4-9996-78DE23E7FD96}";
const wchar_t kBlockName[] = L"Local\\{26ECD40E-279F-482c-B14D-9016714EA408}";
const wchar_t kSendCreateName[] = L"Local\\{351625D7-1711-4392-AD55-47FC76765855}";
const wchar_t kReceiveCreateName[] = L"Local\\{4188F5A2-439F-4622-9BDC-7B868AB8517C}";
const wchar_t kSendName[] = L"Local\\{AA4FE636-EC13-4774-A6DC-F1B764B4A5F0}";
const wchar_t kReceiveName[] = L"Local\\{C5486729-9D60-4e01-93A8-78B16119A7AD}";

// The shared block.
const size_t kNameOffset = 0, kNameBytes = 256;
const size_t kDataOffset = 256, kDataBytes = 2048;
const size_t kResultOffset = 2304, kProcessIdOffset = 2308;
const DWORD kBlockBytes = 2312;

// What the protocol needs of each object, and all that others of the session
// are granted: nobody but the creator may change an object's security.
const DWORD kEventRights = SYNCHRONIZE | EVENT_MODIFY_STATE;
const DWORD kMutexRights = SYNCHRONIZE | MUTEX_MODIFY_STATE;
const DWORD kSectionRights = FILE_MAP_READ | FILE_MAP_WRITE;
// The mutex is held while a block is copied, and by a listener while its
// callback runs: a peer holding it longer than this is hung, not busy.
const DWORD kLongestLockMs = 10000;
// How often a waiting source looks whether a listener of another process has
// taken its notification (from then on it waits for that listener's end too).
const DWORD kTakerLookMs = 100;

#define IPC_LOG ZEL_LOG_TRACE

// Notifications taken by listeners of this process: a source here cannot tell
// by the process id whether such a listener has taken its notification.
std::atomic<unsigned long> g_takenHere{0};

// Security attributes that grant every account of the session (the names
// under "Local" are the session's own) the rights given, and nothing more.
struct SessionObjectSecurity {
    explicit SessionObjectSecurity(DWORD rights)
        : descriptor(CZelSecurityDescriptor::fromSddl(L"D:(A;;" + hex(rights) + L";;;WD)"))
    {
        attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor.getSD(), FALSE};
    }
    static std::wstring hex(DWORD value)
    {
        wchar_t text[16];
        swprintf(text, 16, L"0x%lx", static_cast<unsigned long>(value));
        return text;
    }
    CZelSecurityDescriptor descriptor;
    SECURITY_ATTRIBUTES attributes;
};

DWORD boundedWait(unsigned int timeoutMs)
{
    return std::min<DWORD>(timeoutMs, kLongestLockMs);
}

// Holds the named mutex for a scope; a peer that keeps it longer than the
// bound is a failure. An abandoned mutex (its holder died) is ours to use.
class Lock {
public:
    Lock(HANDLE mutex, DWORD waitMs) : m_mutex(mutex)
    {
        DWORD result = ::WaitForSingleObject(m_mutex, waitMs);
        if (result == WAIT_TIMEOUT)
            throw CZelException(ERROR_TIMEOUT, L"IPC: another process has held the channel for longer than " +
                                                   std::to_wstring(waitMs) + L" ms.");
        if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED)
            throwLastError(L"IPC: the channel's mutex cannot be taken.");
    }
    ~Lock() { ::ReleaseMutex(m_mutex); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

private:
    HANDLE m_mutex;
};

std::wstring timeoutText(unsigned int timeoutMs)
{
    return timeoutMs == INFINITE ? std::wstring() : std::to_wstring(timeoutMs) + L" ms ";
}

// What is left of a time-out that started at `start` (INFINITE stays so).
DWORD remaining(unsigned int timeoutMs, ULONGLONG start)
{
    if (timeoutMs == INFINITE)
        return INFINITE;
    ULONGLONG spent = ::GetTickCount64() - start;
    return spent >= timeoutMs ? 0 : static_cast<DWORD>(timeoutMs - spent);
}

// A text field of the block, read no further than the field whatever its contents.
std::wstring readField(const unsigned char* field, size_t bytes)
{
    const wchar_t* text = reinterpret_cast<const wchar_t*>(field);
    return std::wstring(text, wcsnlen(text, bytes / sizeof(wchar_t)));
}

void writeField(unsigned char* field, const std::wstring& text)
{
    std::memcpy(field, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

DWORD readNumber(const unsigned char* field)
{
    DWORD value = 0;
    std::memcpy(&value, field, sizeof value);
    return value;
}

void writeNumber(unsigned char* field, DWORD value)
{
    std::memcpy(field, &value, sizeof value);
}

// Creates (or opens) an event; true in `created` when this call made it.
WinAPI::FileHandle createEvent(const wchar_t* name, SECURITY_ATTRIBUTES& attributes, bool& created)
{
    WinAPI::FileHandle event(::CreateEventExW(&attributes, name, 0, kEventRights));
    created = event.valid() && ::GetLastError() != ERROR_ALREADY_EXISTS;
    return event;
}

// Opens an event the other side creates; stays invalid while it does not exist.
void openPeerEvent(WinAPI::FileHandle& event, const wchar_t* name, const wchar_t* failure)
{
    event = ::OpenEventW(kEventRights, FALSE, name);
    if (!event.valid() && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        throwLastError(failure);
}

// Opens the block, or creates it when nobody has; opening asks for no more
// than mapping rights, which is all the block's security grants others.
WinAPI::FileHandle openOrCreateBlock()
{
    SessionObjectSecurity security(kSectionRights);
    for (int attempt = 0; attempt < 2; ++attempt) {
        WinAPI::FileHandle block(::OpenFileMappingW(kSectionRights, FALSE, kBlockName));
        if (block.valid() || ::GetLastError() != ERROR_FILE_NOT_FOUND)
            return block;
        block = ::CreateFileMappingW(INVALID_HANDLE_VALUE, &security.attributes, PAGE_READWRITE, 0, kBlockBytes,
                                     kBlockName);
        if (block.valid() || ::GetLastError() != ERROR_ACCESS_DENIED)  // denied: made meanwhile by another
            return block;
    }
    return WinAPI::FileHandle();
}

// A block somebody else made may not be what it should: reserved pages fault
// on first touch, and a small one is not the protocol's.
void requireUsableBlock(const void* view)
{
    MEMORY_BASIC_INFORMATION region = {};
    if (!::VirtualQuery(view, &region, sizeof region) || region.State != MEM_COMMIT ||
        region.RegionSize < kBlockBytes || !(region.Protect & (PAGE_READWRITE | PAGE_EXECUTE_READWRITE)))
        throw CZelException(ERROR_INVALID_DATA, L"IPC: the shared block is not usable (made by another process with "
                                                L"reserved pages, too small or read-only).");
}

// The listener process that has taken this source's notification, opened to
// wait on; invalid while none of another process has (or it cannot be opened).
// The field is read without the mutex, which a listener holds while its
// callback runs: an aligned number is read whole.
WinAPI::FileHandle listenerThatTook(const unsigned char* field, DWORD self, DWORD& taker)
{
    taker = readNumber(field);
    if (taker == 0 || taker == self)
        return WinAPI::FileHandle();
    return WinAPI::FileHandle(::OpenProcess(SYNCHRONIZE, FALSE, taker));
}

// A source that died while its notification was handled must not get the
// answer: the signal would stay set and answer the next source's request.
bool sourceHasGone(DWORD processId)
{
    if (processId == 0 || processId == ::GetCurrentProcessId())
        return false;
    WinAPI::FileHandle process(::OpenProcess(SYNCHRONIZE, FALSE, processId));
    if (!process.valid())
        return ::GetLastError() == ERROR_INVALID_PARAMETER;  // no such process any more
    return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

} // namespace

CZelLocalIpc::CZelLocalIpc(bool listener, const std::wstring& channelName)
    : m_channelName(channelName), m_listener(listener)
{
    createMutex();
    CommonConstruct();
}

CZelLocalIpc::~CZelLocalIpc() = default;

void CZelLocalIpc::createMutex()
{
    SessionObjectSecurity security(kMutexRights);
    m_mutex = ::CreateMutexExW(&security.attributes, kMutexName, 0, kMutexRights);
    if (!m_mutex.valid())
        throwLastError(std::wstring(L"Error creating mutex ") + kMutexName);
}

// Each step runs only for an object not yet there, so a half-built channel is
// completed when the other side has appeared.
void CZelLocalIpc::CommonConstruct()
{
    if (!m_mapping.valid() && !(m_mapping = openOrCreateBlock()).valid())
        throwLastError(L"Could not create file mapping.");
    if (!m_view.valid()) {
        m_view = ::MapViewOfFile(m_mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
        if (!m_view.valid())
            throwLastError(L"Could not map view of file.");
        requireUsableBlock(m_view.get());
    }
    SessionObjectSecurity events(kEventRights);
    bool created = false;
    if (!m_sendCreateEvent.valid() &&
        !(m_sendCreateEvent = createEvent(kSendCreateName, events.attributes, created)).valid())
        throwLastError(L"Could not create send create event.");
    if (!m_receiveCreateEvent.valid() &&
        !(m_receiveCreateEvent = createEvent(kReceiveCreateName, events.attributes, created)).valid())
        throwLastError(L"Could not create receive create event.");
    if (!m_sendEvent.valid()) {
        if (m_listener) {
            openPeerEvent(m_sendEvent, kSendName, L"Could not open send event.");
        } else {
            if (!(m_sendEvent = createEvent(kSendName, events.attributes, created)).valid())
                throwLastError(L"Could not create send event.");
            if (created)
                ::SetEvent(m_sendCreateEvent);
        }
    }
    if (!m_receiveEvent.valid()) {
        if (!m_listener) {
            openPeerEvent(m_receiveEvent, kReceiveName, L"Could not open receive event.");
        } else {
            if (!(m_receiveEvent = createEvent(kReceiveName, events.attributes, created)).valid())
                throwLastError(L"Could not create receive event.");
            if (created)
                ::SetEvent(m_receiveCreateEvent);
        }
    }
    IPC_LOG << (m_listener ? L"IPC(Listener) : constructed" : L"IPC(Source)   : constructed");
}

long CZelLocalIpc::Send(const std::wstring& name, const std::wstring& data, unsigned int timeoutMs)
{
    // Longer texts would run into the neighbouring fields of the block.
    if (name.size() > kLongestName)
        throw CZelException(ERROR_INVALID_PARAMETER, L"IPC(Source): the notification name has " +
                                                         std::to_wstring(name.size()) + L" characters, at most " +
                                                         std::to_wstring(kLongestName) + L" fit.");
    if (data.size() > kLongestData)
        throw CZelException(ERROR_INVALID_PARAMETER, L"IPC(Source): the notification data has " +
                                                         std::to_wstring(data.size()) + L" characters, at most " +
                                                         std::to_wstring(kLongestData) + L" fit.");
    if (!m_receiveEvent.valid()) {
        IPC_LOG << L"IPC(Source)   : waiting " << timeoutText(timeoutMs) << L"for listener to become alive...";
        DWORD alive = ::WaitForSingleObject(m_receiveCreateEvent, timeoutMs);
        if (alive == WAIT_TIMEOUT)
            throw CZelException(ERROR_FILE_NOT_FOUND, L"IPC(Source) timeout. Internal error.");
        if (alive != WAIT_OBJECT_0)
            throwLastError(L"IPC(Source): waiting for a listener failed.");
        IPC_LOG << L"IPC(Source)   : listener alive";
        CommonConstruct();
    }
    if (!m_receiveEvent.valid())
        return E_FAIL;
    const DWORD self = ::GetCurrentProcessId();
    {
        Lock hold(m_mutex, boundedWait(timeoutMs));
        writeField(block() + kNameOffset, name);
        writeField(block() + kDataOffset, data);
        writeNumber(block() + kProcessIdOffset, self);
    }
    IPC_LOG << L"IPC(Source)   : sending notification '" << (name.empty() ? L"<unnamed>" : name)
            << L"' to listener, waiting for response...";
    const unsigned long takenHere = g_takenHere;
    ::SetEvent(m_sendEvent);
    long result = 0;
    if (!awaitAnswer(timeoutMs, self, takenHere, result))
        return E_FAIL;
    wchar_t hex[16];
    swprintf(hex, 16, L"%08lx", static_cast<unsigned long>(result));
    IPC_LOG << L"IPC(Source)   : received response " << result << L" (0x" << hex << L") from listener (PID "
            << m_remoteProcessId << L")";
    return result;
}

// The answer to this source's own notification: a listener that takes it puts
// its process id where the source's was, so a signal left over from an earlier
// exchange (its source died waiting) is told apart and waited past. False
// when no answer came within the time-out (the notification is taken back),
// or the listener that took it ended without answering.
bool CZelLocalIpc::awaitAnswer(unsigned int timeoutMs, DWORD self, unsigned long takenHere, long& result)
{
    const ULONGLONG start = ::GetTickCount64();
    WinAPI::FileHandle taker;
    DWORD takerId = 0;
    for (;;) {
        const DWORD left = remaining(timeoutMs, start);
        HANDLE waits[2] = {m_receiveEvent.get(), taker.get()};
        DWORD answered = ::WaitForMultipleObjects(taker.valid() ? 2 : 1, waits, FALSE,
                                                  taker.valid() ? left : std::min(left, kTakerLookMs));
        if (answered == WAIT_TIMEOUT && left > kTakerLookMs && !taker.valid()) {
            taker = listenerThatTook(block() + kProcessIdOffset, self, takerId);
            continue;
        }
        if (answered == WAIT_TIMEOUT) {
            ::WaitForSingleObject(m_sendEvent, 0);
            IPC_LOG << L"IPC(Source)   : no response from listener within " << timeoutMs << L" ms";
            return false;
        }
        if (answered == WAIT_OBJECT_0 + 1) {
            IPC_LOG << L"IPC(Source)   : the listener (PID " << takerId
                    << L") that took the notification ended without answering";
            return false;
        }
        if (answered != WAIT_OBJECT_0)
            throwLastError(L"IPC(Source): waiting for the response failed.");
        Lock hold(m_mutex, boundedWait(timeoutMs));
        DWORD peer = readNumber(block() + kProcessIdOffset);
        if (peer == self && g_takenHere == takenHere)
            continue;  // not taken yet: the signal was meant for somebody else
        m_remoteProcessId = peer;
        result = static_cast<long>(readNumber(block() + kResultOffset));
        return true;
    }
}

// Waits for a source's send event; a create event set without one (a source
// that came and went, or anybody setting it) sends the listener back to
// waiting for what is left of its time-out.
bool CZelLocalIpc::awaitSource(unsigned int timeoutMs)
{
    const ULONGLONG start = ::GetTickCount64();
    while (!m_sendEvent.valid()) {
        IPC_LOG << L"IPC(Listener) : waiting " << timeoutText(timeoutMs) << L"for source to become alive...";
        DWORD alive = ::WaitForSingleObject(m_sendCreateEvent, remaining(timeoutMs, start));
        if (alive == WAIT_TIMEOUT)
            return false;
        if (alive != WAIT_OBJECT_0)
            throwLastError(L"IPC(Listener): waiting for a source failed.");
        IPC_LOG << L"IPC(Listener) : source alive";
        CommonConstruct();
    }
    return true;
}

long CZelLocalIpc::Receive(int(__stdcall* callback)(const std::wstring& name, const std::wstring& data, long* result),
                           unsigned int timeoutMs)
{
    if (!awaitSource(timeoutMs)) {
        IPC_LOG << L"IPC(Listener) : timeout";
        return 1;
    }
    const DWORD self = ::GetCurrentProcessId();
    long* result = reinterpret_cast<long*>(block() + kResultOffset);
    for (;;) {
        IPC_LOG << L"IPC(Listener) : waiting " << timeoutText(timeoutMs) << L"for notification from source...";
        DWORD sent = ::WaitForSingleObject(m_sendEvent, timeoutMs);
        if (sent == WAIT_TIMEOUT) {
            IPC_LOG << L"IPC(Listener) : timeout";
            return 1;
        }
        if (sent != WAIT_OBJECT_0)
            throwLastError(L"IPC(Listener): waiting for a notification failed.");
        bool keepListening = false, handedOn = false;
        DWORD source = 0;
        {
            Lock hold(m_mutex, boundedWait(timeoutMs));
            std::wstring name = readField(block() + kNameOffset, kNameBytes);
            source = readNumber(block() + kProcessIdOffset);
            writeNumber(block() + kProcessIdOffset, self);  // taken: the source waits for this
            ++g_takenHere;
            if (m_channelName.empty() || name == m_channelName) {
                handedOn = true;
                m_remoteProcessId = source;
                IPC_LOG << L"IPC(Listener) : received notification '" << name << L"' from source (PID " << source
                        << L")";
                *result = 0;  // the answer unless the callback gives another
                if (callback)
                    keepListening = callback(name, readField(block() + kDataOffset, kDataBytes), result) != 0;
            } else {
                *result = E_FAIL;
            }
        }
        if (handedOn)
            IPC_LOG << L"IPC(Listener) : sending response to source, " << (keepListening ? L"continue" : L"stop")
                    << L" listening";
        if (sourceHasGone(source))
            IPC_LOG << L"IPC(Listener) : source (PID " << source << L") has gone; no response sent";
        else
            ::SetEvent(m_receiveEvent);
        if (handedOn && !keepListening)
            return 0;
    }
}

CZelNotificationSink::CZelNotificationSink(const std::wstring& channelName) : CZelLocalIpc(true, channelName) {}

CZelNotificationSource::CZelNotificationSource() : CZelLocalIpc(false, std::wstring()) {}
