#include "TestEnv.h"

#include <QoKivZelLg.h>
#include <QoKivZelUt/Guid.h>
#include <QoKivZelUt/Security.h>

#include "WineDifferences.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace qkztest {

namespace {

std::wstring currentTestName()
{
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "qkz";
    return std::wstring(name.begin(), name.end());
}

} // namespace

unsigned long openHandleCount()
{
    unsigned long count = 0;
    DWORD flags = 0;
    for (ULONG_PTR value = 4; value < 4 * 0x10000; value += 4)
        count += GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags) ? 1 : 0;
    return count;
}

size_t heapInUse()
{
    // Every heap, not only the process heap: the system's C runtime, which
    // its libraries allocate from, keeps a heap of its own.
    std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
    heaps.resize(std::min<size_t>(heaps.size(), GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data())));
    size_t used = 0;
    for (HANDLE heap : heaps) {
        PROCESS_HEAP_ENTRY entry = {};
        HeapLock(heap);
        while (HeapWalk(heap, &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                used += entry.cbData;
        HeapUnlock(heap);
    }
    return used;
}

std::wstring uniqueName(const std::wstring& stem)
{
    return stem + L"-" + CGuid::createGuid().toString().substr(1, 36);
}

TempDir::TempDir() : m_path(WinAPI::getTempPath() / uniqueName(L"qkz"))
{
    if (!CreateDirectoryW(m_path.str().c_str(), nullptr))
        throw CZelException(GetLastError(), L"test temp dir " + m_path.str());
}

TempDir::~TempDir()
{
    try {
        m_path.removeRecursively();
    } catch (const CZelException& e) {
        ADD_FAILURE() << "temp dir not removed: " << e.what();
    }
}

WinPath TempDir::write(const std::wstring& name, const std::string& bytes) const
{
    WinPath file = m_path / name;
    WinAPI::writeFile(WinAPI::createFile(file), bytes);
    return file;
}

WinPath TempDir::writeLarge(const std::wstring& name, const std::string& bytes, unsigned long long size,
                            const std::string& tail) const
{
    WinPath file = m_path / name;
    WinAPI::FileHandle out = WinAPI::createFile(file);
    WinAPI::writeFile(out, bytes);
    LARGE_INTEGER end;
    end.QuadPart = static_cast<LONGLONG>(size);
    if (!SetFilePointerEx(out, end, nullptr, FILE_BEGIN) || !SetEndOfFile(out))
        throw CZelException(GetLastError(), L"Could not make " + file.str() + L" large");
    WinAPI::writeFile(out, tail);
    return file;
}

OwnShare::OwnShare() : m_name(uniqueName(L"qkzown"))
{
    std::wstring prefix = WinAPI::getEnvironmentVariable(L"WINEPREFIX");
    if (prefix.empty())
        throw CZelException(ERROR_ENVVAR_NOT_FOUND, L"OwnShare needs WINEPREFIX");
    std::wstring computer = WinAPI::getComputerName();
    for (wchar_t& c : computer)
        c = towlower(c);
    WinPath servers = WinPath(L"Z:" + prefix) / L"dosdevices" / L"unc" / computer;
    WinAPI::createDirectory(servers.getParent());
    WinAPI::createDirectory(servers);
    m_local = servers / m_name;
    WinAPI::createDirectory(m_local);
}

OwnShare::~OwnShare()
{
    try {
        m_local.removeRecursively();
    } catch (const CZelException& e) {
        ADD_FAILURE() << "share directory not removed: " << e.what();
    }
}

WinPath OwnShare::unc() const
{
    return WinPath(L"\\\\" + WinAPI::getComputerName() + L"\\" + m_name);
}

TestRegistryKey::TestRegistryKey() : m_subkey(L"Software\\" + uniqueName(currentTestName()))
{
    m_key = WinAPI::regCreateKeyEx(HKEY_CURRENT_USER, m_subkey);
}

TestRegistryKey::~TestRegistryKey()
{
    m_key.release();
    LONG status = RegDeleteTreeW(HKEY_CURRENT_USER, m_subkey.c_str());
    if (status == ERROR_SUCCESS)
        status = RegDeleteKeyW(HKEY_CURRENT_USER, m_subkey.c_str());
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND)
        ADD_FAILURE() << "test key not removed: " << status;
}

LogCapture::LogCapture()
{
    InitializeCriticalSection(&m_lock);
    ZelLgSetSink(&LogCapture::sink, this);
}

LogCapture::~LogCapture()
{
    ZelLgSetSink(nullptr, nullptr);
    DeleteCriticalSection(&m_lock);
}

void LogCapture::sink(const ZelLgEntry* e, void* context)
{
    auto* self = static_cast<LogCapture*>(context);
    EnterCriticalSection(&self->m_lock);
    self->m_entries.push_back({e->component ? e->component : L"", e->level, e->type, e->debug,
                               e->text ? e->text : L""});
    LeaveCriticalSection(&self->m_lock);
}

std::vector<LogEntry> LogCapture::entries() const
{
    EnterCriticalSection(&m_lock);
    std::vector<LogEntry> copy = m_entries;
    LeaveCriticalSection(&m_lock);
    return copy;
}

bool LogCapture::contains(const std::wstring& fragment) const
{
    return count(fragment) > 0;
}

int LogCapture::count(const std::wstring& fragment) const
{
    int n = 0;
    for (const LogEntry& e : entries())
        n += e.text.find(fragment) != std::wstring::npos;
    return n;
}

std::wstring LogCapture::missing(std::initializer_list<std::wstring> fragments) const
{
    std::wstring absent;
    for (const std::wstring& fragment : fragments)
        if (!contains(fragment))
            absent += fragment + L"\n";
    return absent;
}

std::wstring LogCapture::text() const
{
    std::wstring lines;
    for (const LogEntry& e : entries())
        lines += e.text + L"\n";
    return lines;
}

WinPath binDir()
{
    return WinAPI::getModuleFileName(nullptr).getParent();
}

WinPath testChild()
{
    return binDir() / L"qkz_testchild.exe";
}

Child::Child(const std::wstring& arguments, bool inheritHandles, const WinPath& program)
{
    std::wstring commandLine = (program.empty() ? testChild() : program).getQuoted() + L" " + arguments;
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, inheritHandles, 0, nullptr, nullptr, &si, &pi))
        throw CZelException(GetLastError(), L"test child " + commandLine);
    CloseHandle(pi.hThread);
    m_process = pi.hProcess;
}

Child::~Child()
{
    if (WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_process, 1);
        WaitForSingleObject(m_process, 5000);
    }
}

DWORD Child::wait(DWORD timeoutMs)
{
    if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0)
        throw CZelException(WAIT_TIMEOUT, L"test child did not exit");
    DWORD code = 0;
    GetExitCodeProcess(m_process, &code);
    return code;
}

ZelUt::Process ran(const WinPath& program, const std::wstring& arguments, DWORD ms)
{
    ZelUt::Process p(program, arguments, WinPath());
    p.start(true);
    EXPECT_TRUE(p.wait(ms)) << WinAPI::toUtf8(program.str() + L" " + arguments);
    return p;
}

std::unique_ptr<Child> childHolding(const std::wstring& mode, const WinPath& path, DWORD ms)
{
    std::wstring eventName = uniqueName(L"qkz-ready");
    WinAPI::FileHandle ready(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()));
    auto child = std::make_unique<Child>(mode + L" " + path.getQuoted() + L" " + std::to_wstring(ms) + L" " + eventName);
    HANDLE waits[] = {ready.get(), child->handle()};
    EXPECT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, waits, FALSE, 10000)) << "child did not get ready";
    return child;
}

std::vector<WinPath> filesIn(const WinPath& directory)
{
    std::vector<WinPath> files;
    WIN32_FIND_DATAW data;
    WinAPI::FindHandle search = WinAPI::findFirstFile(directory / L"*", data);
    for (bool more = search.valid(); more; more = WinAPI::findNextFile(search, data)) {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            std::vector<WinPath> inner = filesIn(directory / name);
            files.insert(files.end(), inner.begin(), inner.end());
        } else {
            files.push_back(directory / name);
        }
    }
    return files;
}

namespace {

std::wstring unescaped(const std::wstring& field)
{
    std::wstring text;
    for (size_t i = 0; i < field.size(); ++i) {
        wchar_t c = field[i];
        if (c == L'\\' && i + 1 < field.size()) {
            c = field[++i];
            c = c == L'n' ? L'\n' : c == L'r' ? L'\r' : c == L't' ? L'\t' : c;
        }
        text += c;
    }
    return text;
}

} // namespace

std::vector<std::vector<std::wstring>> tableRows(const std::wstring& relativePath)
{
    std::wstring text = WinAPI::fromUtf8(bytesOf(WinPath(QKZ_TESTS_SOURCE) / relativePath));
    std::vector<std::vector<std::wstring>> rows;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find(L'\n', start), text.size());
        std::wstring line = text.substr(start, end - start);
        if (line.empty() || line[0] == L'#')
            continue;
        std::vector<std::wstring> fields;
        for (size_t from = 0, tab;; from = tab + 1) {
            tab = line.find(L'\t', from);
            fields.push_back(unescaped(line.substr(from, tab - from)));
            if (tab == std::wstring::npos)
                break;
        }
        rows.push_back(fields);
    }
    return rows;
}

std::string bytesOf(const WinPath& file)
{
    return WinAPI::readFileA(WinAPI::openFileReadOnly(file));
}

GuardedBytes::GuardedBytes(const std::string& bytes) : m_size(bytes.size())
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    size_t page = system.dwPageSize, pages = (bytes.size() + page - 1) / page;
    m_base = static_cast<unsigned char*>(VirtualAlloc(nullptr, (pages + 1) * page, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    DWORD old;
    VirtualProtect(m_base + pages * page, page, PAGE_NOACCESS, &old);
    m_data = m_base + pages * page - bytes.size();
    std::copy(bytes.begin(), bytes.end(), m_data);
}

GuardedBytes::~GuardedBytes()
{
    VirtualFree(m_base, 0, MEM_RELEASE);
}

std::ostream& operator<<(std::ostream& out, const Failure& failure)
{
    return out << "{" << failure.code << ", \"" << WinAPI::toUtf8(failure.message) << "\"}";
}

std::wstring daclUnlessPrivate(const WinPath& directory)
{
    const std::wstring sddl = CZelSecurityDescriptor::fromFile(directory).toSddl();
    const std::wstring dacl = sddl.substr(std::min(sddl.size(), sddl.find(L"D:")));
    const bool isPrivate =
        fileSecurityIsSynthesised()
            ? dacl.find(L";;;WD)") == std::wstring::npos  // made from mode bits: others get none
            : dacl == L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;" + CZelSid::FromProcessUser().toString() + L")";
    return isPrivate ? std::wstring() : dacl;
}

Failure failureOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const CZelException& e) {
        return Failure{e.getErrorCode(), e.getMessage()};
    }
    return Failure{0xFFFFFFFFu, L"(no exception)"};
}

} // namespace qkztest
