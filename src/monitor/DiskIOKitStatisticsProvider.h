#pragma once

#include "core/Expected.h"
#include "core/Log.h"
#include "core/MonitorError.h"
#include "core/MutexProtected.h"
#include "core/Records.h"
#include "platform/DeviceRegistry.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallowin {

// Reads the cumulative byte and operation counters of the block device behind a volume.
//
// A volume is known by its kernel block name, and the registry object of that name (say a
// partition) may not carry counters itself, so the first read starts at every object that
// matches the name and walks up its ancestors until one has a "Statistics" dictionary. That
// walk is costly and the monitor reads up to a thousand times a second, so a session
// remembers where statistics were found and reads those objects directly afterwards, falling
// back to a full search only when none of them answers any more.
class DiskIOKitStatisticsProvider {
public:
    DiskIOKitStatisticsProvider() = delete;

    using Snapshot = StatisticsSnapshot;

    // The keys of the four counters in the "Statistics" dictionary, in snapshot order.
    static constexpr std::string_view bytesReadKey = "Bytes (Read)";
    static constexpr std::string_view bytesWrittenKey = "Bytes (Write)";
    static constexpr std::string_view readOperationsKey = "Operations (Read)";
    static constexpr std::string_view writeOperationsKey = "Operations (Write)";
    static constexpr std::string_view statisticsKey = "Statistics";

    // An object where statistics were found, and how log lines name it. Holding the entry
    // holds a reference on the object; dropping the entry releases it.
    struct CachedIOService {
        RegistryObjectRef service;
        std::string description;
    };

    class StatisticsSession;
};

// The counter source of one monitoring run. Used from one thread at a time (the monitor's
// queue); its end may happen on any thread.
class DiskIOKitStatisticsProvider::StatisticsSession {
public:
    // Runs the full matching and keeps the objects it found. Fails with the matching's error,
    // and then no session exists.
    static Expected<std::unique_ptr<StatisticsSession>, MonitorError> create(
        std::shared_ptr<DeviceRegistry>, const DiskVolumeDescriptor&);

    ~StatisticsSession();
    StatisticsSession(const StatisticsSession&) = delete;
    StatisticsSession& operator=(const StatisticsSession&) = delete;

    Expected<Snapshot, MonitorError> readSnapshot();

    const DiskVolumeDescriptor& descriptor() const { return m_descriptor; }
    // The cached entries, in the order they were found.
    std::vector<CachedIOService> cachedServices() const;

private:
    using ServiceList = std::vector<CachedIOService>;
    struct Matching {
        Snapshot first;
        ServiceList found;
    };
    struct Found {
        Snapshot snapshot;
        RegistryObjectRef service;
        std::string description;
    };

    StatisticsSession(std::shared_ptr<DeviceRegistry>, DiskVolumeDescriptor, ServiceList);

    static Expected<Matching, MonitorError> fullMatching(DeviceRegistry&, const std::string& bsdName);
    static std::optional<Found> findStatistics(DeviceRegistry&, const RegistryObjectRef& matched,
        const std::string& matchedDescription, const std::string& bsdName);
    static std::optional<Snapshot> readStatistics(
        DeviceRegistry&, const RegistryObjectRef&, const std::string& description);

    std::shared_ptr<DeviceRegistry> m_registry;
    DiskVolumeDescriptor m_descriptor;
    // The list itself is immutable once published; a read copies the pointer under the lock
    // and walks the list without it, so ending the session never waits on a registry read,
    // and a read at a thousand per second does not copy the entries.
    MutexProtected<std::shared_ptr<const ServiceList>> m_cachedServices;
};

}
