#pragma once

#include "core/MainQueue.h"
#include "core/Records.h"
#include "core/SerialQueue.h"
#include "core/Uuid.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <variant>
#include <vector>

namespace tallowin {

// One plotted point of the live chart. The chart widget names it DiskIOGraphCanvas::IndexedSample;
// it lives here so that this Qt-free layer can produce it.
struct IndexedSample {
    // Position in the sample list handed to the cache; for a bin, its middle sample.
    std::int64_t index { 0 };
    // Bytes per second; for a bin, the highest rate of its samples, so peaks survive.
    double readSpeed { 0 };
    double writeSpeed { 0 };
    // For a bin, the sums of its samples, sticking at 2^64 − 1.
    std::uint64_t readBytes { 0 };
    std::uint64_t writeBytes { 0 };
    std::int64_t sampleCount { 0 };

    friend bool operator==(const IndexedSample&, const IndexedSample&) = default;
};

// A half-open range [lower, upper) of sample positions.
struct IndexRange {
    std::int64_t lower { 0 };
    std::int64_t upper { 0 };

    std::int64_t length() const { return upper - lower; }
    friend bool operator==(const IndexRange&, const IndexRange&) = default;
};

// Reduces the visible part of the monitor's history to a bounded list of plotted points, off the
// main thread, and publishes the list on the main thread.
//
// update() runs on the main thread and never loops over samples: it compares a constant-size
// signature and the cached parameters, and hands any real work to the serial queue
// "com.tallowin.graph.downsampling". Only the most recently submitted job may publish its result:
// every submission replaces the pending token, a job checks the token before it starts, and the
// apply step on the main thread checks it again.
class DiskIOGraphRendererCache : public std::enable_shared_from_this<DiskIOGraphRendererCache> {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    // Identifies a sample list cheaply: its length and the ids at both ends.
    struct DataSignature {
        std::int64_t count { 0 };
        std::optional<Uuid> firstID;
        std::optional<Uuid> lastID;

        static DataSignature of(const std::vector<DiskSample>&);
        friend bool operator==(const DataSignature&, const DataSignature&) = default;
    };

    struct DownsampledBin {
        IndexRange range;
        IndexedSample sample;

        friend bool operator==(const DownsampledBin&, const DownsampledBin&) = default;
    };

    struct DownsamplingPlan {
        struct Recompute {
            std::vector<DownsampledBin> preservedBins;
            std::int64_t recomputeStart { 0 };

            friend bool operator==(const Recompute&, const Recompute&) = default;
        };
        struct None {
            friend bool operator==(const None&, const None&) = default;
        };
        using Work = std::variant<Recompute, None>;

        Work work;
        IndexRange sanitizedRange;
        std::int64_t targetCount { 0 };
        std::int64_t chunkSize { 0 };

        friend bool operator==(const DownsamplingPlan&, const DownsamplingPlan&) = default;
    };

    static constexpr const char* downsamplingQueueLabel = "com.tallowin.graph.downsampling";

    static std::shared_ptr<DiskIOGraphRendererCache> create(std::shared_ptr<MainQueue>);
    DiskIOGraphRendererCache(Passkey, std::shared_ptr<MainQueue>);
    ~DiskIOGraphRendererCache();
    DiskIOGraphRendererCache(const DiskIOGraphRendererCache&) = delete;
    DiskIOGraphRendererCache& operator=(const DiskIOGraphRendererCache&) = delete;

    // Main thread. Takes a snapshot of the samples; the effect shows later as an assignment to
    // plottedSamples. targetCount is the wanted maximum number of plotted points.
    void update(std::vector<DiskSample> samples, std::int64_t requestedLower, std::int64_t requestedUpper,
        std::int64_t targetCount, int sampleIntervalMs);
    // Shares a snapshot the caller already holds, so a redraw with unchanged samples copies nothing.
    void update(std::shared_ptr<const std::vector<DiskSample>> samples, std::int64_t requestedLower,
        std::int64_t requestedUpper, std::int64_t targetCount, int sampleIntervalMs);

    // Published (main thread). Observers run on the main thread after every assignment.
    const std::vector<IndexedSample>& plottedSamples() const { return m_plottedSamples; }
    using ObserverID = std::uint64_t;
    ObserverID addObserver(std::function<void(const std::vector<IndexedSample>&)>);
    void removeObserver(ObserverID);

    // The state of the last applied result (main thread); for diagnostics and tests.
    const std::vector<DownsampledBin>& cachedBins() const { return m_cachedBins; }
    IndexRange cachedRange() const { return m_cachedRange; }
    std::int64_t cachedTargetCount() const { return m_cachedTargetCount; }
    std::int64_t cachedChunkSize() const { return m_cachedChunkSize; }
    int cachedSampleIntervalMs() const { return m_cachedSampleIntervalMs; }
    const DataSignature& cachedDataSignature() const { return m_cachedDataSignature; }
    bool hasPendingWork() const { return m_pendingWorkItem != nullptr; }
    SerialQueue& downsamplingQueue() { return *m_downsamplingQueue; }

    // The pure steps, shared by update() and the job.
    static IndexRange sanitizedRange(std::int64_t sampleCount, std::int64_t requestedLower, std::int64_t requestedUpper);
    // Effective target T and chunk size C for a range of the given length.
    static std::int64_t effectiveTargetCount(std::int64_t length, std::int64_t targetCount);
    static std::int64_t chunkSize(std::int64_t length, std::int64_t effectiveTarget);
    // The plan against what was applied last.
    DownsamplingPlan makePlan(IndexRange, std::int64_t effectiveTarget, std::int64_t chunk) const;
    // Bins of `chunk` samples from start up to upper (the last one may be shorter), rates = bytes × rateFactor.
    static std::vector<DownsampledBin> downsample(const std::vector<DiskSample>&, std::int64_t start,
        std::int64_t upper, std::int64_t chunk, double rateFactor);

private:
    // A job that can be kept from starting: cancelling before it runs makes it a no-op.
    struct WorkItem {
        std::atomic<bool> cancelled { false };
    };

    // The one field a job reads outside its own captures. Shared with jobs (weakly) so that the
    // check needs neither the cache itself nor the main thread.
    struct TokenBox {
        std::mutex mutex;
        std::optional<Uuid> token;

        void set(std::optional<Uuid>);
        bool holds(const Uuid&);
    };

    struct Result {
        std::vector<DownsampledBin> bins;
        IndexRange range;
        std::int64_t targetCount { 0 };
        std::int64_t chunkSize { 0 };
        int sampleIntervalMs { 0 };
        DataSignature signature;
    };

    void cancelPendingWork();
    void applyComputed(const Uuid& token, Result);
    void applyPreserved(Result);
    void applyEmpty(IndexRange, int sampleIntervalMs, DataSignature);
    void store(Result&&);
    void publish(std::vector<IndexedSample>);
    void postToMain(std::function<void(DiskIOGraphRendererCache&)>);

    std::shared_ptr<MainQueue> m_mainQueue;

    std::vector<IndexedSample> m_plottedSamples;
    std::vector<DownsampledBin> m_cachedBins;
    IndexRange m_cachedRange;
    std::int64_t m_cachedTargetCount { 0 };
    std::int64_t m_cachedChunkSize { 0 };
    int m_cachedSampleIntervalMs { 0 };
    std::unique_ptr<SerialQueue> m_downsamplingQueue;
    std::shared_ptr<WorkItem> m_pendingWorkItem;
    // Written on the main thread, read by the job that checks whether it is still wanted.
    std::shared_ptr<TokenBox> m_pendingWorkToken;
    DataSignature m_cachedDataSignature;

    struct Observer {
        ObserverID id;
        std::function<void(const std::vector<IndexedSample>&)> callback;
    };
    std::vector<std::shared_ptr<Observer>> m_observers;
    ObserverID m_nextObserverID { 1 };
};

}
