#include <QoKivZelUt/LocalIpc.h>
#include <QoKivZelUt/Security.h>

#include "foundation/ErrorText.h"
#include "foundation/Log.h"

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
const DWORD kEventAccess = EVENT_MODIFY_STATE | SYNCHRONIZE;

#define IPC_LOG ZEL_LOG_TRACE

// Security attributes whose descriptor has a null DACL: any account of the session may use the objects.
struct OpenToSession {
    OpenToSession()
    {
        descriptor.setDacl(CZelAcl());
        attributes = {sizeof(SECURITY_ATTRIBUTES), descriptor.getSD(), FALSE};
    }
    CZelSecurityDescriptor descriptor;
    SECURITY_ATTRIBUTES attributes;
};

// Holds the named mutex for a scope.
class Lock {
public:
    explicit Lock(HANDLE mutex) : m_mutex(mutex) { ::WaitForSingleObject(m_mutex, INFINITE); }
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

// Creates (or opens) an event; true in `created` when this call made it.
WinAPI::FileHandle createEvent(const wchar_t* name, SECURITY_ATTRIBUTES& attributes, bool& created)
{
    WinAPI::FileHandle event(::CreateEventW(&attributes, FALSE, FALSE, name));
    created = event.valid() && ::GetLastError() != ERROR_ALREADY_EXISTS;
    return event;
}

// Opens an event the other side creates; stays invalid while it does not exist.
void openPeerEvent(WinAPI::FileHandle& event, const wchar_t* name, const wchar_t* failure)
{
    event = ::OpenEventW(kEventAccess, FALSE, name);
    if (!event.valid() && ::GetLastError() != ERROR_FILE_NOT_FOUND)
        throwLastError(failure);
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
    SECURITY_DESCRIPTOR descriptor;
    if (!::InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION))
        throwLastError(L"Error at InitializeSecurityDescriptor");
    if (!::SetSecurityDescriptorDacl(&descriptor, TRUE, nullptr, FALSE))
        throwLastError(L"Error at SetSecurityDescriptorDacl");
    SECURITY_ATTRIBUTES attributes = {sizeof(SECURITY_ATTRIBUTES), &descriptor, FALSE};
    m_mutex = ::CreateMutexW(&attributes, FALSE, kMutexName);
    if (!m_mutex.valid())
        throwLastError(std::wstring(L"Error creating mutex ") + kMutexName);
}

// Each step runs only for an object not yet there, so a half-built channel is
// completed when the other side has appeared.
void CZelLocalIpc::CommonConstruct()
{
    OpenToSession open;
    if (!m_mapping.valid()) {
        m_mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, &open.attributes, PAGE_READWRITE, 0, kBlockBytes,
                                         kBlockName);
        if (!m_mapping.valid())
            throwLastError(L"Could not create file mapping.");
    }
    if (!m_view.valid()) {
        m_view = ::MapViewOfFile(m_mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
        if (!m_view.valid())
            throwLastError(L"Could not map view of file.");
    }
    bool created = false;
    if (!m_sendCreateEvent.valid() &&
        !(m_sendCreateEvent = createEvent(kSendCreateName, open.attributes, created)).valid())
        throwLastError(L"Could not create send create event.");
    if (!m_receiveCreateEvent.valid() &&
        !(m_receiveCreateEvent = createEvent(kReceiveCreateName, open.attributes, created)).valid())
        throwLastError(L"Could not create receive create event.");
    if (!m_sendEvent.valid()) {
        if (m_listener) {
            openPeerEvent(m_sendEvent, kSendName, L"Could not open send event.");
        } else {
            if (!(m_sendEvent = createEvent(kSendName, open.attributes, created)).valid())
                throwLastError(L"Could not create send event.");
            if (created)
                ::SetEvent(m_sendCreateEvent);
        }
    }
    if (!m_receiveEvent.valid()) {
        if (!m_listener) {
            openPeerEvent(m_receiveEvent, kReceiveName, L"Could not open receive event.");
        } else {
            if (!(m_receiveEvent = createEvent(kReceiveName, open.attributes, created)).valid())
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
        if (::WaitForSingleObject(m_receiveCreateEvent, timeoutMs) == WAIT_TIMEOUT)
            throw CZelException(ERROR_FILE_NOT_FOUND, L"IPC(Source) timeout. Internal error.");
        IPC_LOG << L"IPC(Source)   : listener alive";
        CommonConstruct();
    }
    if (!m_receiveEvent.valid())
        return E_FAIL;
    {
        Lock hold(m_mutex);
        writeField(block() + kNameOffset, name);
        writeField(block() + kDataOffset, data);
        DWORD self = ::GetCurrentProcessId();
        std::memcpy(block() + kProcessIdOffset, &self, sizeof self);
    }
    IPC_LOG << L"IPC(Source)   : sending notification '" << (name.empty() ? L"<unnamed>" : name)
            << L"' to listener, waiting for response...";
    ::SetEvent(m_sendEvent);
    ::WaitForSingleObject(m_receiveEvent, INFINITE);
    long result = 0;
    {
        Lock hold(m_mutex);
        std::memcpy(&result, block() + kResultOffset, sizeof result);
        std::memcpy(&m_remoteProcessId, block() + kProcessIdOffset, sizeof(DWORD));
    }
    wchar_t hex[16];
    swprintf(hex, 16, L"%08lx", static_cast<unsigned long>(result));
    IPC_LOG << L"IPC(Source)   : received response " << result << L" (0x" << hex << L") from listener (PID "
            << m_remoteProcessId << L")";
    return result;
}

long CZelLocalIpc::Receive(int(__stdcall* callback)(const std::wstring& name, const std::wstring& data, long* result),
                           unsigned int timeoutMs)
{
    if (!m_sendEvent.valid()) {
        IPC_LOG << L"IPC(Listener) : waiting " << timeoutText(timeoutMs) << L"for source to become alive...";
        if (::WaitForSingleObject(m_sendCreateEvent, timeoutMs) == WAIT_TIMEOUT) {
            IPC_LOG << L"IPC(Listener) : timeout";
            return 1;
        }
        IPC_LOG << L"IPC(Listener) : source alive";
        CommonConstruct();
    }
    long* result = reinterpret_cast<long*>(block() + kResultOffset);
    for (;;) {
        IPC_LOG << L"IPC(Listener) : waiting " << timeoutText(timeoutMs) << L"for notification from source...";
        if (::WaitForSingleObject(m_sendEvent, timeoutMs) == WAIT_TIMEOUT) {
            IPC_LOG << L"IPC(Listener) : timeout";
            return 1;
        }
        if (!m_channelName.empty()) {
            Lock hold(m_mutex);
            if (readField(block() + kNameOffset, kNameBytes) != m_channelName) {
                *result = E_FAIL;
                ::SetEvent(m_receiveEvent);
                continue;
            }
        }
        bool keepListening = false;
        {
            Lock hold(m_mutex);
            std::wstring name = readField(block() + kNameOffset, kNameBytes);
            std::memcpy(&m_remoteProcessId, block() + kProcessIdOffset, sizeof(DWORD));
            IPC_LOG << L"IPC(Listener) : received notification '" << name << L"' from source (PID "
                    << m_remoteProcessId << L")";
            DWORD self = ::GetCurrentProcessId();
            std::memcpy(block() + kProcessIdOffset, &self, sizeof self);
            if (callback)
                keepListening = callback(name, readField(block() + kDataOffset, kDataBytes), result) != 0;
        }
        IPC_LOG << L"IPC(Listener) : sending response to source, " << (keepListening ? L"continue" : L"stop")
                << L" listening";
        ::SetEvent(m_receiveEvent);
        if (!keepListening)
            return 0;
    }
}

CZelNotificationSink::CZelNotificationSink(const std::wstring& channelName) : CZelLocalIpc(true, channelName) {}

CZelNotificationSource::CZelNotificationSource() : CZelLocalIpc(false, std::wstring()) {}
