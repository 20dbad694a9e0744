#pragma once

#include "core/Log.h"
#include "daemon/SmartctlCommandRunner.h"
#include "helper_protocol/SmartctlHelperProtocol.h"

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tallowin {

// The daemon's service object: serves the two operations of SmartctlHelperProtocol for every
// connection. SMART requests run on a small pool of worker threads, so that no more than
// a fixed number of smartctl processes run as root at once however many requests arrive.
class SmartctlHelper {
public:
    // Called exactly once per request, from a worker thread (fetch) or the caller's (version).
    using FetchReply = std::function<void(Expected<SmartctlExecutionResult, HelperError>)>;

    static constexpr const char* workerQueueLabel = "com.tallowin.ProbeWarden.worker";
    static constexpr std::size_t defaultConcurrentRuns = 4;

    SmartctlHelper(SmartctlCommandRunner::Configuration, std::size_t concurrentRuns = defaultConcurrentRuns);
    ~SmartctlHelper();
    SmartctlHelper(const SmartctlHelper&) = delete;
    SmartctlHelper& operator=(const SmartctlHelper&) = delete;

    // Queues the run and returns at once. A name that is not a plain block-device name is
    // refused without running anything.
    void fetchSMARTDataForBSDName(std::string bsdName, FetchReply);
    std::string helperVersion() const;

    // Lets queued requests finish (they fail fast once the runner's cancellation fd is
    // readable) and joins the workers. Idempotent.
    void shutdown();

    // The error as it is sent: runner errors by their case, helper-domain errors unchanged.
    HelperError mapErrorForTransport(const SmartctlCommandRunnerError&) const;
    HelperError mapErrorForTransport(const HelperError&) const;

private:
    void work();

    Logger m_logger { "com.tallowin.ProbeWarden", "SmartctlHelper" };
    SmartctlCommandRunner m_commandRunner;
    std::mutex m_mutex;
    std::condition_variable m_condition;
    std::deque<std::function<void()>> m_queue;
    bool m_stopping { false };
    std::vector<std::thread> m_workers;
};

}
