#pragma once

#include <cassert>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace tallowin {

// "Post to the main thread": every published property changes there. The desktop application
// implements it on Qt's event loop; the command line and the tests use EventLoopMainQueue.
class MainQueue {
public:
    virtual ~MainQueue() = default;
    // Thread-safe; the work runs later on the main thread, in posting order.
    virtual void post(std::function<void()>) = 0;
    virtual bool isMainThread() const = 0;
    // Whether the caller runs on the thread that serves this queue. Queues that serve it on a
    // thread of their own override this; by default it is the main-thread test.
    virtual bool isCurrentThread() const { return isMainThread(); }
};

// Stops the program with a message when called off the queue's thread: the published state of
// an object that belongs to the main queue is not guarded by anything else.
void assertOnMainQueue(const MainQueue&, const char* function = __builtin_FUNCTION());

// A main queue driven by whoever owns the thread it was created on: run() until quit(), or
// runPending() and runUntil() to drain it by hand in tests.
class EventLoopMainQueue final : public MainQueue {
public:
    EventLoopMainQueue();

    void post(std::function<void()>) override;
    bool isMainThread() const override { return isCurrentThread(); }
    bool isCurrentThread() const override { return std::this_thread::get_id() == m_owner; }

    // Runs everything already posted (and what that posts in turn); returns how many ran.
    std::size_t runPending();
    // Runs posted work as it arrives until the predicate holds (checked after each item) or the
    // timeout passes; returns whether the predicate held.
    bool runUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);
    // Runs posted work until quit() is called from any thread, also when that call came first.
    void run();
    void quit();

    std::size_t pendingCount() const;

private:
    bool runOne(std::unique_lock<std::mutex>&);

    std::thread::id m_owner;
    mutable std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    std::deque<std::function<void()>> m_work;
    bool m_quit { false };
};

}
