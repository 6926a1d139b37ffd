// A snapshot of the running processes, walked from the first entry each time.
#pragma once

#include <QoKivZelUt/WinAPI.h>
#include <QoKivZelUt/WinPath.h>

#include <tlhelp32.h>

namespace ZelUt {
namespace detail {

class ProcessSnapshot {
public:
    ProcessSnapshot() : m_snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, 0)) {}
    bool valid() const { return m_snapshot.valid(); }

    // Calls visit(entry) for each process until it returns true; returns whether one did.
    template <class Visit>
    bool find(Visit visit, PROCESSENTRY32W* found = nullptr) const
    {
        if (!m_snapshot.valid())
            return false;
        PROCESSENTRY32W entry;
        entry.dwSize = sizeof(entry);
        for (BOOL more = Process32FirstW(m_snapshot, &entry); more; more = Process32NextW(m_snapshot, &entry)) {
            if (visit(entry)) {
                if (found)
                    *found = entry;
                return true;
            }
            entry.dwSize = sizeof(entry);
        }
        return false;
    }

    bool findById(DWORD pid, PROCESSENTRY32W& found) const
    {
        return find([&](const PROCESSENTRY32W& e) { return e.th32ProcessID == pid; }, &found);
    }

private:
    WinAPI::FileHandle m_snapshot;
};

// The process opened with the access wanted when it runs from the file a full
// path names (any process for a bare name); runsIt tells whether it does, also
// when the open was refused.
WinAPI::FileHandle openProcessRunning(DWORD processId, DWORD access, const WinPath& executable, bool& runsIt);

} // namespace detail
} // namespace ZelUt
