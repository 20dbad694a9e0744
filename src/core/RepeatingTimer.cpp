#include "core/RepeatingTimer.h"

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <mutex>

namespace tallowin {

struct RepeatingTimer::State : std::enable_shared_from_this<State> {
    explicit State(std::shared_ptr<SerialQueue::Loop> queueLoop, std::function<void()> timerHandler)
        : loop(std::move(queueLoop))
        , timer(loop->context)
        , handler(std::move(timerHandler))
    {
    }

    // Declared first so that the loop outlives the asio timer bound to it.
    std::shared_ptr<SerialQueue::Loop> loop;
    asio::steady_timer timer; // queue thread only

    mutable std::mutex mutex; // guards everything below
    std::function<void()> handler;
    std::uint64_t generation { 0 }; // bumped by every schedule and cancel; stale waits see a mismatch
    bool scheduled { false };
    Clock::time_point deadline {};
    std::chrono::nanoseconds interval { 0 };
    std::chrono::nanoseconds leeway { 0 };

    // Queue thread: arm the asio timer for the current deadline of generation `expected`.
    void arm(std::uint64_t expected)
    {
        Clock::time_point when;
        {
            std::lock_guard lock(mutex);
            if (generation != expected || !scheduled)
                return;
            when = deadline;
        }
        timer.expires_at(when);
        timer.async_wait([self = shared_from_this(), expected](const std::error_code& error) {
            if (!error)
                self->fire(expected);
        });
    }

    void fire(std::uint64_t expected)
    {
        std::function<void()> current;
        {
            std::lock_guard lock(mutex);
            if (generation != expected || !scheduled)
                return;
            auto now = Clock::now();
            deadline += interval;
            if (deadline <= now)
                deadline = now + interval; // Coalesce fires that were missed.
            current = handler;
        }
        arm(expected);
        if (current)
            current();
    }
};

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::function<void()> handler)
    : m_queue(queue)
    , m_state(std::make_shared<State>(queue.loop(), std::move(handler)))
{
}

RepeatingTimer::~RepeatingTimer()
{
    cancel();
}

void RepeatingTimer::schedule(Clock::time_point firstDeadline, std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway)
{
    std::uint64_t generation;
    {
        std::lock_guard lock(m_state->mutex);
        generation = ++m_state->generation;
        m_state->scheduled = true;
        m_state->deadline = firstDeadline;
        m_state->interval = interval.count() > 0 ? interval : std::chrono::nanoseconds(1);
        m_state->leeway = leeway;
    }
    m_queue.setTimerSlack(leeway);
    asio::post(m_state->loop->context, [state = m_state, generation] {
        state->timer.cancel();
        state->arm(generation);
    });
}

void RepeatingTimer::setHandler(std::function<void()> handler)
{
    std::lock_guard lock(m_state->mutex);
    m_state->handler = std::move(handler);
}

void RepeatingTimer::cancel()
{
    {
        std::lock_guard lock(m_state->mutex);
        if (!m_state->scheduled)
            return;
        ++m_state->generation;
        m_state->scheduled = false;
    }
    asio::post(m_state->loop->context, [state = m_state] { state->timer.cancel(); });
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
