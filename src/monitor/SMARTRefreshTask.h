#pragma once

#include "monitor/DiskIOMonitor.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <stop_token>
#include <thread>

namespace tallowin {

// One selection's SMART refresh loop on a thread of its own. The thread holds the monitor only
// weakly and owns a copy of the descriptor, the SMART source and the main queue, so it never
// keeps the monitor alive and never touches it off the main queue. Destroying the task stops
// the loop and joins the thread; a fetch in progress runs to its end first.
class DiskIOMonitor::SMARTRefreshTask {
public:
    struct Context {
        std::weak_ptr<DiskIOMonitor> monitor;
        std::shared_ptr<MainQueue> mainQueue;
        SMARTInfoSource fetchSMARTInfo;
        DiskVolumeDescriptor volume;
        std::chrono::nanoseconds interval;
    };

    explicit SMARTRefreshTask(Context);
    SMARTRefreshTask(const SMARTRefreshTask&) = delete;
    SMARTRefreshTask& operator=(const SMARTRefreshTask&) = delete;

    // Any thread. Interrupts the pause and the wait for the main queue's decision; a running
    // fetch is not interrupted, and its result is dropped.
    void cancel() { m_thread.request_stop(); }
    // Whether the loop has ended, so that joining the thread would not wait.
    bool hasFinished() const { return m_finished->load(std::memory_order_acquire); }

private:
    static void run(const std::stop_token&, const Context&);
    static void refreshOnce(const std::stop_token&, const Context&);

    std::shared_ptr<std::atomic<bool>> m_finished { std::make_shared<std::atomic<bool>>(false) };
    std::jthread m_thread; // Last: it starts once everything it uses exists.
};

}
