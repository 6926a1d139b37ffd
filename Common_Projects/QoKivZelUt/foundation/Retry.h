// The one retry loop: try up to `attempts` times, sleeping `delayMs` between
// tries while `shouldRetry` says the failure is transient.
#pragma once

#include <windows.h>

namespace ZelUt {
namespace detail {

// attempt() returns true on success. Returns whether an attempt succeeded;
// false once every attempt failed with a retryable error or one failed with another.
template <class Attempt, class ShouldRetry>
bool retry(unsigned attempts, DWORD delayMs, Attempt attempt, ShouldRetry shouldRetry)
{
    for (unsigned i = 0; i < attempts; ++i) {
        if (attempt())
            return true;
        if (!shouldRetry())
            return false;
        if (i + 1 < attempts)
            ::Sleep(delayMs);
    }
    return false;
}

} // namespace detail
} // namespace ZelUt
