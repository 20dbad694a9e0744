#include "benchmark/ProgressTracker.h"

#include "core/Language.h"

#include <algorithm>
#include <cmath>

namespace tallowin {

std::string displayName(BenchmarkPhase phase)
{
    switch (phase) {
    case BenchmarkPhase::randomWrite:
        return localized("Random Write Phase", "随机写入阶段");
    case BenchmarkPhase::randomRead:
        return localized("Random Read Phase", "随机读取阶段");
    case BenchmarkPhase::sequentialWrite:
        return localized("Sequential Write Phase", "顺序写入阶段");
    case BenchmarkPhase::sequentialRead:
        return localized("Sequential Read Phase", "顺序读取阶段");
    }
    return {};
}

std::string_view rawValue(BenchmarkPhase phase)
{
    switch (phase) {
    case BenchmarkPhase::randomWrite:
        return "randomWrite";
    case BenchmarkPhase::randomRead:
        return "randomRead";
    case BenchmarkPhase::sequentialWrite:
        return "sequentialWrite";
    case BenchmarkPhase::sequentialRead:
        return "sequentialRead";
    }
    return {};
}

std::optional<BenchmarkPhase> benchmarkPhaseFromRawValue(std::string_view text)
{
    for (auto phase : { BenchmarkPhase::randomWrite, BenchmarkPhase::randomRead,
             BenchmarkPhase::sequentialWrite, BenchmarkPhase::sequentialRead }) {
        if (rawValue(phase) == text)
            return phase;
    }
    return std::nullopt;
}

std::string_view rawValue(TimelineSample::Phase phase)
{
    return phase == TimelineSample::Phase::sequentialWrite ? "sequentialWrite" : "sequentialRead";
}

ProgressTracker::ProgressTracker(std::map<BenchmarkPhase, double> phaseTotals)
    : m_phaseTotals(std::move(phaseTotals))
{
    for (const auto& [phase, total] : m_phaseTotals) {
        m_totalWork += total;
        m_completedPerPhase[phase] = 0;
    }
}

double ProgressTracker::completed(BenchmarkPhase phase) const
{
    auto found = m_completedPerPhase.find(phase);
    return found == m_completedPerPhase.end() ? 0 : found->second;
}

std::optional<ProgressState> ProgressTracker::advance(
    BenchmarkPhase phase, double amount, double now, double testStart, Publication publication)
{
    auto found = m_phaseTotals.find(phase);
    double total = found == m_phaseTotals.end() ? 0 : found->second;
    double current = completed(phase);
    double updated = 0;
    double increment = 0;
    if (total > 0) {
        updated = std::min(current + amount, total);
        increment = std::max(updated - current, 0.0);
    } else {
        updated = current + amount;
    }
    m_completedPerPhase[phase] = updated;
    m_totalCompleted = std::min(m_totalCompleted + increment, std::max(m_totalWork, 1.0));

    double fraction = std::clamp(m_totalCompleted / std::max(m_totalWork, 1.0), 0.0, 1.0);
    double sinceLast = now - m_lastPublishDate;
    bool due = publication == Publication::forced || (!std::isnan(sinceLast) && sinceLast >= 1.0)
        || fraction >= 1.0;
    if (!due)
        return std::nullopt;
    m_lastPublishDate = now;
    return state(phase, now, testStart);
}

ProgressState ProgressTracker::completePhase(BenchmarkPhase phase, double now, double testStart)
{
    auto found = m_phaseTotals.find(phase);
    double total = found == m_phaseTotals.end() ? 0 : found->second;
    if (total > 0) {
        double remainder = std::max(total - completed(phase), 0.0);
        m_completedPerPhase[phase] = total;
        m_totalCompleted = std::min(std::max(m_totalWork, 1.0), m_totalCompleted + remainder);
    }
    m_lastPublishDate = now;
    return state(phase, now, testStart);
}

ProgressState ProgressTracker::state(BenchmarkPhase phase, double now, double testStart) const
{
    ProgressState progress;
    progress.phase = phase;
    progress.fractionCompleted = std::clamp(m_totalCompleted / std::max(m_totalWork, 1.0), 0.0, 1.0);
    progress.elapsedTime = now - testStart;
    if (progress.fractionCompleted >= 1.0)
        progress.estimatedRemainingTime = 0.0;
    else if (progress.fractionCompleted > 0)
        progress.estimatedRemainingTime
            = std::max(progress.elapsedTime / progress.fractionCompleted - progress.elapsedTime, 0.0);
    return progress;
}

TimelineSampler::TimelineSampler(TimelineSample::Phase phase, std::vector<TimelineSample> timelineSoFar)
    : m_phase(phase)
    , m_timeline(std::move(timelineSoFar))
{
    if (!m_timeline.empty())
        m_previousSampleTime = m_timeline.back().timestamp;
}

void TimelineSampler::recordChunk(std::uint64_t bytes, double ioDuration, double sinceTestStart)
{
    m_pendingBytes += bytes;
    m_pendingTime += ioDuration;
    bool due = m_previousSampleTime ? sinceTestStart - *m_previousSampleTime >= 1.0 : sinceTestStart >= 1.0;
    if (due)
        appendSample(sinceTestStart, Window::atLeastOneSecond);
}

void TimelineSampler::finish(double sinceTestStart)
{
    if (m_pendingBytes > 0 || m_pendingTime > 0)
        appendSample(sinceTestStart, Window::real);
}

void TimelineSampler::appendSample(double timestamp, Window window)
{
    constexpr double shortestTime = 2.220446049250313e-16;
    double time
        = window == Window::real ? std::max(m_pendingTime, shortestTime) : std::max(m_pendingTime, 1.0);
    double throughput = m_pendingBytes == 0 ? 0.0 : static_cast<double>(m_pendingBytes) / time;
    m_timeline.push_back({ Uuid::random(), m_phase, timestamp, m_pendingBytes, throughput });
    m_maximum = std::max(m_maximum, throughput);
    m_pendingBytes = 0;
    m_pendingTime = 0;
    m_previousSampleTime = timestamp;
}

}
