#include "Progress.h"

#include <windows.h>

#include <algorithm>

namespace zelut {

namespace {

bool stderrIsConsole()
{
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

} // namespace

ProgressBar::ProgressBar(bool quiet, const std::wstring& unit) : m_shown(!quiet && stderrIsConsole()), m_unit(unit) {}

ProgressBar::~ProgressBar()
{
    if (m_drawn)
        err(L"\n");
}

void ProgressBar::update(unsigned long long done, unsigned long long total)
{
    if (!m_shown)
        return;
    const int width = 30;
    int filled = total > 0 ? static_cast<int>(std::min(done, total) * width / total) : width;
    std::wstring line = L"\r[" + std::wstring(filled, L'#') + std::wstring(width - filled, L'.') + L"] " +
                        std::to_wstring(done) + L"/" + std::to_wstring(total) + L" " + m_unit;
    if (line == m_last)
        return;
    m_last = line;
    m_drawn = true;
    err(line);
}

void ProgressBar::clear()
{
    if (!m_drawn)
        return;
    err(L"\r" + std::wstring(m_last.size(), L' ') + L"\r");
    m_drawn = false;
    m_last.clear();
}

bool takeQuiet(Args& args)
{
    auto found = std::find(args.begin(), args.end(), L"--quiet");
    if (found == args.end())
        return false;
    args.erase(found);
    return true;
}

} // namespace zelut
