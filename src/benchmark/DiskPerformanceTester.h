#pragma once

#include "benchmark/BenchmarkFileSystem.h"
#include "benchmark/BenchmarkHonesty.h"
#include "benchmark/BenchmarkTypes.h"
#include "benchmark/TemporaryFileRegistry.h"
#include "core/MainQueue.h"
#include "core/Records.h"
#include "core/SerialQueue.h"
#include "core/Uuid.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

namespace tallowin {

// Measures how fast a volume reads and writes: random 4096-byte writes and reads for a fixed time
// each, then the payload written in 16 MiB chunks and read back, in temporary files placed in the
// chosen folder. Published properties change on the main thread only; the test runs on its own
// cancellable thread and hands each progress update to the main thread.
class DiskPerformanceTester : public std::enable_shared_from_this<DiskPerformanceTester> {
public:
    // The payload the user selected.
    struct DataSize {
        enum class Kind {
            availableSpace,
            gigabytes,
        };
        Kind kind { Kind::availableSpace };
        std::int64_t gigabyteCount { 0 };

        static DataSize availableSpace() { return {}; }
        static DataSize gigabytes(std::int64_t count) { return { Kind::gigabytes, count }; }
        // "availableSpace" or "gigabytes_" followed by the count.
        std::string id() const;
        // The choices offered to the user, in order.
        static std::vector<DataSize> allCases();
        friend bool operator==(const DataSize&, const DataSize&) = default;
    };

    struct EffectivePayload {
        std::uint64_t byteCount { 0 };
        // The whole free space was asked for and a safety margin lowered the payload below it
        // rounded down to whole gigabytes.
        bool isAdjusted { false };
        // The free space the test leaves (whole free space only): the margin and the rounding.
        std::uint64_t bytesKeptFree { 0 };
        friend bool operator==(const EffectivePayload&, const EffectivePayload&) = default;
    };

    struct Result {
        Uuid id;
        DataSize dataSize;
        std::uint64_t actualByteCount { 0 };
        bool isPayloadAdjusted { false };
        double writeDuration { 0 };
        double writeThroughput { 0 };
        double readDuration { 0 };
        double readThroughput { 0 };
        double randomWriteIOPS { 0 };
        double randomReadIOPS { 0 };
        std::int64_t randomBlockSize { 4096 };
        std::int64_t randomOperationCount { 0 };
        double maximumWriteThroughput { 0 };
        double maximumReadThroughput { 0 };
        std::vector<TimelineSample> timeline;
        WallClockTime finishedAt { 0 };
        // Per phase, what the device itself moved and what the figures cannot be (a cache
        // answered, faster than the link); the report does not show these.
        BenchmarkHonesty honesty;
        friend bool operator==(const Result&, const Result&) = default;
    };

    struct TestError {
        enum class Code {
            reportWriteFailed,
            volumeUnavailable,
            insufficientFreeSpace,
            temporaryFileCreationFailed,
            fileHandleUnavailable,
            writeFailed,
            readFailed,
            noResultToExport,
        };
        Code code;
        std::string message; // the reason of reportWriteFailed
        std::string localizedDescription() const;
        friend bool operator==(const TestError&, const TestError&) = default;
    };

    // What a test depends on besides the main queue. The defaults are the real ones; tests
    // replace the file system to inject failures and shorten the random phases.
    struct Configuration {
        std::shared_ptr<BenchmarkFileSystem> fileSystem;
        double randomPhaseDuration { 5.0 };
        std::uint64_t randomPhaseWorkingSetLimit { 536870912 };
        // The date of a result, and nothing else.
        std::function<WallClockTime()> clock { wallClockNow };
        // Every duration, deadline and progress time: a clock that no NTP step moves.
        std::function<double()> monotonicClock;
        // Sizes the payload of a test; the real sizing unless a test wants small payloads.
        std::function<std::optional<EffectivePayload>(const DataSize&, std::optional<std::uint64_t>)>
            payloadSizing;
        std::chrono::milliseconds automaticReportMessageLifetime { 6000 };
        // What the test watches of the volume's device; called on the test's thread. The real
        // one (observeVolume) unless a test gives its own.
        std::function<DeviceObservation(const DiskVolumeDescriptor&)> observeDevice;
    };

    static constexpr const char* exportQueueLabel = "com.tallowin.performanceTester.export";
    static constexpr std::int64_t randomBlockSize = 4096;
    static constexpr std::int64_t sequentialBlockSize = 16777216;

    static std::shared_ptr<DiskPerformanceTester> create(std::shared_ptr<MainQueue>);
    static std::shared_ptr<DiskPerformanceTester> create(std::shared_ptr<MainQueue>, Configuration);
    ~DiskPerformanceTester();
    DiskPerformanceTester(const DiskPerformanceTester&) = delete;
    DiskPerformanceTester& operator=(const DiskPerformanceTester&) = delete;

    // The payload of a data size on a volume with the given free space, or none when the test
    // cannot run: decimal gigabytes, and for the whole free space, whole gigabytes rounded down
    // after keeping fullDiskSafetyMargin free.
    static std::optional<EffectivePayload> payloadFor(
        const DataSize&, std::optional<std::uint64_t> freeBytes);
    // What a whole-free-space test leaves free: room for the random-phase file (512 MiB) and for
    // the file system's metadata (1 % of the free space, at least 64 MiB).
    static std::uint64_t fullDiskSafetyMargin(std::uint64_t freeBytes);
    // The failure text of a test ended by something other than a file operation.
    static std::string unexpectedFailureMessage(const std::string& description);

    // Published properties. Read and called on the main thread only, like everything below.
    const DataSize& dataSize() const { return m_dataSize; }
    bool isRunning() const { return m_isRunning; }
    const std::optional<ProgressState>& progressState() const { return m_progressState; }
    const std::optional<Result>& lastResult() const { return m_lastResult; }
    const std::optional<std::string>& errorMessage() const { return m_errorMessage; }
    const std::optional<std::string>& automaticReportMessage() const { return m_automaticReportMessage; }
    // The file of the last report written, beside its message.
    const std::optional<std::string>& lastReportPath() const { return m_lastReportPath; }
    // Called on the main thread after any published property changed.
    void setChangeHandler(std::function<void()>);

    void setDataSize(const DataSize&);
    std::optional<EffectivePayload> effectivePayload(const std::optional<DiskVolumeDescriptor>&) const;
    void startTest(const std::optional<DiskVolumeDescriptor>&);
    void stopTest();

    // Whether test threads, deletions or report writing are still under way; a program waits for
    // this before it exits so that no temporary file stays behind.
    bool hasBackgroundWork() const;
    TemporaryFileRegistry& temporaryFileRegistry() { return m_cleanup->registry(); }

private:
    // Puts the published state where a view under test needs it, without running a test.
    friend struct DiskPerformanceTesterTestPeer;
    struct TestTask;
    struct Outcome;

    DiskPerformanceTester(std::shared_ptr<MainQueue>, Configuration);
    void changed();
    void handleOutcome(const Uuid& token, Outcome);
    void applyProgress(const Uuid& token, const ProgressState&);
    void exportReportAutomatically(const Result&, const DiskVolumeDescriptor&);
    void reportExportSucceeded(const std::string& path);
    void reportExportFailed(const std::string& reason);
    void reapFinishedTasks();

    std::shared_ptr<MainQueue> m_mainQueue;
    Configuration m_configuration;

    DataSize m_dataSize;
    bool m_isRunning { false };
    std::optional<ProgressState> m_progressState;
    std::optional<Result> m_lastResult;
    std::optional<std::string> m_errorMessage;
    std::optional<std::string> m_automaticReportMessage;
    std::optional<std::string> m_lastReportPath;
    std::function<void()> m_changeHandler;

    std::shared_ptr<SerialQueue> m_automaticExportQueue;
    std::shared_ptr<TemporaryFileCleanup> m_cleanup;
    std::optional<DiskVolumeDescriptor> m_lastTestVolume;
    Uuid m_automaticReportMessageToken;
    std::shared_ptr<TestTask> m_currentTestTask;
    std::optional<Uuid> m_activeTestToken;
    std::vector<std::shared_ptr<TestTask>> m_tasks;
    std::shared_ptr<std::atomic<int>> m_pendingExports;
    std::shared_ptr<std::atomic<int>> m_backgroundTests;
};

}
