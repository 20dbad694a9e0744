#include "exporter/SmartRefresher.h"

#include "core/MainQueue.h"
#include "smart/PrivilegedHelperManager.h"
#include "smart/SMARTInfoProvider.h"
#include "smart/ServiceManager.h"
#include "smart/SmartctlHelperClient.h"
#include "smart/SmartmontoolsBridge.h"

#include <set>

namespace tallowin {

SmartRefresher::SmartRefresher(std::shared_ptr<SmartctlResultSource> source,
    std::shared_ptr<const BlockDeviceTopology> topology, Targets targets)
    : m_source(std::move(source))
    , m_topology(std::move(topology))
    , m_targets(std::move(targets))
{ }

SmartRefresher::~SmartRefresher()
{
    m_stopping = true;
    m_timer.cancel();
}

void SmartRefresher::start(std::chrono::nanoseconds interval)
{
    // A second of leeway lets the wake-up share a tick with other timers; nothing here is urgent.
    m_timer.schedule(RepeatingTimer::Clock::now(), interval, std::chrono::seconds(1));
}

void SmartRefresher::refreshNow()
{
    auto targets = m_targets();
    std::map<std::string, std::optional<SmartFigures>> fetched;
    for (const auto& device : targets) {
        if (m_stopping)
            return;
        fetched.emplace(device, fetch(device));
    }
    const double now
        = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    m_states.withLocked([&](States& states) {
        std::erase_if(states, [&](const auto& entry) { return !fetched.contains(entry.first); });
        for (auto& [device, figures] : fetched) {
            auto& state = states[device];
            if (figures) {
                state.figures = std::move(figures);
                state.lastSuccess = now;
            } else {
                ++state.failedRefreshes;
            }
        }
    });
    ++m_completedRefreshes;
}

SmartRefresher::States SmartRefresher::states() const
{
    return m_states.withLocked([](const States& states) { return states; });
}

std::optional<SmartFigures> SmartRefresher::fetch(const std::string& device)
{
    if (!m_source->allowsPrivilegedOperations())
        return std::nullopt;
    for (const auto& candidate : SMARTInfoProvider::candidateNames(device, *m_topology)) {
        auto result = m_source->fetchSMARTData(candidate);
        if (!result || !SmartmontoolsBridge::parse(*result, candidate))
            continue;
        auto root = nlohmann::json::parse(result->jsonData.begin(), result->jsonData.end(), nullptr, false);
        auto figures = smartFiguresFromReport(root);
        figures.interfaceSpeed = sataInterfaceSpeed(std::string_view(
            reinterpret_cast<const char*>(result->jsonData.data()), result->jsonData.size()));
        return figures;
    }
    m_logger.error("No SMART report for {} this round", device);
    return std::nullopt;
}

namespace {

// Stands in for the main thread for the helper manager's checks; nothing else runs on it.
class HelperWorkflowQueue final : public MainQueue {
public:
    void post(std::function<void()> work) override { m_queue.post(std::move(work)); }
    bool isMainThread() const override { return m_queue.isCurrent(); }

private:
    SerialQueue m_queue { "com.tallowin.exporter.helperWorkflow", QualityOfService::Utility };
};

class ExporterSmartSource final : public SmartctlResultSource {
public:
    ExporterSmartSource()
    {
        const auto socket = helperSocketPath();
        // The helper's units are installed and socket-activated by the administrator; this
        // manager reports it as enabled and never registers anything.
        m_manager = PrivilegedHelperManager::create({ std::make_shared<DevelopmentServiceManager>(socket),
            std::make_shared<HelperWorkflowQueue>(), PrivilegedHelperManager::RuntimeEnvironment::detect() });
        m_client = SmartctlHelperClient::create(m_manager, { socket });
    }
    bool allowsPrivilegedOperations() const override
    {
        return m_manager->runtimeEnvironment().allowsPrivilegedOperations;
    }
    std::optional<SmartctlExecutionResult> fetchSMARTData(std::string_view bsdName) override
    {
        return m_client->fetchSMARTData(bsdName);
    }

private:
    std::shared_ptr<PrivilegedHelperManager> m_manager;
    std::shared_ptr<SmartctlHelperClient> m_client;
};

}

std::shared_ptr<SmartctlResultSource> makeExporterSmartSource()
{
    return std::make_shared<ExporterSmartSource>();
}

}
