// How an Installer call that answers "another installation is running" (1618)
// is tried again: after waiting for the other installation when that wait can
// be done, after a growing pause when it cannot, and never for longer than a
// bound in pauses. Pure, so the policy is tested without an Installer.
#pragma once

#include <windows.h>

#include <algorithm>

namespace ZelUt {
namespace detail {

const DWORD kFirstBusyPauseMs = 250;
const DWORD kLongestBusyPauseMs = 5000;
// Where the other installation cannot be waited for (inside msiexec, or its
// mutex cannot be opened), 1618 is given up after two minutes of pauses.
const DWORD kBusyPausesBoundMs = 120000;

// attempt() makes the Installer call; waitForOther() waits for the running
// installation and tells whether it could; pause(ms) waits that long,
// pumping messages. Returns the last result of attempt().
template <class Attempt, class Wait, class Pause>
UINT retryWhileInstallerBusy(Attempt attempt, Wait waitForOther, Pause pause, DWORD boundMs = kBusyPausesBoundMs)
{
    waitForOther();
    UINT result = attempt();
    DWORD paused = 0, next = kFirstBusyPauseMs;
    while (result == ERROR_INSTALL_ALREADY_RUNNING) {
        if (waitForOther()) {
            next = kFirstBusyPauseMs;
        } else {
            if (paused >= boundMs)
                break;
            DWORD ms = std::min(next, boundMs - paused);
            pause(ms);
            paused += ms;
            next = std::min(next * 2, kLongestBusyPauseMs);
        }
        result = attempt();
    }
    return result;
}

} // namespace detail
} // namespace ZelUt
