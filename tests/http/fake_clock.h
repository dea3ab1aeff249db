#pragma once

// A monotonic clock the test moves forward instead of waiting out long timers.
// Include from exactly one file of a test binary: this header replaces the C
// library's clock_gettime for the whole binary.

#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

namespace upnp::test {

inline std::chrono::milliseconds gClockShift{0};

// From now on CLOCK_MONOTONIC reads `by` later; the loop's timers see it at
// their next turn.
inline void advanceClock(std::chrono::milliseconds by) { gClockShift += by; }

}  // namespace upnp::test

extern "C" int clock_gettime(clockid_t clock, timespec* now) noexcept {
  const long result = syscall(SYS_clock_gettime, clock, now);
  if (result == 0 && clock == CLOCK_MONOTONIC) {
    const long long nanos = now->tv_nsec + upnp::test::gClockShift.count() % 1000 * 1000000LL;
    now->tv_sec += static_cast<time_t>(upnp::test::gClockShift.count() / 1000 + nanos / 1000000000);
    now->tv_nsec = static_cast<long>(nanos % 1000000000);
  }
  return static_cast<int>(result);
}

