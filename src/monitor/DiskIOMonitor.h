#pragma once

#include "core/Clock.h"
#include "core/Expected.h"
#include "core/FixedRingBuffer.h"
#include "core/MainQueue.h"
#include "core/MonitorError.h"
#include "core/MutexProtected.h"
#include "core/Records.h"
#include "core/RepeatingTimer.h"
#include "core/SerialQueue.h"
#include "monitor/DiskIOKitStatisticsProvider.h"
#include "platform/DeviceRegistry.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tallowin {

// The live I/O monitor: samples the selected volume's block device counters at the chosen
// precision and publishes samples, per-interval figures, running totals, the run's duration
// and error messages.
//
// Sampling runs on "com.tallowin.monitor.queue" with a repeating timer; each pair of
// consecutive readings becomes a DiskSample. Samples are collected on
// "com.tallowin.monitor.aggregation" and handed to the main queue as a batch about sixty times
// a second, so the interface's update rate stays bounded even at 1 ms sampling. Every public
// operation and every published property belongs to the main queue's thread.
//
// Selecting a volume resolves it, publishes it as `selectedVolume` and starts the SMART refresh
// of its drive: a thread of its own ("tallowin-smart") that asks for the drive's SMART data about
// once a second and has the main queue store it in `selectedVolume`. The refresh belongs to the
// selection, not to a monitoring run; the next selection or the monitor's end stops it.
class DiskIOMonitor : public std::enable_shared_from_this<DiskIOMonitor> {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    using MonitorError = ::tallowin::MonitorError;

    // How often the counters are read. The raw value is the interval in milliseconds.
    class SamplingPrecision {
    public:
        enum Case : int {
            ms1 = 1,
            ms10 = 10,
            ms100 = 100,
            ms1000 = 1000,
        };

        constexpr SamplingPrecision(Case value)
            : m_case(value)
        { }
        // Nothing for a raw value that is not one of the cases.
        static std::optional<SamplingPrecision> fromRawValue(int rawValue);
        // Every case, shortest interval first.
        static std::array<SamplingPrecision, 4> allCases();

        constexpr int rawValue() const { return m_case; }
        constexpr Case value() const { return m_case; }
        std::chrono::nanoseconds interval() const;
        std::chrono::nanoseconds leeway() const;

        friend constexpr bool operator==(SamplingPrecision, SamplingPrecision) = default;

    private:
        Case m_case;
    };

    // The published properties, for change notifications.
    enum class Property {
        samples,
        selectedVolume,
        isMonitoring,
        monitoringStartDate,
        monitoringDuration,
        currentReadBytes,
        currentWriteBytes,
        currentReadOperations,
        currentWriteOperations,
        totalReadBytes,
        totalWriteBytes,
        errorMessage,
        samplingPrecision,
    };

    static constexpr std::int64_t maximumSamples = 60000;
    static constexpr std::chrono::nanoseconds aggregationInterval { 16666666 };
    static constexpr std::chrono::nanoseconds aggregationLeeway = std::chrono::milliseconds(2);
    static constexpr std::uint64_t smartRefreshIntervalNanoseconds = 1000000000;

    // Turns the folder or volume the user chose (a path or a file:// URL) into a descriptor.
    // Called on the main thread, synchronously.
    using VolumeResolver
        = std::function<Expected<DiskVolumeDescriptor, MonitorError>(const std::string& location)>;
    // The SMART data of the drive behind a block device name, or nothing. Blocking, possibly for
    // seconds; called only on refresh threads, and an old selection's thread may still be inside
    // it while the next selection's thread calls it, so it must be safe to call concurrently.
    using SMARTInfoSource = std::function<std::optional<DiskSMARTInfo>(const std::string& bsdName)>;

    // What volume selection needs from the layers beside the monitor; the application wires in
    // the volume resolver and the SMART info provider. Without a resolver every selection fails
    // with invalidSelection; without a SMART source no refresh runs.
    struct VolumeSelectionServices {
        VolumeResolver resolveVolume;
        SMARTInfoSource fetchSMARTInfo;
        std::chrono::nanoseconds smartRefreshInterval { smartRefreshIntervalNanoseconds };
    };

    // The clock dates the run and its samples (wall time) and measures its duration (monotonic).
    static std::shared_ptr<DiskIOMonitor> create(std::shared_ptr<DeviceRegistry>, std::shared_ptr<MainQueue>,
        std::shared_ptr<const Clock> = systemClock());
    static std::shared_ptr<DiskIOMonitor> create(std::shared_ptr<DeviceRegistry>, std::shared_ptr<MainQueue>,
        VolumeSelectionServices, std::shared_ptr<const Clock> = systemClock());
    DiskIOMonitor(Passkey, std::shared_ptr<DeviceRegistry>, std::shared_ptr<MainQueue>,
        VolumeSelectionServices, std::shared_ptr<const Clock>);
    ~DiskIOMonitor();
    DiskIOMonitor(const DiskIOMonitor&) = delete;
    DiskIOMonitor& operator=(const DiskIOMonitor&) = delete;

    // Operations (main thread).
    void startMonitoring();
    void stopMonitoring();
    void updateSamplingPrecision(SamplingPrecision);
    // Stops a running run and the SMART refresh, resolves the location and publishes the result
    // through the main queue: the descriptor as `selectedVolume` (clearing `errorMessage`, then
    // starting its SMART refresh), or no volume and the resolver's error as `errorMessage`.
    void selectVolume(const std::string& location);
    // Makes an already resolved descriptor the selected volume (stopping a running run first),
    // for callers that resolve the volume themselves; the SMART refresh follows it as it follows
    // selectVolume.
    void setSelectedVolume(std::optional<DiskVolumeDescriptor>);
    // Publishes a failure of work done on the monitor's data elsewhere (the chart export) as
    // `errorMessage`, where the window shows the monitor's failures.
    void reportError(std::string message);

    // Published properties (main thread).
    //
    // The ring buffer's contents, oldest first, as of the last applied batch. Built on the
    // first read after a batch and kept until the next one, so a batch nobody reads costs no
    // copy. The reference stays valid until the next batch is applied on the main thread.
    const std::vector<DiskSample>& samples() const;
    std::size_t sampleCount() const { return static_cast<std::size_t>(m_samplesBuffer.count()); }
    // The newest `count` samples (fewer while the history is shorter), oldest first. What a live
    // view needs each frame: it copies only what it asks for, not the whole history.
    std::vector<DiskSample> newestSamples(std::size_t count) const;
    const std::optional<DiskVolumeDescriptor>& selectedVolume() const { return m_selectedVolume; }
    bool isMonitoring() const { return m_isMonitoring; }
    std::optional<WallClockTime> monitoringStartDate() const { return m_monitoringStartDate; }
    double monitoringDuration() const { return m_monitoringDuration; }
    std::uint64_t currentReadBytes() const { return m_currentReadBytes; }
    std::uint64_t currentWriteBytes() const { return m_currentWriteBytes; }
    std::uint64_t currentReadOperations() const { return m_currentReadOperations; }
    std::uint64_t currentWriteOperations() const { return m_currentWriteOperations; }
    std::uint64_t totalReadBytes() const { return m_totalReadBytes; }
    std::uint64_t totalWriteBytes() const { return m_totalWriteBytes; }
    const std::optional<std::string>& errorMessage() const { return m_errorMessage; }
    SamplingPrecision samplingPrecision() const;

    // Observation (main thread). Observers are called on the main thread after the change.
    using ObserverID = std::uint64_t;
    using PropertyObserver = std::function<void(Property)>;
    // Called once per applied batch, after every property of the batch has been updated; the
    // span holds the batch's samples in order and is valid only during the call.
    using BatchObserver = std::function<void(std::span<const DiskSample>)>;
    ObserverID addObserver(PropertyObserver);
    ObserverID addBatchObserver(BatchObserver);
    void removeObserver(ObserverID);

private:
    friend struct DiskIOMonitorTestPeer;
    class AggregationCoordinator;
    class SMARTRefreshTask;

    // What a refresh's result did to `selectedVolume`.
    enum class SMARTPublishResult {
        applied, // replaced with the new SMART data, which may be none
        identical, // nothing to change
        discarded, // the selection changed meanwhile
    };

    // What the aggregation queue hands to the main thread.
    struct Payload {
        std::vector<DiskSample> samples;
        std::uint64_t readBytes { 0 };
        std::uint64_t writeBytes { 0 };
        std::optional<DiskSample> latestSample;
    };

    // Main thread, or the monitor queue when its run fails.
    void stopRoutine(bool flush);
    // Ends the current run (when it is `onlyRun`, if given): bumps the run number and cancels the
    // run's timer. Whether it ended one.
    bool endRun(std::optional<std::uint64_t> onlyRun);
    void finishStop(bool flush);

    // Main thread.
    void startSMARTRefresh(const DiskVolumeDescriptor&);
    void cancelSMARTRefresh();
    SMARTPublishResult decideSMARTPublish(const std::string& bsdName, std::optional<DiskSMARTInfo>);
    void applyPayload(const Payload&);
    void resetForNewRun();
    template<typename T> void publish(T& field, T value, Property);
    void notify(Property);
    void notifyBatch(std::span<const DiskSample>);
    void postToMain(std::function<void(DiskIOMonitor&)>);

    // Monitor queue.
    void beginRun(const DiskVolumeDescriptor&, std::uint64_t run);
    void tick(std::uint64_t run);
    void processSnapshot(const DiskIOKitStatisticsProvider::Snapshot&);
    // Stops the run with the error, unless a stop or a newer start has already ended that run:
    // a late failure of an old run must not stop the one the user started since.
    void failRun(const MonitorError&, std::uint64_t run);

    std::shared_ptr<AggregationCoordinator> coordinator();

    std::shared_ptr<DeviceRegistry> m_registry;
    std::shared_ptr<MainQueue> m_mainQueue;
    std::shared_ptr<const Clock> m_clock;
    VolumeSelectionServices m_selectionServices;

    // Published; main thread only (the precision is also read by the monitor queue).
    std::optional<DiskVolumeDescriptor> m_selectedVolume;
    bool m_isMonitoring { false };
    std::optional<WallClockTime> m_monitoringStartDate;
    // When the run started, for its duration: a step of the wall clock must not change it.
    std::optional<MonotonicTime> m_monitoringStartInstant;
    double m_monitoringDuration { 0 };
    std::uint64_t m_currentReadBytes { 0 };
    std::uint64_t m_currentWriteBytes { 0 };
    std::uint64_t m_currentReadOperations { 0 };
    std::uint64_t m_currentWriteOperations { 0 };
    std::uint64_t m_totalReadBytes { 0 };
    std::uint64_t m_totalWriteBytes { 0 };
    std::optional<std::string> m_errorMessage;
    std::atomic<int> m_samplingPrecision { SamplingPrecision::ms1000 };

    FixedRingBuffer<DiskSample> m_samplesBuffer { maximumSamples };
    mutable std::vector<DiskSample> m_publishedSamples;
    mutable bool m_publishedSamplesStale { false };

    struct Observation {
        ObserverID id;
        PropertyObserver property;
        BatchObserver batch;
    };
    // Shared so that an observer may add or remove observers while it is being called.
    std::vector<std::shared_ptr<Observation>> m_observers;
    ObserverID m_nextObserverID { 1 };
    int m_notifying { 0 };

    // Monitor queue only.
    std::unique_ptr<DiskIOKitStatisticsProvider::StatisticsSession> m_currentStatisticsSession;
    std::optional<DiskIOKitStatisticsProvider::Snapshot> m_previousSnapshot;

    // Declared before the timer so that the timer, which fires on it, goes first.
    std::unique_ptr<SerialQueue> m_monitorQueue;
    struct RunState {
        // Set on the monitor queue, cancelled by whichever thread stops the run.
        std::unique_ptr<RepeatingTimer> timer;
        // Every stop ends the current run; a start whose run has been ended before it began on
        // the monitor queue must not install its timer, and ticks and failures of an ended run
        // do nothing.
        std::uint64_t run { 0 };
    };
    MutexProtected<RunState> m_runState;

    // Created on first use by the main thread or the monitor queue, then kept.
    MutexProtected<std::shared_ptr<AggregationCoordinator>> m_coordinator;

    // Main thread only. The running refresh, and cancelled ones whose fetch has not returned yet:
    // a new selection must not wait for an old fetch, so those are only joined once they have
    // finished, or when the monitor ends.
    std::unique_ptr<SMARTRefreshTask> m_smartRefreshTask;
    std::vector<std::unique_ptr<SMARTRefreshTask>> m_cancelledSMARTRefreshTasks;
};

// In the header: the volume selection, in a file of its own, publishes too.
template<typename T> void DiskIOMonitor::publish(T& field, T value, Property property)
{
    if (field == value)
        return;
    field = std::move(value);
    notify(property);
}

}
