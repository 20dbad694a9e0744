#pragma once

#include "core/Log.h"
#include "daemon/SmartctlCommandRunner.h"
#include "helper_protocol/SmartctlHelperProtocol.h"

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tallowin {

// The daemon's service object: serves the two operations of SmartctlHelperProtocol for every
// connection. SMART requests run on a small pool of worker threads, so that no more than
// a fixed number of smartctl processes run as root at once however many requests arrive.
// Waiting requests are queued per user and taken round-robin, one per user in turn, so one
// user's queue of slow disks (or of deliberate requests) delays that user, not the others.
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

    // Queues the run and returns at once. A name that does not name an existing block device
    // or NVMe controller is refused with code 5 without running anything.
    // `stillWanted`, when given, is asked just before the run: a request whose client has gone
    // meanwhile is answered with code 999 without starting smartctl.
    void fetchSMARTDataForBSDName(std::string bsdName, unsigned requestingUser, FetchReply,
        std::function<bool()> stillWanted = {});
    std::string helperVersion() const;

    // Lets queued requests finish (they fail fast once the runner's cancellation fd is
    // readable) and joins the workers. Idempotent.
    void shutdown();

    // The error as it is sent: runner errors by their case, helper-domain errors unchanged.
    HelperError mapErrorForTransport(const SmartctlCommandRunnerError&) const;
    HelperError mapErrorForTransport(const HelperError&) const;

    // True when `name` is a plain kernel name listed in <sysfsRoot>/class/block or
    // <sysfsRoot>/class/nvme and /dev/<name>, if present, is a block device or an NVMe
    // controller: nothing else may reach smartctl.
    static bool isStorageDeviceName(const std::string& name, const std::filesystem::path& sysfsRoot);

private:
    void work();

    Logger m_logger { "com.tallowin.ProbeWarden", "SmartctlHelper" };
    std::filesystem::path m_sysfsRoot;
    SmartctlCommandRunner m_commandRunner;
    std::mutex m_mutex;
    std::condition_variable m_condition;
    // Waiting work per user, and the users with waiting work in the order they are served.
    std::map<unsigned, std::deque<std::function<void()>>> m_queues;
    std::deque<unsigned> m_turns;
    bool m_stopping { false };
    std::vector<std::thread> m_workers;
};

}
