// Makes a directory current while it lives, then restores the previous one.
#pragma once

#include <QoKivZelUt/WinAPI.h>

#include "foundation/Log.h"

namespace ZelUt {

class CurrentDirectory {
public:
    explicit CurrentDirectory(const WinPath& directory) : m_previous(WinAPI::getCurrentDirectory())
    {
        WinAPI::chdir(directory);
    }
    ~CurrentDirectory()
    {
        try {
            WinAPI::chdir(m_previous);
        } catch (const CZelException& e) {
            ZEL_LOG_WARNING << L"Could not restore the current directory " << m_previous << L": "
                            << e.getFullText();
        }
    }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    WinPath m_previous;
};

} // namespace ZelUt
