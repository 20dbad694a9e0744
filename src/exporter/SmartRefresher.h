#pragma once

#include "core/Log.h"
#include "core/MutexProtected.h"
#include "core/RepeatingTimer.h"
#include "core/SerialQueue.h"
#include "exporter/SmartFigures.h"
#include "smart/BlockDeviceTopology.h"
#include "smart/SmartctlResultSource.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallowin {

// Keeps the SMART figures of the exporter's disks, fetched through the root helper on a thread
// of its own, at most once per interval. A scrape only reads what the last refresh left, so it
// never waits for smartctl, and scraping every second does not keep a sleeping disk awake: the
// interval alone decides how often a drive is asked.
class SmartRefresher {
public:
    struct DeviceState {
        // The figures of the newest report; kept when a later refresh fails, so that one missed
        // answer does not make the series flicker. Dropped when the device is no longer a target.
        std::optional<SmartFigures> figures;
        std::uint64_t failedRefreshes { 0 };
        // Seconds since the epoch of the newest report.
        std::optional<double> lastSuccess;

        friend bool operator==(const DeviceState&, const DeviceState&) = default;
    };
    using States = std::map<std::string, DeviceState>;
    // The disks to ask about, listed again at every refresh.
    using Targets = std::function<std::vector<std::string>()>;

    SmartRefresher(
        std::shared_ptr<SmartctlResultSource>, std::shared_ptr<const BlockDeviceTopology>, Targets);
    ~SmartRefresher();
    SmartRefresher(const SmartRefresher&) = delete;
    SmartRefresher& operator=(const SmartRefresher&) = delete;

    // Refreshes now on the refresher's thread, then every `interval`.
    void start(std::chrono::nanoseconds interval);
    // One refresh on the caller's thread.
    void refreshNow();

    States states() const;
    // Refreshes finished since the start (each covers every target).
    std::uint64_t completedRefreshes() const { return m_completedRefreshes.load(); }

private:
    std::optional<SmartFigures> fetch(const std::string& device);

    Logger m_logger { std::string(applicationLogSubsystem), "SmartRefresher" };
    std::shared_ptr<SmartctlResultSource> m_source;
    std::shared_ptr<const BlockDeviceTopology> m_topology;
    Targets m_targets;
    MutexProtected<States> m_states;
    std::atomic<std::uint64_t> m_completedRefreshes { 0 };
    // Lets the destructor cut a refresh short between two disks.
    std::atomic<bool> m_stopping { false };
    // smartctl runs on this queue, at background priority; the timer fires on it.
    SerialQueue m_queue { "com.tallowin.exporter.smartRefresh", QualityOfService::Background };
    RepeatingTimer m_timer { m_queue, [this] { refreshNow(); } };
};

// The helper client as the exporter uses it: the socket of TALLOWIN_HELPER_SOCKET or the
// systemd socket unit, and nothing else. A service must not start polkit dialogs or enable
// units, so the helper is taken as installed; when nobody listens, each fetch simply fails.
std::shared_ptr<SmartctlResultSource> makeExporterSmartSource();

}
