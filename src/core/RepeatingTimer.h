#pragma once

#include "core/SerialQueue.h"

#include <chrono>
#include <functional>
#include <memory>

namespace tallowin {

// A repeating timer source firing on a serial queue, like a dispatch timer: a first deadline,
// an interval and a leeway. Fires are spaced from the deadlines, not from when the handler ran,
// so a slow handler does not make the timer drift; fires missed while the queue was busy are
// coalesced into one.
//
// The leeway is how late a fire may come so that wake-ups coincide: each wake-up is moved to
// the next point of a grid (the largest power of two of nanoseconds not above the leeway) on the
// monotonic clock, so timers of this process with similar leeways wake together. The thread's
// timer slack cannot do this: the event loop waits on a timerfd, whose hrtimer the kernel arms
// without slack (benchmarks/TimerSlackProbe.cpp measures it). Every operation may be called from any thread.
// After cancel() no new fire begins; a fire that had already begun finishes.
class RepeatingTimer {
public:
    using Clock = std::chrono::steady_clock;

    RepeatingTimer(SerialQueue&, std::function<void()> handler);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    // Starts the timer, or moves a running one to the new schedule.
    void schedule(
        Clock::time_point firstDeadline, std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway);
    void setHandler(std::function<void()>);
    void cancel();

    // When a fire due at `deadline` wakes: the first grid point at or after it, less than
    // `leeway` later. A zero leeway wakes exactly at the deadline.
    static Clock::time_point wakeUpTime(Clock::time_point deadline, std::chrono::nanoseconds leeway);

    std::chrono::nanoseconds interval() const;
    std::chrono::nanoseconds leeway() const;
    bool isScheduled() const;

    struct State;

private:
    std::shared_ptr<State> m_state;
};

}
