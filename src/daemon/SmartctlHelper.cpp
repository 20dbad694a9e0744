#include "daemon/SmartctlHelper.h"

#include "platform/SysfsRegistry.h"

#include <pthread.h>
#include <sys/stat.h>

namespace tallowin {

SmartctlHelper::SmartctlHelper(SmartctlCommandRunner::Configuration configuration, std::size_t concurrentRuns)
    : m_sysfsRoot(configuration.sysfsRoot.empty() ? std::filesystem::path(SysfsRegistry::defaultRoot())
                                                  : configuration.sysfsRoot)
    , m_commandRunner(m_logger, std::move(configuration))
{
    m_logger.info("Smartctl helper initialized and ready to register XPC services (one-time startup log).");
    for (std::size_t i = 0; i < std::max<std::size_t>(concurrentRuns, 1); ++i) {
        m_workers.emplace_back([this] {
            // Thread names are limited to 15 characters; the label is in workerQueueLabel.
            ::pthread_setname_np(::pthread_self(), "ProbeWarden.wrk");
            work();
        });
    }
}

SmartctlHelper::~SmartctlHelper()
{
    shutdown();
}

void SmartctlHelper::shutdown()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_condition.notify_all();
    for (auto& worker : m_workers) {
        if (worker.joinable())
            worker.join();
    }
}

void SmartctlHelper::work()
{
    for (;;) {
        std::function<void()> item;
        {
            std::unique_lock lock(m_mutex);
            m_condition.wait(lock, [this] { return m_stopping || !m_turns.empty(); });
            // Queued requests are still answered after a stop: every request gets its reply.
            if (m_turns.empty())
                return;
            const unsigned user = m_turns.front();
            m_turns.pop_front();
            auto& queue = m_queues[user];
            item = std::move(queue.front());
            queue.pop_front();
            if (queue.empty())
                m_queues.erase(user);
            else
                m_turns.push_back(user);
        }
        item();
    }
}

bool SmartctlHelper::isStorageDeviceName(const std::string& name, const std::filesystem::path& sysfsRoot)
{
    if (!SmartctlHelperProtocol::isPlainBlockDeviceName(name))
        return false;
    std::error_code error;
    if (!std::filesystem::exists(sysfsRoot / "class/block" / name, error)
        && !std::filesystem::exists(sysfsRoot / "class/nvme" / name, error))
        return false;
    // The sysfs root can be redirected (TALLOWIN_SYSFS_ROOT) by whoever starts the daemon, so
    // the device node itself must agree: smartctl opens /dev/<name> as root, and opening
    // /dev/watchdog alone arms the machine's watchdog. A node that does not exist is harmless
    // (smartctl reports it); an existing one must be a block device or an NVMe controller.
    struct stat status { };
    const std::string node = "/dev/" + name;
    if (::lstat(node.c_str(), &status) != 0)
        return errno == ENOENT;
    if (S_ISBLK(status.st_mode))
        return true;
    if (!S_ISCHR(status.st_mode) || name.rfind("nvme", 0) != 0 || name.size() == 4)
        return false;
    return std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

void SmartctlHelper::fetchSMARTDataForBSDName(
    std::string bsdName, unsigned requestingUser, FetchReply reply, std::function<bool()> stillWanted)
{
    if (!isStorageDeviceName(bsdName, m_sysfsRoot)) {
        // The name came from an unprivileged client and is logged escaped.
        m_logger.error("Refused smartctl request for invalid device name {:?}", bsdName);
        reply(Unexpected(mapErrorForTransport(HelperError::invalidDeviceName())));
        return;
    }
    m_logger.debug("Received smartctl request for BSD name {}", bsdName);
    m_logger.info("Dispatching smartctl execution for BSD name {} onto background queue.", bsdName);
    {
        std::lock_guard lock(m_mutex);
        auto& queue = m_queues[requestingUser];
        if (queue.empty())
            m_turns.push_back(requestingUser);
        queue.push_back([this, bsdName = std::move(bsdName), reply = std::move(reply),
                            stillWanted = std::move(stillWanted)] {
            if (stillWanted && !stillWanted()) {
                m_logger.debug("Skipped smartctl for BSD name {}: its client has gone.", bsdName);
                reply(Unexpected(HelperError::executionFailedUnknown()));
                return;
            }
            auto result = m_commandRunner.run(bsdName);
            if (result) {
                m_logger.info(
                    "smartctl execution succeeded for BSD name {}. Command: {}; stdout bytes: {}; stderr "
                    "bytes: {}; exit status: {}",
                    bsdName, result->commandDescription, result->jsonData.size(),
                    result->standardError.size(), result->terminationStatus);
                reply(std::move(result).value());
                return;
            }
            m_logger.error("smartctl execution failed for BSD name {}: {}", bsdName,
                result.error().localizedDescription());
            reply(Unexpected(mapErrorForTransport(result.error())));
        });
    }
    m_condition.notify_one();
}

std::string SmartctlHelper::helperVersion() const
{
    // The project's version stands for the bundle's short version string.
#ifdef TALLOWIN_VERSION
    std::string version = TALLOWIN_VERSION;
#else
    std::string version;
#endif
    if (version.empty())
        version = SmartctlHelperProtocol::fallbackVersion;
    m_logger.info("Reporting helper version string to application: {}", version);
    return version;
}

HelperError SmartctlHelper::mapErrorForTransport(const SmartctlCommandRunnerError& error) const
{
    m_logger.error(
        "Mapping SmartctlCommandRunnerError ({}) to NSError for XPC transport.", error.caseDescription());
    return error.helperError();
}

HelperError SmartctlHelper::mapErrorForTransport(const HelperError& error) const
{
    if (error.isHelperDomain()) {
        m_logger.error("Propagating existing helper-domain NSError with code {}", error.code);
        return error;
    }
    m_logger.error(
        "Wrapping unknown error domain={} code={} into helper-domain NSError.", error.domain, error.code);
    return HelperError::make(HelperError::Code::executionFailedUnknown, error.description);
}

}
