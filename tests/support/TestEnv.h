// Isolation helpers for suites that touch the real system: each test gets its
// own temp directory and registry key, removed afterwards even on failure.
#pragma once

#include <QoKivZelUt/Process.h>
#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/WinPath.h>

#include <QoKivZelLg.h>

#include <windows.h>

#include <cstring>
#include <functional>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace qkztest {

// A fresh directory under %TEMP%, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const WinPath& path() const { return m_path; }
    // Writes bytes to a file below the directory and returns its path.
    WinPath write(const std::wstring& name, const std::string& bytes) const;
    // The same, then made `size` bytes long by zeros that take no room on a
    // disk that keeps files sparse (the file system under Wine does), and
    // `tail` written behind them.
    WinPath writeLarge(const std::wstring& name, const std::string& bytes, unsigned long long size,
                       const std::string& tail = std::string()) const;

private:
    WinPath m_path;
};

// A directory made for one test below an existing parent, removed with its contents.
class MadeDirectory {
public:
    explicit MadeDirectory(const WinPath& path) : m_path(path) { m_path.createDirectory(); }
    ~MadeDirectory() { m_path.removeRecursively(); }
    MadeDirectory(const MadeDirectory&) = delete;
    MadeDirectory& operator=(const MadeDirectory&) = delete;
    const WinPath& path() const { return m_path; }

private:
    WinPath m_path;
};

// A share of this computer, \\<computer>\<name>: Wine finds it as a directory
// below $WINEPREFIX/dosdevices/unc, which this makes (unique) and removes.
class OwnShare {
public:
    OwnShare();
    ~OwnShare();
    OwnShare(const OwnShare&) = delete;
    OwnShare& operator=(const OwnShare&) = delete;
    const std::wstring& name() const { return m_name; }
    WinPath unc() const;           // \\<computer>\<name>
    const WinPath& local() const { return m_local; }  // the directory behind it

private:
    std::wstring m_name;
    WinPath m_local;
};

// HKCU\Software\<test name>-<guid>, deleted with its subtree.
class TestRegistryKey {
public:
    TestRegistryKey();
    ~TestRegistryKey();
    TestRegistryKey(const TestRegistryKey&) = delete;
    TestRegistryKey& operator=(const TestRegistryKey&) = delete;
    HKEY key() const { return m_key; }
    const std::wstring& subkey() const { return m_subkey; }

private:
    std::wstring m_subkey;
    WinAPI::RegKey m_key;
};

struct LogEntry {
    std::wstring component;
    int level;
    wchar_t type;
    int debug;  // as the writer passed it: 0 or 1
    std::wstring text;
};

// Collects every log entry written while it lives.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::vector<LogEntry> entries() const;
    // Whether some entry's text contains the fragment.
    bool contains(const std::wstring& fragment) const;
    // How many entries' texts contain the fragment.
    int count(const std::wstring& fragment) const;
    // The fragments no entry contains, one a line: empty when every one is there.
    std::wstring missing(std::initializer_list<std::wstring> fragments) const;
    // Every entry's text, one a line: what a failed expectation prints to say why.
    std::wstring text() const;

private:
    static void sink(const ZelLgEntry* entry, void* context);
    mutable CRITICAL_SECTION m_lock;
    std::vector<LogEntry> m_entries;
};

// Every file below the directory, at any depth.
std::vector<WinPath> filesIn(const WinPath& directory);

// The rows of a data table below tests/ (UTF-8, fields separated by tabs,
// lines starting with '#' and empty lines left out), with the escapes \\, \",
// \n, \r and \t in the fields resolved.
std::vector<std::vector<std::wstring>> tableRows(const std::wstring& relativePath);

// The whole content of a file.
std::string bytesOf(const WinPath& file);

// A little-endian field of a byte string: read, or written into a copy. A
// field that does not lie wholly inside the bytes throws std::out_of_range.
template <class T>
T fieldAt(const std::string& bytes, size_t at)
{
    if (at > bytes.size() || bytes.size() - at < sizeof(T))
        throw std::out_of_range("a field outside the bytes");
    T value;
    std::memcpy(&value, bytes.data() + at, sizeof value);
    return value;
}
template <class T>
std::string patched(std::string bytes, size_t at, T value)
{
    fieldAt<T>(bytes, at);
    return bytes.replace(at, sizeof value, reinterpret_cast<const char*>(&value), sizeof value);
}

// Bytes placed flush against a no-access page: a read past their end faults
// instead of passing unnoticed.
class GuardedBytes {
public:
    explicit GuardedBytes(const std::string& bytes);
    ~GuardedBytes();
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    const unsigned char* data() const { return m_data; }
    size_t size() const { return m_size; }

private:
    unsigned char* m_base;
    unsigned char* m_data;
    size_t m_size;
};

// The directory the suite executables and helpers live in.
WinPath binDir();
WinPath testChild();

// A running qkz_testchild (or the copy of it that program names); terminated and
// closed on destruction.
class Child {
public:
    explicit Child(const std::wstring& arguments, bool inheritHandles = false, const WinPath& program = WinPath());
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    // Waits for the child to exit and returns its exit code.
    DWORD wait(DWORD timeoutMs = 30000);
    HANDLE handle() const { return m_process; }

private:
    WinAPI::FileHandle m_process;
};

// The program run to its end (a failure when it outlasts ms), its output collected.
ZelUt::Process ran(const WinPath& program, const std::wstring& arguments, DWORD ms = 30000);

// Starts qkz_testchild MODE PATH MILLISECONDS EVENT and waits until it signals that
// it holds, maps or loaded the path.
std::unique_ptr<Child> childHolding(const std::wstring& mode, const WinPath& path, DWORD ms);

// How a call failed: the code and message of the CZelException it threw.
struct Failure {
    unsigned long code;
    std::wstring message;
    bool operator==(const Failure& other) const { return code == other.code && message == other.message; }
};
std::ostream& operator<<(std::ostream& out, const Failure& failure);

// The CZelException the call throws; code 0xFFFFFFFF "(no exception)" when it returns.
Failure failureOf(const std::function<void()>& call);

// Empty when the directory's DACL is the one made for the caller alone (the
// system, the administrators and this account); its DACL text otherwise.
std::wstring daclUnlessPrivate(const WinPath& directory);

// The handles open in this process. GetProcessHandleCount answers 0 under
// Wine; this probes every handle value instead.
unsigned long openHandleCount();

// The bytes in use on the process's heaps, where the system's certificate
// stores, messages, type attributes and texts it returns live: memory, not
// handles.
size_t heapInUse();

// A unique name for kernel objects of one test.
std::wstring uniqueName(const std::wstring& stem);

} // namespace qkztest
