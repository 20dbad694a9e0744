#pragma once

#include "benchmark/BenchmarkFileSystem.h"
#include "benchmark/BenchmarkHonesty.h"
#include "benchmark/BenchmarkTypes.h"
#include "benchmark/DiskPerformanceTester.h"
#include "core/Expected.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace tallowin {

// Seconds on the kernel's monotonic clock, which no NTP step or manual date change moves. Every
// duration and deadline of a test is measured with it; the wall clock only dates the result.
double monotonicSeconds();

// The four phases of one performance test, run synchronously on the calling thread: random
// writes, random reads, the sequential write and the sequential read. It has no thread or queue
// of its own; whoever runs it (the tester's test thread, or a test) supplies the cancellation
// check, the progress hand-off and the bookkeeping of the files it creates.
class BenchmarkEngine {
public:
    using Result = DiskPerformanceTester::Result;
    using DataSize = DiskPerformanceTester::DataSize;
    using TestError = DiskPerformanceTester::TestError;

    // The run noticed that it was asked to stop.
    struct Cancelled {
        friend bool operator==(const Cancelled&, const Cancelled&) = default;
    };
    // Something other than a file operation went wrong (an allocation failed, a formatting
    // routine threw): its description, so that it ends the test like any other failure.
    struct UnexpectedFailure {
        std::string description;
        friend bool operator==(const UnexpectedFailure&, const UnexpectedFailure&) = default;
    };
    using Failure = std::variant<Cancelled, TestError, UnexpectedFailure>;

    struct Environment {
        std::shared_ptr<BenchmarkFileSystem> fileSystem;
        std::function<double()> monotonicClock { monotonicSeconds };
        // The date of the result, and nothing else.
        std::function<WallClockTime()> wallClock { wallClockNow };
        double randomPhaseDuration { 5.0 };
        std::uint64_t randomPhaseWorkingSetLimit { 536870912 };
        std::function<bool()> isCancelled { [] { return false; } };
        // Hands a progress state to whoever shows it; returns when it has been applied.
        std::function<void(const ProgressState&)> publish { [](const ProgressState&) {} };
        // A test file now exists (nothing written to it yet).
        std::function<void(const std::string&)> fileCreated { [](const std::string&) {} };
        // The phases that use the file are over, however they ended: it may be deleted.
        std::function<void(const std::string&)> fileFinished { [](const std::string&) {} };
        // The counters of the device under the test, read at each phase's start and end; empty
        // when the device is not watched. A reading may fail (nothing).
        std::function<std::optional<StatisticsSnapshot>()> readDeviceCounters;
        // The most the device's link can carry; nothing when unknown.
        std::optional<LinkCeiling> linkCeiling;
    };

    explicit BenchmarkEngine(Environment);

    // The whole test in `directory`. Never throws: an exception becomes an UnexpectedFailure,
    // after every file it created has been handed to fileFinished.
    Expected<Result, Failure> run(
        const std::string& directory, const DataSize&, std::uint64_t payload, bool isPayloadAdjusted);

private:
    Environment m_environment;
};

}
