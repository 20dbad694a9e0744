#include "exporter/DiskMetricsCollector.h"

#include "volumes/LinkHealth.h"

#include <algorithm>
#include <chrono>
#include <initializer_list>
#include <unordered_map>

namespace tallowin {

namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

// One series: its labels and value. Counters and gauges keep the value in different fields.
void addSample(MetricFamily& family, std::vector<ClientMetric::Label> labels, double value)
{
    ClientMetric metric;
    metric.label = std::move(labels);
    if (family.type == MetricType::Counter)
        metric.counter.value = value;
    else
        metric.gauge.value = value;
    family.metric.push_back(std::move(metric));
}

// A family without samples is left out: a missing series says "unknown" to PromQL, while a
// family header without samples would only add noise.
void appendIfAny(std::vector<MetricFamily>& families, MetricFamily family)
{
    if (!family.metric.empty())
        families.push_back(std::move(family));
}

MetricFamily family(std::string_view name, std::string_view help, MetricType type)
{
    return MetricFamily { std::string(name), std::string(help), type, {} };
}

std::vector<ClientMetric::Label> deviceLabel(const std::string& device)
{
    return { { "device", device } };
}

// The family names, in the order a scrape writes them.
constexpr std::string_view readBytesName = "tallowin_disk_read_bytes_total";
constexpr std::string_view writtenBytesName = "tallowin_disk_written_bytes_total";
constexpr std::string_view readsCompletedName = "tallowin_disk_reads_completed_total";
constexpr std::string_view writesCompletedName = "tallowin_disk_writes_completed_total";
constexpr std::string_view diskInfoName = "tallowin_disk_info";
constexpr std::string_view linkDegradedName = "tallowin_disk_link_degraded";
constexpr std::string_view fileSystemSizeName = "tallowin_filesystem_size_bytes";
constexpr std::string_view fileSystemAvailName = "tallowin_filesystem_avail_bytes";
constexpr std::string_view smartHealthyName = "tallowin_smart_healthy";
constexpr std::string_view smartTemperatureName = "tallowin_smart_temperature_celsius";
constexpr std::string_view smartPowerOnName = "tallowin_smart_power_on_hours";
constexpr std::string_view smartMediaErrorsName = "tallowin_smart_media_errors_total";
constexpr std::string_view smartErrorLogName = "tallowin_smart_error_log_entries_total";
constexpr std::string_view smartReallocatedName = "tallowin_smart_reallocated_sectors";
constexpr std::string_view smartPendingName = "tallowin_smart_pending_sectors";
constexpr std::string_view smartOfflineName = "tallowin_smart_offline_uncorrectable_sectors";
constexpr std::string_view smartCrcName = "tallowin_smart_interface_crc_errors_total";
constexpr std::string_view smartGrownDefectsName = "tallowin_smart_grown_defects";
constexpr std::string_view smartUncorrectedName = "tallowin_smart_uncorrected_errors_total";
constexpr std::string_view smartFailuresName = "tallowin_smart_refresh_failures_total";
constexpr std::string_view smartLastRefreshName = "tallowin_smart_last_refresh_timestamp_seconds";
constexpr std::string_view benchmarkWriteName = "tallowin_benchmark_write_bytes_per_second";
constexpr std::string_view benchmarkReadName = "tallowin_benchmark_read_bytes_per_second";
constexpr std::string_view benchmarkRandomWriteName = "tallowin_benchmark_random_write_iops";
constexpr std::string_view benchmarkRandomReadName = "tallowin_benchmark_random_read_iops";
constexpr std::string_view benchmarkPayloadName = "tallowin_benchmark_payload_bytes";
constexpr std::string_view benchmarkTimestampName = "tallowin_benchmark_timestamp_seconds";
constexpr std::string_view scrapeDurationName = "tallowin_scrape_duration_seconds";

constexpr auto linkRereadInterval = std::chrono::minutes(1);

}

DiskMetricsCollector::DiskMetricsCollector(Sources sources, Selection selection)
    : m_sources(std::move(sources))
    , m_selection(std::move(selection))
{
    if (!m_sources.historyPath.empty())
        m_benchmarks = std::make_unique<LatestBenchmarks>(m_sources.historyPath);
}

std::vector<std::string_view> DiskMetricsCollector::familyNames()
{
    return { readBytesName, writtenBytesName, readsCompletedName, writesCompletedName, diskInfoName,
        linkDegradedName, fileSystemSizeName, fileSystemAvailName, smartHealthyName, smartTemperatureName,
        smartPowerOnName, smartMediaErrorsName, smartErrorLogName, smartReallocatedName, smartPendingName,
        smartOfflineName, smartCrcName, smartGrownDefectsName, smartUncorrectedName, smartFailuresName,
        smartLastRefreshName, benchmarkWriteName, benchmarkReadName, benchmarkRandomWriteName,
        benchmarkRandomReadName, benchmarkPayloadName, benchmarkTimestampName, scrapeDurationName };
}

bool DiskMetricsCollector::isSelected(const BlockDeviceEntry& entry) const
{
    return !m_selection || m_selection->contains(entry.name);
}

std::vector<BlockDeviceEntry> DiskMetricsCollector::selectedDevices() const
{
    auto devices = m_sources.inventory->blockDevices();
    std::erase_if(devices, [&](const BlockDeviceEntry& entry) { return !isSelected(entry); });
    return devices;
}

std::vector<std::string> DiskMetricsCollector::smartTargets() const
{
    std::set<std::string> disks;
    for (const auto& entry : selectedDevices()) {
        auto disk = entry.wholeDisk.value_or(entry.name);
        if (!isVirtualBlockDevice(disk))
            disks.insert(std::move(disk));
    }
    return { disks.begin(), disks.end() };
}

std::vector<prometheus::MetricFamily> DiskMetricsCollector::Collect() const
{
    const auto started = std::chrono::steady_clock::now();
    const auto listed = m_sources.inventory->blockDevices();
    std::vector<BlockDeviceEntry> selected;
    std::copy_if(listed.begin(), listed.end(), std::back_inserter(selected),
        [&](const BlockDeviceEntry& entry) { return isSelected(entry); });

    Families families;
    const auto readings = readDevices(selected);
    appendDiskCounters(families, readings);
    appendDiskInfo(families, readings);
    appendLinkHealth(families, readings);
    appendFileSystems(families, listed);
    appendSmart(families, listed);
    appendBenchmarks(families, listed);

    // The scrape's own cost so far: everything above, not the text encoding that follows.
    auto duration = family(
        scrapeDurationName, "Time the exporter spent reading the figures of this scrape", MetricType::Gauge);
    addSample(
        duration, {}, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    families.push_back(std::move(duration));
    return families;
}

std::vector<DiskMetricsCollector::Reading> DiskMetricsCollector::readDevices(
    const std::vector<BlockDeviceEntry>& selected) const
{
    return m_devices.withLocked([&](std::map<std::string, Device>& devices) {
        std::erase_if(devices, [&](const auto& entry) {
            return std::none_of(selected.begin(), selected.end(),
                [&](const BlockDeviceEntry& device) { return device.name == entry.first; });
        });
        std::vector<Reading> readings;
        for (const auto& entry : selected) {
            auto found = devices.find(entry.name);
            if (found == devices.end()) {
                DiskVolumeDescriptor descriptor;
                descriptor.bsdName = entry.name;
                auto session
                    = DiskIOKitStatisticsProvider::StatisticsSession::create(m_sources.registry, descriptor);
                if (!session)
                    continue; // gone between the listing and now
                found = devices
                            .emplace(entry.name,
                                Device { std::move(session).value(),
                                    DiskVolumeResolver::connectionMetadata(entry.name, *m_sources.registry),
                                    {}, {} })
                            .first;
            }
            auto counters = found->second.session->readSnapshot();
            if (!counters) {
                // The device went away: its next appearance is a new device, classified anew.
                devices.erase(found);
                continue;
            }
            auto& device = found->second;
            // A partition shares its disk's link; a stacked device has none of its own. Walking
            // the registry for a link costs about as much as all the rest of a device's scrape,
            // so it is read again only now and then: often enough to see a PCIe link that
            // retrained lower while the device stayed.
            if (!entry.wholeDisk && !isVirtualBlockDevice(entry.name)) {
                const auto now = std::chrono::steady_clock::now();
                if (!device.link || now - device.linkReadAt >= linkRereadInterval) {
                    device.link = linkFacts(*m_sources.registry, entry.name);
                    device.linkReadAt = now;
                }
            }
            readings.push_back({ entry.name, counters.value(), device.connection, device.link });
        }
        return readings;
    });
}

void DiskMetricsCollector::appendDiskCounters(Families& families, const std::vector<Reading>& readings)
{
    auto readBytes
        = family(readBytesName, "Bytes read from the block device since it appeared", MetricType::Counter);
    auto writtenBytes = family(
        writtenBytesName, "Bytes written to the block device since it appeared", MetricType::Counter);
    auto reads = family(readsCompletedName, "Read requests the block device completed", MetricType::Counter);
    auto writes
        = family(writesCompletedName, "Write requests the block device completed", MetricType::Counter);
    for (const auto& reading : readings) {
        // Exact up to 2^53 bytes (8 PiB), which no device counter reaches in practice.
        addSample(readBytes, deviceLabel(reading.name), static_cast<double>(reading.counters.bytesRead));
        addSample(
            writtenBytes, deviceLabel(reading.name), static_cast<double>(reading.counters.bytesWritten));
        addSample(reads, deviceLabel(reading.name), static_cast<double>(reading.counters.readOperations));
        addSample(writes, deviceLabel(reading.name), static_cast<double>(reading.counters.writeOperations));
    }
    for (auto* each : { &readBytes, &writtenBytes, &reads, &writes })
        appendIfAny(families, std::move(*each));
}

void DiskMetricsCollector::appendDiskInfo(Families& families, const std::vector<Reading>& readings)
{
    auto info = family(diskInfoName, "How the block device is attached (value always 1)", MetricType::Gauge);
    for (const auto& reading : readings) {
        const auto& connection = reading.connection;
        addSample(info,
            { { "device", reading.name }, { "connection", connection.type },
                { "link_speed", connection.speed.value_or("") }, { "vendor", connection.vendor.value_or("") },
                { "model", connection.product.value_or("") } },
            1);
    }
    appendIfAny(families, std::move(info));
}

void DiskMetricsCollector::appendFileSystems(
    Families& families, const std::vector<BlockDeviceEntry>& listed) const
{
    std::unordered_map<std::string, const BlockDeviceEntry*> byName;
    for (const auto& entry : listed)
        byName.emplace(entry.name, &entry);
    auto size = family(fileSystemSizeName, "Size of the mounted file system", MetricType::Gauge);
    auto avail = family(fileSystemAvailName, "Space an unprivileged user may still write", MetricType::Gauge);
    for (const auto& fileSystem : m_sources.fileSystems->mountedFileSystems()) {
        auto entry = byName.find(fileSystem.device);
        if (m_selection) {
            // A selected disk brings the file systems of its partitions along.
            bool wanted = m_selection->contains(fileSystem.device)
                || (entry != byName.end() && entry->second->wholeDisk
                    && m_selection->contains(*entry->second->wholeDisk));
            if (!wanted)
                continue;
        }
        std::vector<ClientMetric::Label> labels { { "device", fileSystem.device },
            { "mountpoint", fileSystem.mountPoint }, { "fstype", fileSystem.fileSystemType } };
        addSample(size, labels, static_cast<double>(fileSystem.sizeBytes));
        addSample(avail, std::move(labels), static_cast<double>(fileSystem.availableBytes));
    }
    appendIfAny(families, std::move(size));
    appendIfAny(families, std::move(avail));
}

void DiskMetricsCollector::appendSmart(Families& families, const std::vector<BlockDeviceEntry>& listed) const
{
    if (!m_sources.smart)
        return;
    auto healthy = family(smartHealthyName,
        "1 when the drive's SMART self-assessment passed, 0 when it failed", MetricType::Gauge);
    auto temperature = family(smartTemperatureName, "Drive temperature from SMART", MetricType::Gauge);
    auto powerOn = family(smartPowerOnName, "Hours the drive has been powered on", MetricType::Gauge);
    auto mediaErrors
        = family(smartMediaErrorsName, "Unrecovered data integrity errors (NVMe)", MetricType::Counter);
    auto errorLog = family(smartErrorLogName, "Error information log entries (NVMe)", MetricType::Counter);
    auto reallocated
        = family(smartReallocatedName, "Reallocated sectors (ATA attribute 5)", MetricType::Gauge);
    auto pending
        = family(smartPendingName, "Sectors waiting to be remapped (ATA attribute 197)", MetricType::Gauge);
    auto offline = family(
        smartOfflineName, "Sectors found uncorrectable offline (ATA attribute 198)", MetricType::Gauge);
    auto crc = family(smartCrcName, "Interface CRC errors (ATA attribute 199)", MetricType::Counter);
    auto grown = family(smartGrownDefectsName, "Entries in the grown defect list (SCSI)", MetricType::Gauge);
    auto uncorrected
        = family(smartUncorrectedName, "Uncorrected read or write errors (SCSI)", MetricType::Counter);
    auto failures = family(smartFailuresName, "SMART refreshes that brought no report", MetricType::Counter);
    auto lastRefresh
        = family(smartLastRefreshName, "When the newest SMART report arrived", MetricType::Gauge);

    for (const auto& [device, state] : m_sources.smart->states()) {
        const auto& name = device;
        if (std::none_of(listed.begin(), listed.end(),
                [&](const BlockDeviceEntry& entry) { return entry.name == name; }))
            continue; // gone since the last refresh
        addSample(failures, deviceLabel(device), static_cast<double>(state.failedRefreshes));
        if (!state.figures)
            continue;
        const auto& figures = *state.figures;
        auto optionalSample = [&](MetricFamily& target, const std::optional<double>& value) {
            if (value)
                addSample(target, deviceLabel(device), *value);
        };
        if (figures.passed)
            addSample(healthy, deviceLabel(device), *figures.passed ? 1 : 0);
        optionalSample(temperature, figures.temperatureCelsius);
        optionalSample(powerOn, figures.powerOnHours);
        optionalSample(mediaErrors, figures.mediaErrors);
        optionalSample(errorLog, figures.errorLogEntries);
        optionalSample(reallocated, figures.reallocatedSectors);
        optionalSample(pending, figures.pendingSectors);
        optionalSample(offline, figures.offlineUncorrectableSectors);
        optionalSample(crc, figures.interfaceCrcErrors);
        optionalSample(grown, figures.grownDefects);
        if (figures.uncorrectedReadErrors)
            addSample(uncorrected, { { "device", device }, { "direction", "read" } },
                *figures.uncorrectedReadErrors);
        if (figures.uncorrectedWriteErrors)
            addSample(uncorrected, { { "device", device }, { "direction", "write" } },
                *figures.uncorrectedWriteErrors);
        if (state.lastSuccess)
            addSample(lastRefresh, deviceLabel(device), *state.lastSuccess);
    }
    for (auto* each : { &healthy, &temperature, &powerOn, &mediaErrors, &errorLog, &reallocated, &pending,
             &offline, &crc, &grown, &uncorrected, &failures, &lastRefresh })
        appendIfAny(families, std::move(*each));
}

void DiskMetricsCollector::appendLinkHealth(Families& families, const std::vector<Reading>& readings) const
{
    // SATA speeds come only from the drive itself, so from the last SMART report; the registry
    // knows USB and PCIe links.
    SmartRefresher::States states;
    if (m_sources.smart)
        states = m_sources.smart->states();
    auto degraded = family(linkDegradedName,
        "1 for each way the disk's link runs below what both of its ends can do", MetricType::Gauge);
    for (const auto& reading : readings) {
        if (!reading.link)
            continue;
        std::optional<SataInterfaceSpeed> sata;
        if (auto state = states.find(reading.name); state != states.end() && state->second.figures)
            sata = state->second.figures->interfaceSpeed;
        std::set<std::string> kinds;
        for (auto& warning : linkWarnings(*reading.link, sata))
            kinds.insert(std::move(warning.kind));
        for (const auto& kind : kinds)
            addSample(degraded, { { "device", reading.name }, { "kind", kind } }, 1);
    }
    appendIfAny(families, std::move(degraded));
}

void DiskMetricsCollector::appendBenchmarks(
    Families& families, const std::vector<BlockDeviceEntry>& listed) const
{
    if (!m_benchmarks)
        return;
    const auto records = m_benchmarks->records();
    auto write = family(
        benchmarkWriteName, "Sequential write speed of the drive's newest benchmark", MetricType::Gauge);
    auto read = family(
        benchmarkReadName, "Sequential read speed of the drive's newest benchmark", MetricType::Gauge);
    auto randomWrite = family(benchmarkRandomWriteName,
        "Random 4 KiB writes per second in the drive's newest benchmark", MetricType::Gauge);
    auto randomRead = family(benchmarkRandomReadName,
        "Random 4 KiB reads per second in the drive's newest benchmark", MetricType::Gauge);
    auto payload = family(
        benchmarkPayloadName, "Bytes the drive's newest benchmark moved each way", MetricType::Gauge);
    auto finished
        = family(benchmarkTimestampName, "When the drive's newest benchmark finished", MetricType::Gauge);
    for (const auto& record : *records) {
        const auto& device = record.device.bsdName;
        if (m_selection && !m_selection->contains(device)) {
            // A run on a partition belongs to the selected disk it lies on.
            auto entry = std::find_if(listed.begin(), listed.end(),
                [&](const BlockDeviceEntry& each) { return each.name == device; });
            if (entry == listed.end() || !entry->wholeDisk || !m_selection->contains(*entry->wholeDisk))
                continue;
        }
        const std::vector<ClientMetric::Label> labels { { "device", device },
            { "drive", record.device.key } };
        addSample(write, labels, record.writeThroughput);
        addSample(read, labels, record.readThroughput);
        addSample(randomWrite, labels, record.randomWriteIOPS);
        addSample(randomRead, labels, record.randomReadIOPS);
        addSample(payload, labels, static_cast<double>(record.payloadBytes));
        addSample(finished, labels, record.finishedAt);
    }
    for (auto* each : { &write, &read, &randomWrite, &randomRead, &payload, &finished })
        appendIfAny(families, std::move(*each));
}

}
