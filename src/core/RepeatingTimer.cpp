#include "core/RepeatingTimer.h"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <bit>
#include <mutex>

namespace tallowin {

// Ownership is arranged so that nothing outside the event loop owns an asio object and nothing
// inside it owns the loop: the asio timer is owned by its own pending wait, and work posted to
// the loop holds the loop and the state only weakly. So a queue and its timers may be destroyed
// in any order, and destroying the loop frees whatever is still pending.
struct RepeatingTimer::State {
    using AsioTimer = asio::steady_timer;

    std::weak_ptr<SerialQueue::Loop> loop;

    mutable std::mutex mutex; // guards everything below
    // Shared, so that a fire takes its own reference without copying the function: a 1 ms
    // timer must not allocate on every fire.
    std::shared_ptr<const std::function<void()>> handler;
    std::uint64_t generation { 0 }; // bumped by every schedule and cancel; stale waits see a mismatch
    bool scheduled { false };
    Clock::time_point deadline {};
    std::chrono::nanoseconds interval { 0 };
    std::chrono::nanoseconds leeway { 0 };
    std::weak_ptr<AsioTimer> activeTimer;

    // Queue thread: wait for the current deadline of generation `expected` on `timer`.
    static void arm(
        const std::shared_ptr<State>& state, const std::shared_ptr<AsioTimer>& timer, std::uint64_t expected)
    {
        Clock::time_point when;
        {
            std::lock_guard lock(state->mutex);
            if (state->generation != expected || !state->scheduled)
                return;
            when = wakeUpTime(state->deadline, state->leeway);
        }
        timer->expires_at(when);
        timer->async_wait([weakState = std::weak_ptr(state), timer, expected](const std::error_code& error) {
            if (error)
                return;
            if (auto alive = weakState.lock())
                fire(alive, timer, expected);
        });
    }

    static void fire(
        const std::shared_ptr<State>& state, const std::shared_ptr<AsioTimer>& timer, std::uint64_t expected)
    {
        std::shared_ptr<const std::function<void()>> current;
        {
            std::lock_guard lock(state->mutex);
            if (state->generation != expected || !state->scheduled)
                return;
            auto now = Clock::now();
            state->deadline += state->interval;
            if (state->deadline <= now)
                state->deadline = now + state->interval; // Coalesce fires that were missed.
            current = state->handler;
        }
        arm(state, timer, expected);
        if (current && *current)
            (*current)();
    }
};

namespace {

// Posts to the loop if it still exists; a timer may outlive its queue.
void postToLoop(const std::weak_ptr<SerialQueue::Loop>& weakLoop, std::function<void()> work)
{
    if (auto loop = weakLoop.lock())
        asio::post(loop->context, std::move(work));
}

}

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::function<void()> handler)
    : m_state(std::make_shared<State>())
{
    m_state->loop = queue.loop();
    m_state->handler = std::make_shared<const std::function<void()>>(std::move(handler));
}

RepeatingTimer::~RepeatingTimer()
{
    cancel();
}

void RepeatingTimer::schedule(
    Clock::time_point firstDeadline, std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway)
{
    std::uint64_t generation;
    std::weak_ptr<State::AsioTimer> previous;
    {
        std::lock_guard lock(m_state->mutex);
        generation = ++m_state->generation;
        m_state->scheduled = true;
        m_state->deadline = firstDeadline;
        m_state->interval = interval.count() > 0 ? interval : std::chrono::nanoseconds(1);
        m_state->leeway = leeway;
        previous = m_state->activeTimer;
    }
    postToLoop(
        m_state->loop, [weakState = std::weak_ptr(m_state), weakLoop = m_state->loop, previous, generation] {
            if (auto old = previous.lock())
                old->cancel();
            auto state = weakState.lock();
            auto loop = weakLoop.lock();
            if (!state || !loop)
                return;
            auto timer = std::make_shared<State::AsioTimer>(loop->context);
            {
                std::lock_guard lock(state->mutex);
                state->activeTimer = timer;
            }
            State::arm(state, timer, generation);
        });
}

void RepeatingTimer::setHandler(std::function<void()> handler)
{
    auto shared = std::make_shared<const std::function<void()>>(std::move(handler));
    std::lock_guard lock(m_state->mutex);
    m_state->handler = std::move(shared);
}

void RepeatingTimer::cancel()
{
    std::weak_ptr<State::AsioTimer> active;
    {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->scheduled)
            return;
        ++m_state->generation;
        m_state->scheduled = false;
        active = m_state->activeTimer;
    }
    // Waking the pending wait lets the loop free the asio timer now rather than at its deadline.
    postToLoop(m_state->loop, [active] {
        if (auto timer = active.lock())
            timer->cancel();
    });
}

RepeatingTimer::Clock::time_point RepeatingTimer::wakeUpTime(
    Clock::time_point deadline, std::chrono::nanoseconds leeway)
{
    if (leeway.count() <= 1)
        return deadline;
    const auto grid = static_cast<std::int64_t>(std::bit_floor(static_cast<std::uint64_t>(leeway.count())));
    const auto since
        = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count();
    // Round up; the steady clock's epoch is boot, so `since` is not negative.
    auto remainder = since % grid;
    if (remainder < 0)
        remainder += grid;
    if (remainder == 0)
        return deadline;
    return deadline + std::chrono::nanoseconds(grid - remainder);
}

std::chrono::nanoseconds RepeatingTimer::interval() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->interval;
}

std::chrono::nanoseconds RepeatingTimer::leeway() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->leeway;
}

bool RepeatingTimer::isScheduled() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->scheduled;
}

}
