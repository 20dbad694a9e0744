#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tallowin {

// How urgent a queue's work is. Linux threads cannot raise their priority without privileges,
// so the urgent classes run at the normal priority and the others are niced down.
enum class QualityOfService {
    UserInteractive,
    UserInitiated,
    Utility,
    Background,
};

// A serial queue: one named thread running an event loop. Work posted to it runs in order,
// one item at a time; timers (RepeatingTimer) fire on the same thread. Destroying the queue
// stops the loop, drops work that has not started and joins the thread.
class SerialQueue {
public:
    SerialQueue(std::string label, QualityOfService);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return m_loop->label; }
    QualityOfService qualityOfService() const { return m_loop->qualityOfService; }

    void post(std::function<void()>);
    // Runs the work on the queue and waits for it. Called from the queue itself it runs inline,
    // so a routine shared by the queue and other threads cannot deadlock on itself.
    void sync(const std::function<void()>&);
    bool isCurrent() const { return std::this_thread::get_id() == m_thread.get_id(); }

    // Lets the kernel delay this thread's sleeps (poll and nanosleep timeouts) by up to the slack
    // to coalesce them. RepeatingTimer does not rely on it: its timerfd ignores the slack.
    void setTimerSlack(std::chrono::nanoseconds);

    // The event loop. Shared so that timers, and the thread itself when the queue's last owner
    // lets go from inside the queue's own work, keep it alive as long as they need it.
    struct Loop {
        std::string label;
        QualityOfService qualityOfService;
        asio::io_context context { 1 };
        asio::executor_work_guard<asio::io_context::executor_type> workGuard { asio::make_work_guard(
            context) };
    };
    const std::shared_ptr<Loop>& loop() const { return m_loop; }

private:
    std::shared_ptr<Loop> m_loop;
    std::thread m_thread;
};

}
