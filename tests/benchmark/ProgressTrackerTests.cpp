#include "benchmark/ProgressTracker.h"

#include <cmath>
#include <gtest/gtest.h>

namespace tallowin {
namespace {

using Publication = ProgressTracker::Publication;

ProgressTracker trackerFor(double payload)
{
    return ProgressTracker({ { BenchmarkPhase::randomWrite, 0 }, { BenchmarkPhase::randomRead, 0 },
        { BenchmarkPhase::sequentialWrite, payload }, { BenchmarkPhase::sequentialRead, payload } });
}

TEST(BenchmarkPhase, RawValuesRoundTripAndUnknownTextGivesNoPhase)
{
    for (auto phase : { BenchmarkPhase::randomWrite, BenchmarkPhase::randomRead,
             BenchmarkPhase::sequentialWrite, BenchmarkPhase::sequentialRead })
        EXPECT_EQ(benchmarkPhaseFromRawValue(rawValue(phase)), phase);
    EXPECT_EQ(rawValue(BenchmarkPhase::sequentialRead), "sequentialRead");
    EXPECT_FALSE(benchmarkPhaseFromRawValue("SequentialRead"));
    EXPECT_FALSE(benchmarkPhaseFromRawValue(""));
}

TEST(ProgressTracker, RandomPhasesNeverMoveTheFractionAndGiveNoEstimate)
{
    auto tracker = trackerFor(1000);
    auto first = tracker.advance(BenchmarkPhase::randomWrite, 4096, 100.5, 100, Publication::whenDue);
    ASSERT_TRUE(first) << "the first advance always publishes";
    EXPECT_EQ(first->fractionCompleted, 0);
    EXPECT_FALSE(first->estimatedRemainingTime);
    EXPECT_DOUBLE_EQ(first->elapsedTime, 0.5);
    auto completed = tracker.completePhase(BenchmarkPhase::randomRead, 110, 100);
    EXPECT_EQ(completed.phase, BenchmarkPhase::randomRead);
    EXPECT_EQ(completed.fractionCompleted, 0);
    EXPECT_FALSE(completed.estimatedRemainingTime);
    EXPECT_EQ(tracker.totalCompleted(), 0);
}

TEST(ProgressTracker, SequentialWriteIsTheFirstHalfAndReadTheSecond)
{
    auto estimating = trackerFor(1000);
    auto quarter = estimating.advance(BenchmarkPhase::sequentialWrite, 500, 20, 0, Publication::whenDue);
    ASSERT_TRUE(quarter);
    EXPECT_DOUBLE_EQ(quarter->fractionCompleted, 0.25);
    EXPECT_DOUBLE_EQ(*quarter->estimatedRemainingTime, 60) << "elapsed over fraction, minus elapsed";

    auto tracker = trackerFor(1000);
    tracker.advance(BenchmarkPhase::sequentialWrite, 600, 101, 100, Publication::whenDue);
    tracker.advance(
        BenchmarkPhase::sequentialWrite, 600, 101.1, 100, Publication::whenDue); // capped at the total
    auto afterWrite = tracker.advance(BenchmarkPhase::sequentialWrite, 0, 101.2, 100, Publication::forced);
    ASSERT_TRUE(afterWrite);
    EXPECT_DOUBLE_EQ(afterWrite->fractionCompleted, 0.5);
    auto afterRead = tracker.advance(BenchmarkPhase::sequentialRead, 1000, 101.3, 100, Publication::whenDue);
    ASSERT_TRUE(afterRead) << "a complete test is always due";
    EXPECT_DOUBLE_EQ(afterRead->fractionCompleted, 1.0);
    EXPECT_EQ(afterRead->estimatedRemainingTime, 0.0);
}

TEST(ProgressTracker, PublicationsAreThrottledToOncePerSecondUnlessForced)
{
    auto tracker = trackerFor(1000);
    EXPECT_TRUE(tracker.advance(BenchmarkPhase::sequentialWrite, 1, 10.0, 0, Publication::whenDue));
    EXPECT_FALSE(tracker.advance(BenchmarkPhase::sequentialWrite, 1, 10.9, 0, Publication::whenDue));
    EXPECT_TRUE(tracker.advance(BenchmarkPhase::sequentialWrite, 1, 10.95, 0, Publication::forced));
    EXPECT_FALSE(tracker.advance(BenchmarkPhase::sequentialWrite, 1, 11.5, 0, Publication::whenDue));
    auto due = tracker.advance(BenchmarkPhase::sequentialWrite, 1, 11.95, 0, Publication::whenDue);
    ASSERT_TRUE(due);
    EXPECT_DOUBLE_EQ(due->fractionCompleted, 5.0 / 2000.0) << "counts kept while not published";
    EXPECT_FALSE(tracker.advance(BenchmarkPhase::sequentialWrite, 1, std::nan(""), 0, Publication::whenDue));
}

TEST(ProgressTracker, CompletePhaseAddsOnlyTheRemainderAndZeroPayloadStaysAtZero)
{
    auto tracker = trackerFor(1000);
    tracker.advance(BenchmarkPhase::sequentialWrite, 300, 1, 0, Publication::whenDue);
    auto state = tracker.completePhase(BenchmarkPhase::sequentialWrite, 1.1, 0);
    EXPECT_DOUBLE_EQ(state.fractionCompleted, 0.5);
    EXPECT_DOUBLE_EQ(tracker.completed(BenchmarkPhase::sequentialWrite), 1000);
    state = tracker.completePhase(BenchmarkPhase::sequentialWrite, 1.2, 0);
    EXPECT_DOUBLE_EQ(state.fractionCompleted, 0.5) << "completing twice adds nothing";

    auto empty = trackerFor(0);
    auto zero = empty.advance(BenchmarkPhase::sequentialWrite, 4096, 1, 0, Publication::forced);
    ASSERT_TRUE(zero);
    EXPECT_EQ(zero->fractionCompleted, 0) << "a zero payload never divides by zero";
    EXPECT_FALSE(zero->estimatedRemainingTime);
}

TEST(TimelineSampler, SamplesAreAtLeastOneSecondApartAndPendingBytesAccumulate)
{
    TimelineSampler fast(TimelineSample::Phase::sequentialWrite, {});
    fast.recordChunk(16777216, 0.4, 10.0);
    ASSERT_EQ(fast.timeline().size(), 1u);
    EXPECT_DOUBLE_EQ(fast.timeline()[0].throughput, 16777216) << "I/O time counts as at least 1 s";

    TimelineSampler sampler(TimelineSample::Phase::sequentialWrite, {});
    sampler.recordChunk(100, 0.2, 0.5); // not due: less than 1 s since the start
    sampler.recordChunk(100, 0.2, 0.9);
    EXPECT_TRUE(sampler.timeline().empty());
    sampler.recordChunk(100, 0.2, 1.0);
    ASSERT_EQ(sampler.timeline().size(), 1u);
    EXPECT_EQ(sampler.timeline()[0].bytesTransferred, 300u);
    sampler.recordChunk(4000, 2.0, 1.5);
    EXPECT_EQ(sampler.timeline().size(), 1u);
    sampler.recordChunk(4000, 2.0, 2.0);
    ASSERT_EQ(sampler.timeline().size(), 2u);
    EXPECT_DOUBLE_EQ(sampler.timeline()[1].throughput, 2000) << "8000 bytes over 4 s of I/O";
    sampler.finish(2.1);
    EXPECT_EQ(sampler.timeline().size(), 2u) << "nothing pending, no final sample";
    sampler.recordChunk(10, 0.01, 2.2);
    sampler.finish(2.3);
    ASSERT_EQ(sampler.timeline().size(), 3u);
    EXPECT_DOUBLE_EQ(sampler.timeline()[2].timestamp, 2.3);
    EXPECT_DOUBLE_EQ(sampler.maximumThroughput(), 2000);
}

TEST(TimelineSampler, ReadPhaseContinuesTheWriteGridWithItsOwnMaximum)
{
    TimelineSampler writer(TimelineSample::Phase::sequentialWrite, {});
    writer.recordChunk(5000, 1, 10);
    TimelineSampler reader(TimelineSample::Phase::sequentialRead, writer.takeTimeline());
    reader.recordChunk(100, 0.1, 10.5);
    EXPECT_EQ(reader.timeline().size(), 1u) << "due only 1 s after the last write sample";
    reader.recordChunk(100, 0.1, 11.0);
    ASSERT_EQ(reader.timeline().size(), 2u);
    EXPECT_EQ(reader.timeline()[0].phase, TimelineSample::Phase::sequentialWrite);
    EXPECT_EQ(reader.timeline()[1].phase, TimelineSample::Phase::sequentialRead);
    EXPECT_DOUBLE_EQ(reader.maximumThroughput(), 200);
}

}
}
