#include "charts/DiskIOGraphRendererCache.h"

#include <gtest/gtest.h>
#include <limits>

namespace tallowin {
namespace {

using Bin = DiskIOGraphRendererCache::DownsampledBin;

std::vector<DiskSample> makeSamples(std::size_t count, std::uint64_t readBase = 1000, std::uint64_t writeBase = 10)
{
    std::vector<DiskSample> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i].id = Uuid::random();
        samples[i].timestamp = 1'700'000'000.0 + static_cast<double>(i);
        samples[i].readBytes = readBase + i;
        samples[i].writeBytes = writeBase * (i % 7);
    }
    return samples;
}

class DiskIOGraphRendererCacheTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        cache = DiskIOGraphRendererCache::create(mainQueue);
        cache->addObserver([this](const std::vector<IndexedSample>&) { ++notifications; });
    }

    // Waits for every job submitted so far and applies what they posted.
    void settle()
    {
        cache->downsamplingQueue().sync([] { });
        mainQueue->runPending();
    }

    std::shared_ptr<EventLoopMainQueue> mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<DiskIOGraphRendererCache> cache;
    int notifications { 0 };
};

TEST(DiskIOGraphRendererCacheMath, RangeTargetAndChunk)
{
    struct Case {
        std::int64_t count, lower, upper;
        IndexRange range;
    };
    for (auto c : { Case { 0, 3, 9, { 0, 0 } }, Case { 10, -5, 4, { 0, 4 } }, Case { 10, 4, 99, { 4, 10 } },
             Case { 10, 7, 3, { 7, 7 } }, Case { 10, 12, 20, { 10, 10 } } })
        EXPECT_EQ(DiskIOGraphRendererCache::sanitizedRange(c.count, c.lower, c.upper), c.range)
            << c.count << " [" << c.lower << ", " << c.upper << ")";

    struct Shape {
        std::int64_t length, target, effective, chunk;
    };
    for (auto s : { Shape { 100, 600, 100, 1 }, Shape { 1000, 600, 600, 2 }, Shape { 1001, 600, 600, 2 },
             Shape { 60000, 2000, 2000, 30 }, Shape { 60001, 2000, 2000, 31 }, Shape { 5, 0, 1, 5 } }) {
        auto effective = DiskIOGraphRendererCache::effectiveTargetCount(s.length, s.target);
        EXPECT_EQ(effective, s.effective) << s.length;
        EXPECT_EQ(DiskIOGraphRendererCache::chunkSize(s.length, effective), s.chunk) << s.length;
    }
}

TEST(DiskIOGraphRendererCacheMath, OneBinPerSampleKeepsEachSampleExactly)
{
    auto samples = makeSamples(50);
    auto bins = DiskIOGraphRendererCache::downsample(samples, 0, 50, 1, 10.0);
    ASSERT_EQ(bins.size(), 50u);
    for (std::size_t i = 0; i < bins.size(); ++i) {
        const auto& point = bins[i].sample;
        EXPECT_EQ(point.index, static_cast<std::int64_t>(i));
        EXPECT_EQ(point.sampleCount, 1);
        EXPECT_EQ(point.readBytes, samples[i].readBytes);
        EXPECT_EQ(point.writeBytes, samples[i].writeBytes);
        EXPECT_DOUBLE_EQ(point.readSpeed, static_cast<double>(samples[i].readBytes) * 10.0);
        EXPECT_DOUBLE_EQ(point.writeSpeed, static_cast<double>(samples[i].writeBytes) * 10.0);
    }
}

TEST(DiskIOGraphRendererCacheMath, BinsKeepPeaksAndSumBytes)
{
    auto samples = makeSamples(1001, 0, 0);
    for (auto& sample : samples)
        sample.readBytes = sample.writeBytes = 1;
    samples[10].readBytes = 500; // a peak at the start of bin [10, 12)
    samples[11].writeBytes = 700;

    auto bins = DiskIOGraphRendererCache::downsample(samples, 0, 1001, 2, 1000.0);
    ASSERT_EQ(bins.size(), 501u);
    EXPECT_EQ(bins[5].range, (IndexRange { 10, 12 }));
    EXPECT_EQ(bins[5].sample.index, 11);
    EXPECT_EQ(bins[5].sample.readSpeed, 500'000.0);
    EXPECT_EQ(bins[5].sample.writeSpeed, 700'000.0);
    EXPECT_EQ(bins[5].sample.readBytes, 501u);
    EXPECT_EQ(bins[5].sample.writeBytes, 701u);
    EXPECT_EQ(bins.back().range, (IndexRange { 1000, 1001 }));
    EXPECT_EQ(bins.back().sample.sampleCount, 1);
    EXPECT_EQ(bins.back().sample.index, 1000);
}

TEST(DiskIOGraphRendererCacheMath, ZeroIntervalGivesZeroRatesAndSumsStickAtTheMaximum)
{
    auto samples = makeSamples(4);
    samples[0].readBytes = std::numeric_limits<std::uint64_t>::max() - 1;
    samples[1].readBytes = 5;
    auto bins = DiskIOGraphRendererCache::downsample(samples, 0, 4, 4, 0.0);
    ASSERT_EQ(bins.size(), 1u);
    EXPECT_EQ(bins[0].sample.readSpeed, 0.0);
    EXPECT_EQ(bins[0].sample.writeSpeed, 0.0);
    EXPECT_EQ(bins[0].sample.readBytes, std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(bins[0].sample.writeBytes, samples[1].writeBytes + samples[2].writeBytes + samples[3].writeBytes);
    EXPECT_EQ(bins[0].sample.index, 2);
}

TEST_F(DiskIOGraphRendererCacheTest, IdenticalRequestStartsNoJobAndDoesNotNotify)
{
    auto samples = makeSamples(1000);
    cache->update(samples, 0, 1000, 600, 100);
    EXPECT_TRUE(cache->hasPendingWork());
    settle();
    ASSERT_EQ(notifications, 1);
    EXPECT_EQ(cache->plottedSamples().size(), 500u);
    EXPECT_EQ(cache->cachedChunkSize(), 2);
    EXPECT_EQ(cache->cachedTargetCount(), 600);
    EXPECT_EQ(cache->cachedSampleIntervalMs(), 100);

    cache->update(samples, 0, 1000, 600, 100);
    EXPECT_FALSE(cache->hasPendingWork());
    EXPECT_EQ(mainQueue->pendingCount(), 0u);
    settle();
    EXPECT_EQ(notifications, 1);
}

TEST_F(DiskIOGraphRendererCacheTest, RangeGrownToTheRightRebuildsOnlyTheLastBin)
{
    auto samples = makeSamples(300);
    cache->update(samples, 0, 101, 51, 1000); // C = 2: bins [0,2) … [98,100), [100,101)
    settle();
    ASSERT_EQ(cache->cachedBins().size(), 51u);
    const auto before = cache->cachedBins();

    // Same ids at both ends, so the list counts as unchanged; changed bytes in the middle show
    // which bins were computed again and which were kept.
    auto changed = samples;
    for (std::size_t i = 1; i + 1 < changed.size(); ++i)
        changed[i].readBytes += 1'000'000;
    cache->update(changed, 0, 102, 51, 1000); // still T = 51, C = 2
    settle();

    const auto& after = cache->cachedBins();
    ASSERT_EQ(after.size(), 51u);
    for (std::size_t i = 0; i < 50; ++i)
        EXPECT_EQ(after[i], before[i]) << "bin " << i << " should have been kept";
    EXPECT_EQ(after[50].range, (IndexRange { 100, 102 }));
    EXPECT_EQ(after[50].sample.readBytes, changed[100].readBytes + changed[101].readBytes);
    EXPECT_EQ(cache->plottedSamples().back(), after[50].sample);
}

TEST_F(DiskIOGraphRendererCacheTest, NewSamplesRecomputeEverythingEvenForTheSameRange)
{
    auto samples = makeSamples(200);
    cache->update(samples, 0, 200, 100, 1000);
    settle();

    auto next = samples;
    for (auto& sample : next)
        sample.readBytes *= 3;
    next.back().id = Uuid::random(); // the history moved on
    cache->update(next, 0, 200, 100, 1000);
    settle();
    EXPECT_EQ(notifications, 2);
    for (const auto& bin : cache->cachedBins())
        EXPECT_EQ(bin.sample.readBytes, next[static_cast<std::size_t>(bin.range.lower)].readBytes
                + next[static_cast<std::size_t>(bin.range.lower + 1)].readBytes);
}

TEST_F(DiskIOGraphRendererCacheTest, ChangedIntervalDiscardsEveryCachedBin)
{
    auto samples = makeSamples(300);
    cache->update(samples, 0, 101, 51, 1000);
    settle();

    // A grown range would reuse bins at the same interval; at another one nothing is kept.
    auto changed = samples;
    for (std::size_t i = 1; i + 1 < changed.size(); ++i)
        changed[i].readBytes += 7;
    cache->update(changed, 0, 102, 51, 100);
    settle();
    ASSERT_EQ(cache->cachedBins().size(), 51u);
    EXPECT_EQ(cache->cachedSampleIntervalMs(), 100);
    const auto& first = cache->cachedBins().front().sample;
    EXPECT_EQ(first.readBytes, changed[0].readBytes + changed[1].readBytes);
    EXPECT_DOUBLE_EQ(first.readSpeed, static_cast<double>(changed[1].readBytes) * 10.0);
}

TEST_F(DiskIOGraphRendererCacheTest, OnlyTheLastOfTwoQuickUpdatesIsPublished)
{
    auto first = makeSamples(100, 1);
    auto second = makeSamples(100, 50'000);
    cache->update(first, 0, 100, 100, 1000);
    cache->update(second, 0, 100, 100, 1000);
    settle();
    EXPECT_EQ(notifications, 1);
    ASSERT_EQ(cache->plottedSamples().size(), 100u);
    EXPECT_EQ(cache->plottedSamples().front().readBytes, second.front().readBytes);
}

TEST_F(DiskIOGraphRendererCacheTest, ResultOfAReplacedJobIsDroppedOnTheMainThread)
{
    auto first = makeSamples(100, 1);
    auto second = makeSamples(100, 50'000);
    cache->update(first, 0, 100, 100, 1000);
    // The first job runs to its end and posts its result before the second update replaces it.
    cache->downsamplingQueue().sync([] { });
    ASSERT_EQ(mainQueue->pendingCount(), 1u);
    cache->update(second, 0, 100, 100, 1000);
    settle();
    EXPECT_EQ(notifications, 1);
    EXPECT_EQ(cache->plottedSamples().front().readBytes, second.front().readBytes);
    EXPECT_EQ(cache->cachedDataSignature(), DiskIOGraphRendererCache::DataSignature::of(second));
    EXPECT_FALSE(cache->hasPendingWork());
}

TEST_F(DiskIOGraphRendererCacheTest, EmptyListEmptiesThePlotOnce)
{
    cache->update(makeSamples(20), 0, 20, 40, 10);
    settle();
    ASSERT_EQ(cache->plottedSamples().size(), 20u);

    cache->update(std::vector<DiskSample> {}, 0, 20, 40, 10);
    settle();
    EXPECT_TRUE(cache->plottedSamples().empty());
    EXPECT_TRUE(cache->cachedBins().empty());
    EXPECT_EQ(cache->cachedDataSignature(), DiskIOGraphRendererCache::DataSignature {});
    EXPECT_EQ(notifications, 2);

    // Nothing left to change: no step is posted, no notification.
    cache->update(std::vector<DiskSample> {}, 0, 20, 40, 10);
    EXPECT_EQ(mainQueue->pendingCount(), 0u);
    settle();
    EXPECT_EQ(notifications, 2);
}

TEST_F(DiskIOGraphRendererCacheTest, StepsPostedForADestroyedCacheDoNothing)
{
    int seen = 0;
    {
        auto shortLived = DiskIOGraphRendererCache::create(mainQueue);
        shortLived->addObserver([&](const std::vector<IndexedSample>&) { ++seen; });
        shortLived->update(makeSamples(5000), 0, 5000, 100, 1);
        shortLived->downsamplingQueue().sync([] { });
    }
    mainQueue->runPending();
    EXPECT_EQ(seen, 0);
}

TEST(DiskIOGraphRendererCacheSignature, ComparesCountAndBothEnds)
{
    auto samples = makeSamples(3);
    auto same = DiskIOGraphRendererCache::DataSignature::of(samples);
    EXPECT_EQ(same, (DiskIOGraphRendererCache::DataSignature { 3, samples[0].id, samples[2].id }));
    auto grown = samples;
    grown.push_back(makeSamples(1)[0]);
    EXPECT_NE(DiskIOGraphRendererCache::DataSignature::of(grown), same);
    EXPECT_NE(DiskIOGraphRendererCache::DataSignature::of({}), (DiskIOGraphRendererCache::DataSignature { 0, Uuid {}, Uuid {} }));
}

}
}
