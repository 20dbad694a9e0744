#pragma once

#include "core/MutexProtected.h"
#include "exporter/BlockDeviceInventory.h"
#include "exporter/LatestBenchmarks.h"
#include "exporter/MountedFileSystems.h"
#include "exporter/SmartRefresher.h"
#include "monitor/DiskIOKitStatisticsProvider.h"
#include "platform/DeviceRegistry.h"
#include "volumes/DiskVolumeResolver.h"
#include "volumes/LinkHealth.h"

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

// Everything /metrics shows, read when Prometheus asks: the kernel's counters of each block
// device (through the statistics session the monitor uses), how each device is attached, the
// figures of each mounted file system on a block device, and the SMART figures the refresher
// last fetched, the link-health warnings of each disk and the newest benchmark of each drive
// in the history. Nothing is sampled in between, so an idle exporter costs nothing, and a device
// that went away since the last scrape simply has no series in the next one.
//
// Scrapes may arrive on several server threads at once; they take turns.
class DiskMetricsCollector final : public prometheus::Collectable {
public:
    struct Sources {
        std::shared_ptr<DeviceRegistry> registry;
        std::shared_ptr<BlockDeviceInventory> inventory;
        std::shared_ptr<MountedFileSystemSource> fileSystems;
        // Null when SMART is not wanted.
        std::shared_ptr<const SmartRefresher> smart;
        // The benchmark history whose newest run per drive is shown; empty for none.
        std::string historyPath;
    };
    // Restricts the series to these device names (and the file systems on them and their
    // partitions); nothing means every device with a medium.
    using Selection = std::optional<std::set<std::string>>;

    DiskMetricsCollector(Sources, Selection);

    std::vector<prometheus::MetricFamily> Collect() const override;

    // The devices a scrape would cover now.
    std::vector<BlockDeviceEntry> selectedDevices() const;
    // The whole disks whose SMART data the selected devices lead to, for the refresher.
    std::vector<std::string> smartTargets() const;

    // Every family name a scrape may contain (a dashboard must not plot anything else).
    static std::vector<std::string_view> familyNames();

private:
    struct Device {
        std::unique_ptr<DiskIOKitStatisticsProvider::StatisticsSession> session;
        DiskVolumeResolver::ConnectionMetadata connection;
        // Whole disks only: what the registry says about the link, and when it was read.
        std::optional<LinkFacts> link;
        std::chrono::steady_clock::time_point linkReadAt;
    };
    struct Reading {
        std::string name;
        StatisticsSnapshot counters;
        DiskVolumeResolver::ConnectionMetadata connection;
        std::optional<LinkFacts> link;
    };
    using Families = std::vector<prometheus::MetricFamily>;

    std::vector<Reading> readDevices(const std::vector<BlockDeviceEntry>&) const;
    bool isSelected(const BlockDeviceEntry&) const;

    static void appendDiskCounters(Families&, const std::vector<Reading>&);
    static void appendDiskInfo(Families&, const std::vector<Reading>&);
    void appendFileSystems(Families&, const std::vector<BlockDeviceEntry>&) const;
    void appendSmart(Families&, const std::vector<BlockDeviceEntry>&) const;
    void appendLinkHealth(Families&, const std::vector<Reading>&) const;
    void appendBenchmarks(Families&, const std::vector<BlockDeviceEntry>& listed) const;

    Sources m_sources;
    Selection m_selection;
    // Null when no history file was given.
    std::unique_ptr<LatestBenchmarks> m_benchmarks;
    // Per device name: the open statistics session and the classification, made at the first
    // scrape that sees the device and dropped when a read fails or the device leaves the list.
    mutable MutexProtected<std::map<std::string, Device>> m_devices;
};

}
