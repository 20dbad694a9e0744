#pragma once

#include "core/Records.h"

#include <chrono>
#include <memory>

namespace tallowin {

using MonotonicTime = std::chrono::steady_clock::time_point;

// The two clocks of the program. Durations and deadlines come from the monotonic clock, which a
// step of the system time (NTP, a user setting the date) cannot move; the wall clock only
// dates what is shown. An interface so that tests can step either one.
class Clock {
public:
    virtual ~Clock() = default;
    virtual WallClockTime wallNow() const = 0;
    virtual MonotonicTime monotonicNow() const = 0;
};

// The system's real clocks.
std::shared_ptr<const Clock> systemClock();

// Seconds between two monotonic instants.
inline double secondsBetween(MonotonicTime start, MonotonicTime end)
{
    return std::chrono::duration<double>(end - start).count();
}

}
