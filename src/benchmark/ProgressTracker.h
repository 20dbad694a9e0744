#pragma once

#include "benchmark/BenchmarkTypes.h"

#include <limits>
#include <map>
#include <optional>
#include <vector>

namespace tallowin {

// Turns transferred bytes into a completed fraction and a remaining-time estimate, and decides
// when a new state is worth handing to the main thread (at most about once a second). Owned by
// one test run; not shared between threads. Times are seconds on the monotonic clock.
class ProgressTracker {
public:
    enum class Publication {
        whenDue,
        forced,
    };

    explicit ProgressTracker(std::map<BenchmarkPhase, double> phaseTotals);

    // Counts `amount` bytes of work in the phase; returns a state when one is due.
    std::optional<ProgressState> advance(
        BenchmarkPhase, double amount, double now, double testStart, Publication);
    // Marks the phase as fully done; its state is always published.
    ProgressState completePhase(BenchmarkPhase, double now, double testStart);

    double totalWork() const { return m_totalWork; }
    double totalCompleted() const { return m_totalCompleted; }
    double completed(BenchmarkPhase) const;

private:
    ProgressState state(BenchmarkPhase, double now, double testStart) const;

    std::map<BenchmarkPhase, double> m_phaseTotals;
    double m_totalWork { 0 };
    std::map<BenchmarkPhase, double> m_completedPerPhase;
    double m_totalCompleted { 0 };
    double m_lastPublishDate { -std::numeric_limits<double>::infinity() };
};

// Records the throughput samples of one sequential phase: a sample at least one second after the
// previous one, its throughput the bytes moved over their I/O time (counted as at least 1 s). The
// phase's last sample covers what moved since the previous one, less than a second's worth: it
// uses its real I/O time, or a phase shorter than a second would show a speed below its average.
class TimelineSampler {
public:
    // For the write phase: an empty timeline. For the read phase: the write phase's timeline, so
    // that its samples continue the write's one-second grid.
    TimelineSampler(TimelineSample::Phase, std::vector<TimelineSample> timelineSoFar);

    // After each chunk: its bytes, its I/O duration and the time since the test started.
    void recordChunk(std::uint64_t bytes, double ioDuration, double sinceTestStart);
    // At the end of the phase: a last sample over its real I/O time when anything is pending.
    void finish(double sinceTestStart);

    double maximumThroughput() const { return m_maximum; }
    const std::vector<TimelineSample>& timeline() const { return m_timeline; }
    std::vector<TimelineSample> takeTimeline() { return std::move(m_timeline); }

private:
    enum class Window {
        atLeastOneSecond,
        real,
    };
    void appendSample(double timestamp, Window);

    TimelineSample::Phase m_phase;
    std::uint64_t m_pendingBytes { 0 };
    double m_pendingTime { 0 };
    std::optional<double> m_previousSampleTime;
    double m_maximum { 0 };
    std::vector<TimelineSample> m_timeline;
};

}
