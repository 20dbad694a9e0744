#include "core/MainQueue.h"

#include <cstdio>
#include <cstdlib>

namespace tallowin {

void assertOnMainQueue(const MainQueue& queue, const char* function)
{
    if (queue.isCurrentThread())
        return;
    std::fprintf(stderr, "tallowin: %s must be called on the main queue's thread\n", function);
    std::abort();
}

EventLoopMainQueue::EventLoopMainQueue()
    : m_owner(std::this_thread::get_id())
{ }

void EventLoopMainQueue::post(std::function<void()> work)
{
    {
        std::lock_guard lock(m_mutex);
        m_work.push_back(std::move(work));
    }
    m_wakeUp.notify_all();
}

bool EventLoopMainQueue::runOne(std::unique_lock<std::mutex>& lock)
{
    if (m_work.empty())
        return false;
    auto work = std::move(m_work.front());
    m_work.pop_front();
    lock.unlock();
    work();
    lock.lock();
    return true;
}

std::size_t EventLoopMainQueue::runPending()
{
    std::size_t count = 0;
    std::unique_lock lock(m_mutex);
    while (runOne(lock))
        ++count;
    return count;
}

bool EventLoopMainQueue::runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(m_mutex);
    for (;;) {
        lock.unlock();
        bool satisfied = predicate();
        lock.lock();
        if (satisfied)
            return true;
        if (!runOne(lock)) {
            if (m_wakeUp.wait_until(lock, deadline, [&] { return !m_work.empty(); }) == false)
                break;
        }
    }
    lock.unlock();
    return predicate();
}

void EventLoopMainQueue::run()
{
    std::unique_lock lock(m_mutex);
    // A quit() that came before run() started still counts; it is used up when run() returns.
    while (!m_quit) {
        if (!runOne(lock))
            m_wakeUp.wait(lock, [&] { return m_quit || !m_work.empty(); });
    }
    m_quit = false;
}

void EventLoopMainQueue::quit()
{
    {
        std::lock_guard lock(m_mutex);
        m_quit = true;
    }
    m_wakeUp.notify_all();
}

std::size_t EventLoopMainQueue::pendingCount() const
{
    std::lock_guard lock(m_mutex);
    return m_work.size();
}

}
