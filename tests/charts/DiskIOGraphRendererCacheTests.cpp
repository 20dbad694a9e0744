#include "charts/DiskIOGraphRendererCache.h"

#include <gtest/gtest.h>
#include <limits>

namespace tallowin {
namespace {

using Cache = DiskIOGraphRendererCache;

std::vector<DiskSample> makeSamples(std::size_t count, std::uint64_t readBase = 1000)
{
    std::vector<DiskSample> samples;
    for (std::uint64_t i = 0; i < count; ++i)
        samples.push_back({ Uuid::random(), 1'700'000'000.0 + static_cast<double>(i), readBase + i, 10 * (i % 7) });
    return samples;
}

TEST(DiskIOGraphRendererCacheMath, RangeTargetAndChunk)
{
    struct Case {
        std::int64_t count, lower, upper;
        IndexRange range;
    };
    for (auto c : { Case { 0, 3, 9, { 0, 0 } }, Case { 10, -5, 4, { 0, 4 } }, Case { 10, 4, 99, { 4, 10 } },
             Case { 10, 7, 3, { 7, 7 } }, Case { 10, 12, 20, { 10, 10 } } })
        EXPECT_EQ(Cache::sanitizedRange(c.count, c.lower, c.upper), c.range)
            << c.count << " [" << c.lower << ", " << c.upper << ")";

    struct Shape {
        std::int64_t length, target, effective, chunk;
    };
    for (auto s : { Shape { 100, 600, 100, 1 }, Shape { 1000, 600, 600, 2 }, Shape { 1001, 600, 600, 2 },
             Shape { 60000, 2000, 2000, 30 }, Shape { 60001, 2000, 2000, 31 }, Shape { 5, 0, 1, 5 } }) {
        auto effective = Cache::effectiveTargetCount(s.length, s.target);
        EXPECT_EQ(effective, s.effective) << s.length;
        EXPECT_EQ(Cache::chunkSize(s.length, effective), s.chunk) << s.length;
    }
}

TEST(DiskIOGraphRendererCacheMath, BinsKeepPeaksSumBytesAndStickAtTheMaximum)
{
    auto samples = makeSamples(1001);
    auto single = Cache::downsample(samples, 0, 50, 1, 10.0);
    ASSERT_EQ(single.size(), 50u);
    for (std::size_t i = 0; i < single.size(); ++i)
        EXPECT_EQ(single[i].sample,
            (IndexedSample { static_cast<std::int64_t>(i), samples[i].readBytes * 10.0, samples[i].writeBytes * 10.0,
                samples[i].readBytes, samples[i].writeBytes, 1 }));

    for (auto& sample : samples)
        sample.readBytes = sample.writeBytes = 1;
    samples[10].readBytes = 500; // peaks on both sides of the bin [10, 12)
    samples[11].writeBytes = 700;
    auto bins = Cache::downsample(samples, 0, 1001, 2, 1000.0);
    ASSERT_EQ(bins.size(), 501u);
    EXPECT_EQ(bins[5], (Cache::DownsampledBin { { 10, 12 }, { 11, 500'000.0, 700'000.0, 501, 701, 2 } }));
    EXPECT_EQ(bins.back(), (Cache::DownsampledBin { { 1000, 1001 }, { 1000, 1000.0, 1000.0, 1, 1, 1 } }));

    // A zero interval gives zero rates, never infinities.
    samples[0].readBytes = std::numeric_limits<std::uint64_t>::max() - 1;
    auto capped = Cache::downsample(samples, 0, 4, 4, 0.0);
    ASSERT_EQ(capped.size(), 1u);
    EXPECT_EQ(capped[0].sample, (IndexedSample { 2, 0.0, 0.0, std::numeric_limits<std::uint64_t>::max(), 4, 4 }));
}

class DiskIOGraphRendererCacheTest : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
    void reset()
    {
        cache = Cache::create(mainQueue);
        cache->addObserver([this](const std::vector<IndexedSample>&) { ++notifications; });
        notifications = 0;
    }

    // Waits for every job submitted so far and applies what they posted.
    void settle()
    {
        cache->downsamplingQueue().sync([] { });
        mainQueue->runPending();
    }

    std::shared_ptr<EventLoopMainQueue> mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<Cache> cache;
    int notifications { 0 };
};

TEST_F(DiskIOGraphRendererCacheTest, IdenticalRequestStartsNoJobAndDoesNotNotify)
{
    auto samples = makeSamples(1000);
    cache->update(samples, 0, 1000, 600, 100);
    EXPECT_TRUE(cache->hasPendingWork());
    settle();
    ASSERT_EQ(notifications, 1);
    EXPECT_EQ(cache->plottedSamples().size(), 500u);

    cache->update(samples, 0, 1000, 600, 100);
    EXPECT_FALSE(cache->hasPendingWork());
    EXPECT_EQ(mainQueue->pendingCount(), 0u);
    settle();
    EXPECT_EQ(notifications, 1);

    // An empty list empties the plot once; asking again changes nothing.
    for (int repeat = 0; repeat < 2; ++repeat) {
        cache->update(std::vector<DiskSample> {}, 0, 20, 40, 10);
        EXPECT_EQ(mainQueue->pendingCount(), repeat == 0 ? 1u : 0u);
        settle();
    }
    EXPECT_TRUE(cache->plottedSamples().empty());
    EXPECT_TRUE(cache->cachedBins().empty());
    EXPECT_EQ(cache->cachedDataSignature(), Cache::DataSignature {});
    EXPECT_EQ(notifications, 2);
}

// Starts from 300 samples showing [0, 101) at T = 51, C = 2: bins [0,2) … [98,100), [100,101).
// The second request changes the bytes in the middle, so a kept bin still holds the old sums.
// Bins are kept only for the same list at the same interval; the other cases rebuild every bin.
TEST_F(DiskIOGraphRendererCacheTest, RangeGrownToTheRightRebuildsOnlyTheLastBin)
{
    struct Case {
        const char* name;
        bool newHistory; // the list's last id changes: the history moved on
        std::int64_t upper;
        int intervalMs;
        bool keepsBins;
    };
    for (auto c : { Case { "grown to the right", false, 102, 1000, true },
             Case { "new samples, same range", true, 101, 1000, false },
             Case { "interval changed", false, 102, 100, false } }) {
        SCOPED_TRACE(c.name);
        auto samples = makeSamples(300);
        reset();
        cache->update(samples, 0, 101, 51, 1000);
        settle();

        auto changed = samples;
        for (std::size_t i = 1; i + 1 < changed.size(); ++i)
            changed[i].readBytes += 1'000'000;
        if (c.newHistory)
            changed.back().id = Uuid::random();
        cache->update(changed, 0, c.upper, 51, c.intervalMs);
        settle();

        EXPECT_EQ(notifications, 2);
        const auto& bins = cache->cachedBins();
        ASSERT_EQ(bins.size(), 51u);
        EXPECT_EQ(bins.back().range, (IndexRange { 100, c.upper }));
        EXPECT_EQ(cache->plottedSamples().back(), bins.back().sample);
        for (const auto& bin : bins) {
            const auto& source = c.keepsBins && bin.range.upper <= 100 ? samples : changed;
            std::uint64_t sum = 0;
            for (auto i = bin.range.lower; i < bin.range.upper; ++i)
                sum += source[static_cast<std::size_t>(i)].readBytes;
            EXPECT_EQ(bin.sample.readBytes, sum) << "bin at " << bin.range.lower;
            EXPECT_DOUBLE_EQ(bin.sample.readSpeed,
                static_cast<double>(source[static_cast<std::size_t>(bin.range.upper - 1)].readBytes) * 1000.0
                    / c.intervalMs);
        }
    }
}

TEST_F(DiskIOGraphRendererCacheTest, OnlyTheLastUpdatePublishesEvenIfTheFirstJobFinished)
{
    for (bool firstJobFinishes : { false, true }) {
        SCOPED_TRACE(firstJobFinishes ? "replaced job's result dropped on the main thread" : "two quick updates");
        reset();
        auto second = makeSamples(100, 50'000);
        cache->update(makeSamples(100, 1), 0, 100, 100, 1000);
        if (firstJobFinishes) {
            cache->downsamplingQueue().sync([] { });
            ASSERT_EQ(mainQueue->pendingCount(), 1u);
        }
        cache->update(second, 0, 100, 100, 1000);
        settle();
        EXPECT_EQ(notifications, 1);
        ASSERT_EQ(cache->plottedSamples().size(), 100u);
        EXPECT_EQ(cache->plottedSamples().front().readBytes, second.front().readBytes);
        EXPECT_EQ(cache->cachedDataSignature(), Cache::DataSignature::of(second));
        EXPECT_FALSE(cache->hasPendingWork());
    }
}

TEST_F(DiskIOGraphRendererCacheTest, StepsPostedForADestroyedCacheDoNothing)
{
    cache->update(makeSamples(5000), 0, 5000, 100, 1);
    cache->downsamplingQueue().sync([] { });
    cache.reset();
    mainQueue->runPending();
    EXPECT_EQ(notifications, 0);
}

}
}
