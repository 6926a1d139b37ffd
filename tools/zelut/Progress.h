// A one-line progress bar on standard error for long commands. It is drawn only
// when standard error is a console and the command was not told --quiet: a
// pipe or a file never sees it.
#pragma once

#include "Command.h"

#include <QoKivZelUt/FileHasher.h>

#include <string>

namespace zelut {

class ProgressBar {
public:
    // `unit` names what is counted ("files", "MiB").
    ProgressBar(bool quiet, const std::wstring& unit);
    // Ends the line when something was drawn.
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    bool shown() const { return m_shown; }
    // Redraws when the filled width or the count changed since the last drawing.
    void update(unsigned long long done, unsigned long long total);
    // Blanks the line, so that other output can be written there.
    void clear();

private:
    bool m_shown;
    std::wstring m_unit;
    std::wstring m_last;
    bool m_drawn = false;
};

// The bytes a file hasher reads, in MiB, on a bar of all the bytes to read.
class ReadProgress : public ZelUt::FileHasher::IProgress {
public:
    ReadProgress(ProgressBar& bar, unsigned long long totalBytes) : m_bar(bar), m_total(totalBytes) {}
    // The next file starts after everything read so far.
    void nextFile() { m_base = m_done; }
    void fileRead(unsigned long long done, unsigned long long) override
    {
        m_done = m_base + done;
        m_bar.update(m_done >> 20, m_total >> 20);
    }

private:
    ProgressBar& m_bar;
    unsigned long long m_total;
    unsigned long long m_base = 0;
    unsigned long long m_done = 0;
};

// Removes a "--quiet" argument; true when there was one.
bool takeQuiet(Args& args);

} // namespace zelut
