#include "benchmark/ProgressTracker.h"

#include <cmath>
#include <gtest/gtest.h>

namespace tallowin {
namespace {

using Publication = ProgressTracker::Publication;
using Phase = TimelineSample::Phase;
constexpr auto write = BenchmarkPhase::sequentialWrite;

ProgressTracker trackerFor(double payload)
{
    return ProgressTracker({ { BenchmarkPhase::randomWrite, 0 }, { BenchmarkPhase::randomRead, 0 },
        { write, payload }, { BenchmarkPhase::sequentialRead, payload } });
}

// The random phases never move the fraction; the sequential write is the first half, capped, and
// the read the second; a zero payload never divides by zero.
TEST(ProgressTracker, FractionsOfEachPhase)
{
    auto tracker = trackerFor(1000);
    EXPECT_EQ(tracker.advance(BenchmarkPhase::randomWrite, 4096, 100.5, 100, Publication::whenDue),
        (ProgressState { BenchmarkPhase::randomWrite, 0, 0.5, std::nullopt }));
    EXPECT_EQ(tracker.completePhase(BenchmarkPhase::randomRead, 110, 100),
        (ProgressState { BenchmarkPhase::randomRead, 0, 10, std::nullopt }));
    auto quarter = tracker.advance(write, 500, 120, 100, Publication::forced);
    ASSERT_TRUE(quarter);
    EXPECT_DOUBLE_EQ(quarter->fractionCompleted, 0.25);
    EXPECT_DOUBLE_EQ(*quarter->estimatedRemainingTime, 60);
    tracker.advance(write, 600, 121, 100, Publication::forced);
    EXPECT_DOUBLE_EQ(tracker.completePhase(write, 121, 100).fractionCompleted, 0.5) << "capped at the total";
    auto done = tracker.advance(BenchmarkPhase::sequentialRead, 1000, 121.1, 100, Publication::whenDue);
    ASSERT_TRUE(done) << "a complete test is always due";
    EXPECT_DOUBLE_EQ(done->fractionCompleted, 1.0);
    EXPECT_EQ(done->estimatedRemainingTime, 0.0);

    auto remainder = trackerFor(1000);
    remainder.advance(write, 300, 1, 0, Publication::forced);
    EXPECT_DOUBLE_EQ(remainder.completePhase(write, 1, 0).fractionCompleted, 0.5) << "adds the remainder";
    EXPECT_EQ(trackerFor(0).advance(write, 4096, 1, 0, Publication::forced),
        (ProgressState { write, 0, 1, std::nullopt }));
}

TEST(ProgressTracker, PublicationsAreThrottledToOncePerSecondUnlessForced)
{
    auto tracker = trackerFor(1000);
    EXPECT_TRUE(tracker.advance(write, 1, 10.0, 0, Publication::whenDue)) << "the first is always due";
    EXPECT_FALSE(tracker.advance(write, 1, 10.9, 0, Publication::whenDue));
    EXPECT_TRUE(tracker.advance(write, 1, 10.95, 0, Publication::forced));
    EXPECT_FALSE(tracker.advance(write, 1, 11.5, 0, Publication::whenDue));
    auto due = tracker.advance(write, 1, 11.95, 0, Publication::whenDue);
    ASSERT_TRUE(due);
    EXPECT_DOUBLE_EQ(due->fractionCompleted, 5.0 / 2000.0) << "counts kept while not published";
    EXPECT_FALSE(tracker.advance(write, 1, std::nan(""), 0, Publication::whenDue));
}

TEST(TimelineSampler, SamplesAreAtLeastOneSecondApartAndTheReadContinuesTheWriteGrid)
{
    TimelineSampler sampler(Phase::sequentialWrite, {});
    sampler.recordChunk(100, 0.2, 0.9);
    EXPECT_TRUE(sampler.timeline().empty()) << "less than 1 s since the start";
    sampler.recordChunk(100, 0.2, 1.0);
    ASSERT_EQ(sampler.timeline().size(), 1u);
    EXPECT_EQ(sampler.timeline()[0].bytesTransferred, 200u);
    EXPECT_DOUBLE_EQ(sampler.timeline()[0].throughput, 200) << "I/O time counts as at least 1 s";
    sampler.recordChunk(4000, 2.0, 1.5);
    sampler.recordChunk(4000, 2.0, 2.0);
    ASSERT_EQ(sampler.timeline().size(), 2u);
    EXPECT_DOUBLE_EQ(sampler.timeline()[1].throughput, 2000) << "8000 bytes over 4 s of I/O";
    sampler.finish(2.1);
    EXPECT_EQ(sampler.timeline().size(), 2u) << "nothing pending, no final sample";
    sampler.recordChunk(10, 0.01, 2.2);
    sampler.finish(2.3);
    ASSERT_EQ(sampler.timeline().size(), 3u);
    EXPECT_DOUBLE_EQ(sampler.timeline()[2].timestamp, 2.3);

    TimelineSampler reader(Phase::sequentialRead, sampler.takeTimeline());
    reader.recordChunk(100, 0.1, 3.2);
    EXPECT_EQ(reader.timeline().size(), 3u) << "due only 1 s after the last write sample";
    reader.recordChunk(100, 0.1, 3.5);
    ASSERT_EQ(reader.timeline().size(), 4u);
    EXPECT_EQ(reader.timeline()[3].phase, Phase::sequentialRead);
    EXPECT_DOUBLE_EQ(reader.maximumThroughput(), 200) << "each phase has its own maximum";
}

}
}
