#include "charts/ChartCanvasGeometry.h"
#include "support/EnvironmentGuard.h"

#include <cmath>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>

namespace tallowin {
namespace {

using namespace ChartCanvasGeometry;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

// 255 slot gaps of 4 points: every x below is a whole number.
constexpr double plotWidth = 1020;
constexpr double plotHeight = 400;

LayoutInput layoutFor(std::int64_t sampleCount, double scale = 1, double offset = 0, double drag = 0, double magnify = 1)
{
    return { { plotWidth, plotHeight }, sampleCount, std::max<std::int64_t>(256 - sampleCount, 0), 256, scale, magnify,
        offset, drag };
}

std::vector<double> values(const std::vector<AxisTick>& ticks)
{
    std::vector<double> result;
    for (const auto& tick : ticks)
        result.push_back(tick.value);
    return result;
}

std::vector<std::string> texts(const std::vector<AxisLabel>& labels)
{
    std::vector<std::string> result;
    for (const auto& label : labels)
        result.push_back(label.text);
    return result;
}

IndexedSample pointAt(std::int64_t index, double read = 0, double write = 0)
{
    return { index, read, write, 0, 0, 1 };
}

TEST(ChartCanvasGeometryLayout, PlacesOldestAndNewestSamplesAndHoldsThePan)
{
    struct Case {
        const char* name;
        LayoutInput input;
        double expectedStep;
        double expectedXOrigin;
    };
    for (const auto& c : std::initializer_list<Case> {
             // A full chart fills the width: oldest at the left edge, newest at the right edge.
             { "full", layoutFor(256), 4, 0 },
             // A short history sits at the right, the oldest sample 246 slots from the left edge.
             { "ten samples", layoutFor(10), 4, 246 * 4 },
             // The oldest sample never moves right of its own slot, however far the drag goes.
             { "ten samples dragged right", layoutFor(10, 1, 0, 500), 4, 246 * 4 },
             // At 1× the content is exactly as wide as the plot, so it cannot move left either.
             { "ten samples dragged left", layoutFor(10, 1, 0, -500), 4, 246 * 4 },
             // Zoomed 4×: the newest sample stops at the right edge: 246 × 16 + 1020 − 255 × 16.
             { "zoomed, far left", layoutFor(10, 4, -100'000), 16, 876 },
             { "zoomed, in between", layoutFor(10, 4, -1000), 16, 246 * 16 - 1000 },
             // Zooming back out, the stored pan of the zoomed chart is held to the limits again.
             { "zoomed out again", layoutFor(10, 1, -3000), 4, 246 * 4 },
             { "full, zoomed, far right", layoutFor(256, 4, 100'000), 16, 0 },
             { "full, zoomed, far left", layoutFor(256, 4, -100'000), 16, 1020 - 255 * 16 },
             // The live pinch factor counts, within 1× … 400×.
             { "pinch beyond 400", layoutFor(256, 300, 0, 0, 2), 1600, 0 },
             { "pinch below 1", layoutFor(256, 1, 0, 0, 0.25), 4, 0 },
             { "nan scale", layoutFor(256, std::nan("")), 4, 0 },
             // More slots than 256 (a caller passing a longer list): the spacing follows them.
             { "300 samples", layoutFor(300), plotWidth / 299, 0 },
         }) {
        SCOPED_TRACE(c.name);
        const Geometry layout = geometry(c.input);
        EXPECT_DOUBLE_EQ(layout.step, c.expectedStep);
        EXPECT_DOUBLE_EQ(layout.xOrigin, c.expectedXOrigin);
        EXPECT_LE(layout.xOrigin, layout.maxOffset);
        EXPECT_GE(layout.xOrigin, layout.lowerBound);
    }
    // A single-slot chart may pan across the whole width.
    const Geometry single = geometry({ { plotWidth, plotHeight }, 0, 0, 1, 1, 1, -5000, 0 });
    EXPECT_EQ(single.slotCount, 1);
    EXPECT_DOUBLE_EQ(single.xOrigin, -plotWidth);
}

TEST(ChartCanvasGeometryVisibleRange, KeepsOneSlotOfMarginAndNeverLeavesTheSamples)
{
    struct Case {
        const char* name;
        std::int64_t count;
        double xOrigin;
        double step;
        IndexRange expected;
    };
    for (const auto& c : std::initializer_list<Case> {
             { "no samples", 0, 0, 4, {} },
             { "step zero", 10, 0, 0, { 0, 10 } },
             { "step not finite", 10, 0, std::numeric_limits<double>::infinity(), { 0, 10 } },
             { "full chart", 256, 0, 4, { 0, 256 } },
             { "short history", 10, 984, 4, { 0, 10 } },
             // Zoomed 4× at the newest end: x = 876 + 16 i, visible from i = −55 … 9, one slot of margin.
             { "zoomed at the newest end", 256, 1020 - 255 * 16, 16, { 190, 256 } },
             // Zoomed 4× at the oldest end: i up to ceil((16 + 1020) / 16) = 65, which is included.
             { "zoomed at the oldest end", 256, 0, 16, { 0, 66 } },
             // Everything lies right of the plot: the first sample alone.
             { "all right of the plot", 10, 5000, 4, { 0, 1 } },
             // Everything lies left of the plot: the last sample alone.
             { "all left of the plot", 10, -5000, 4, { 9, 10 } },
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(visibleRange(c.count, c.xOrigin, c.step, plotWidth), c.expected);
    }
}

TEST(ChartCanvasGeometryThroughputAxis, TopIsTheNextDecadeFromOneGigabyte)
{
    struct Case {
        double largest;
        std::vector<double> expected;
    };
    for (const auto& c : std::initializer_list<Case> {
             { 0, { 0 } },
             { -5, { 0 } },
             { std::nan(""), { 0 } },
             { 1, { 0, 0.25e9, 0.5e9, 0.75e9, 1e9 } },
             { 1e9, { 0, 0.25e9, 0.5e9, 0.75e9, 1e9 } },
             { 1.2e9, { 0, 2.5e9, 5e9, 7.5e9, 1e10 } },
             { 250e9, { 0, 75e9, 150e9, 225e9, 300e9 } },
             { 1e11 + 1, { 0, 5e10, 1e11, 1.5e11, 2e11 } },
         }) {
        SCOPED_TRACE(c.largest);
        const auto ticks = throughputTicks(c.largest);
        EXPECT_THAT(values(ticks), ElementsAreArray(c.expected));
        for (const auto& tick : ticks)
            EXPECT_DOUBLE_EQ(tick.position, ticks.back().value > 0 ? tick.value / ticks.back().value : 0);
    }
}

TEST(ChartCanvasGeometryThroughputAxis, ValuesAreDrawnInsideThePlot)
{
    const double scale = yScale(throughputTicks(1.2e9), plotHeight);
    EXPECT_DOUBLE_EQ(yOf(0, scale, plotHeight), plotHeight);
    EXPECT_DOUBLE_EQ(yOf(5e9, scale, plotHeight), plotHeight / 2);
    EXPECT_DOUBLE_EQ(yOf(1e10, scale, plotHeight), 0);
    EXPECT_DOUBLE_EQ(yOf(5e10, scale, plotHeight), 0);
    EXPECT_DOUBLE_EQ(yOf(-1e9, scale, plotHeight), plotHeight);
    EXPECT_DOUBLE_EQ(yOf(std::nan(""), scale, plotHeight), plotHeight);
    // Nothing measured: only a zero tick, and every value on the bottom edge.
    EXPECT_EQ(yScale(throughputTicks(0), plotHeight), 0);
    EXPECT_DOUBLE_EQ(yOf(5e9, 0, plotHeight), plotHeight);
}

TEST(ChartCanvasGeometryThroughputAxis, LabelsSitBelowTheirMarksAndAboveTheBottom)
{
    const auto labels = throughputLabels(throughputTicks(1.2e9), { plotWidth, plotHeight }, Language::English);
    EXPECT_THAT(texts(labels), ElementsAre("2.5 GB/s", "5 GB/s", "7.5 GB/s", "10 GB/s"));
    ASSERT_EQ(labels.size(), 4u);
    EXPECT_EQ(labels[0].anchor, (Point { 44, 400 - 100 + 12 }));
    EXPECT_EQ(labels[3].anchor, (Point { 44, 12 }));
    // A short plot: the lowest label would fall below the bottom edge.
    const auto low = throughputLabels(throughputTicks(1.2e9), { plotWidth, 10 }, Language::English);
    EXPECT_EQ(low[0].anchor.y, 2);
    EXPECT_THAT(texts(throughputLabels(throughputTicks(1.2e9), { plotWidth, plotHeight }, Language::Chinese)),
        ElementsAre("2.5 GB/秒", "5 GB/秒", "7.5 GB/秒", "10 GB/秒"));
    // Only the zero tick: no label at all.
    EXPECT_TRUE(throughputLabels(throughputTicks(0), { plotWidth, plotHeight }, Language::English).empty());
}

TEST(ChartCanvasGeometryTimeAxis, SamplesSpan255IntervalsInFiftyIntervalSteps)
{
    const auto ticks = timeTicks(1000);
    EXPECT_THAT(values(ticks), ElementsAre(0, 50'000, 100'000, 150'000, 200'000, 250'000, 255'000));
    EXPECT_DOUBLE_EQ(ticks.front().position, 1.0);
    EXPECT_DOUBLE_EQ(ticks[1].position, 1 - 50.0 / 255);
    EXPECT_DOUBLE_EQ(ticks.back().position, 0.0);
    EXPECT_THAT(texts(timeLabels(ticks, { plotWidth, plotHeight }, Language::English)),
        ElementsAre("50 s ago", "1.67 min ago", "2.5 min ago", "3.33 min ago", "4.17 min ago"));
    EXPECT_THAT(texts(timeLabels(ticks, { plotWidth, plotHeight }, Language::Chinese)),
        ElementsAre("50 秒前", "1.67 分钟前", "2.5 分钟前", "3.33 分钟前", "4.17 分钟前"));
    EXPECT_THAT(texts(timeLabels(timeTicks(1), { plotWidth, plotHeight }, Language::English)),
        ElementsAre("50 ms ago", "100 ms ago", "150 ms ago", "200 ms ago", "250 ms ago"));
    // No interval: one tick at now and no label.
    EXPECT_THAT(timeTicks(0), ElementsAre(AxisTick { 0, 1.0 }));
    EXPECT_THAT(timeTicks(-5), ElementsAre(AxisTick { 0, 1.0 }));
    EXPECT_TRUE(timeLabels(timeTicks(0), { plotWidth, plotHeight }, Language::English).empty());
}

TEST(ChartCanvasGeometryTimeAxis, TicksFallOnWholeSamplesAndRunFromNowToTheFarEnd)
{
    for (int interval : { 1, 3, 7, 1000, 60'000 }) {
        SCOPED_TRACE(interval);
        const auto ticks = timeTicks(interval);
        const double total = 255.0 * interval;
        ASSERT_GE(ticks.size(), 2u);
        EXPECT_EQ(ticks.front(), (AxisTick { 0, 1.0 }));
        EXPECT_EQ(ticks.back(), (AxisTick { total, 0 }));
        for (std::size_t i = 0; i + 1 < ticks.size(); ++i) {
            EXPECT_LT(ticks[i].value, ticks[i + 1].value);
            EXPECT_EQ(std::fmod(ticks[i].value, interval), 0) << ticks[i].value;
        }
    }
    // Three-millisecond samples: a rough step of 127.5 ms is 100 ms, rounded up to 34 samples.
    EXPECT_EQ(timeTicks(3)[1].value, 102);
}

TEST(ChartCanvasGeometryGrid, SlotLinesFollowThePanAndLevelLinesSplitTheHeight)
{
    EXPECT_THAT(slotGridXs(25, 10, 50), ElementsAre(-5, 5, 15, 25, 35, 45));
    EXPECT_THAT(slotGridXs(-25, 10, 50), ElementsAre(-5, 5, 15, 25, 35, 45));
    EXPECT_THAT(slotGridXs(0, 10, 30), ElementsAre(0, 10, 20, 30));
    EXPECT_TRUE(slotGridXs(0, -1, 30).empty());
    EXPECT_EQ(slotGridXs(0, 4, plotWidth).size(), 256u);
    EXPECT_THAT(levelGridYs(100), ElementsAre(0, 20, 40, 60, 80, 100));
    // A height that does not divide evenly still keeps its bottom line.
    EXPECT_EQ(levelGridYs(0.3).size(), 6u);
    EXPECT_TRUE(levelGridYs(0).empty());
}

TEST(ChartCanvasGeometryTexts, DurationsAgoInBothLanguages)
{
    struct Case {
        double milliseconds;
        bool ago;
        const char* english;
        const char* chinese;
    };
    for (const auto& c : std::initializer_list<Case> {
             // Below half a millisecond is now; nothing is negative or not a number.
             { 0.4, true, "0", "0" },
             { 0.4, false, "0 ms", "0 毫秒" },
             { -20, false, "0 ms", "0 毫秒" },
             { std::nan(""), true, "0", "0" },
             { 0.5, true, "1 ms ago", "1 毫秒前" },
             { 5'400'000, true, "1.5 h ago", "1.5 小时前" },
         }) {
        SCOPED_TRACE(c.milliseconds);
        EXPECT_EQ(durationText(c.milliseconds, c.ago, Language::English), c.english);
        EXPECT_EQ(durationText(c.milliseconds, c.ago, Language::Chinese), c.chinese);
    }
}

TEST(ChartCanvasGeometryHover, PicksTheNearestPointWithinTheMargins)
{
    // Points at x = 0, 20, 50, 140 of a 100 × 50 plot.
    const std::vector<IndexedSample> plotted { pointAt(0), pointAt(2), pointAt(5), pointAt(14) };
    const Size plot { 100, 50 };
    struct Case {
        const char* name;
        std::optional<Point> pointer;
        std::optional<std::int64_t> expectedIndex;
    };
    for (const auto& c : std::initializer_list<Case> {
             { "no pointer", std::nullopt, std::nullopt },
             { "inside", Point { 24, 10 }, 2 },
             { "tie goes to the earlier point", Point { 10, 10 }, 0 },
             { "left of the plot within 16", Point { -16, 10 }, 0 },
             { "left of the plot beyond 16", Point { -16.5, 10 }, std::nullopt },
             { "below the plot within 16", Point { 50, 66 }, 5 },
             { "below the plot beyond 16", Point { 50, 67 }, std::nullopt },
             { "above the plot beyond 16", Point { 50, -17 }, std::nullopt },
             // x = 140 lies beyond the plot's 32-point margin, so the point at 50 is the nearest candidate.
             { "right of the plot, far point ignored", Point { 116, 10 }, 5 },
         }) {
        SCOPED_TRACE(c.name);
        const auto picked = hoverPick(c.pointer, plot, plotted, 10, 0);
        EXPECT_EQ(picked ? std::optional(picked->index) : std::nullopt, c.expectedIndex);
    }
    EXPECT_FALSE(hoverPick(Point { 10, 10 }, { 0, 50 }, plotted, 10, 0));
    EXPECT_FALSE(hoverPick(Point { 10, 10 }, plot, {}, 10, 0));
}

TEST(ChartCanvasGeometryHover, KeepsTheHoveredIndexWhenSamplesChange)
{
    const std::vector<IndexedSample> plotted { pointAt(2, 1), pointAt(4, 2), pointAt(6, 3), pointAt(9, 4) };
    auto reselected = [&](std::optional<IndexedSample> hovered, std::int64_t count) {
        auto result = reselectHover(hovered, count, plotted);
        return result ? std::optional(result->index) : std::nullopt;
    };
    EXPECT_EQ(reselected(pointAt(4), 10), 4);
    // The new point of that index, with its new figures.
    EXPECT_EQ(reselectHover(pointAt(4), 10, plotted)->readSpeed, 2);
    // No exact match: the nearest, ties to the earlier one.
    EXPECT_EQ(reselected(pointAt(5), 10), 4);
    EXPECT_EQ(reselected(pointAt(8), 10), 9);
    // An index beyond the samples is first held to the last one.
    EXPECT_EQ(reselected(pointAt(40), 7), 6);
    EXPECT_EQ(reselected(pointAt(-3), 10), 2);
    EXPECT_EQ(reselected(pointAt(4), 0), std::nullopt);
    EXPECT_EQ(reselected(std::nullopt, 10), std::nullopt);
    EXPECT_EQ(reselectHover(pointAt(4), 10, {}), std::nullopt);
}

TEST(ChartCanvasGeometryTooltip, FlipsNearTheEdgesAndKeepsTwelvePointsInside)
{
    const Size plot { 800, 400 };
    const Size measured { 200, 60 };
    struct Case {
        const char* name;
        double x;
        double yTop;
        Size size;
        Point expected;
    };
    for (const auto& c : std::initializer_list<Case> {
             { "right of the marker and above", 300, 200, measured, { 316, 124 } },
             { "just fits on the right", 572, 200, measured, { 588, 124 } },
             { "just does not fit", 573, 200, measured, { 357, 124 } },
             { "flipped below near the top", 300, 30, measured, { 316, 46 } },
             { "kept inside at the left edge", -10, 200, measured, { 12, 124 } },
             { "unmeasured is 240 × 80", 300, 200, {}, { 316, 104 } },
             { "wider than the plot", 300, 200, { 900, 60 }, { 12, 124 } },
             { "taller than the plot", 300, 5, { 200, 390 }, { 316, 12 } },
             { "kept above the bottom", 300, 500, measured, { 316, 328 } },
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(tooltipOrigin(c.x, c.yTop, c.size, plot), c.expected);
    }
}

TEST(ChartCanvasGeometryTooltipTexts, LinesInBothLanguagesAndForOddFigures)
{
    // Local time is UTC here, so the time stamps below are what a user in UTC sees.
    testing::EnvironmentGuard timeZone { "TZ", "UTC" };
    // 2025-03-01 08:15:30.250 UTC, one sample a second.
    std::vector<DiskSample> samples;
    for (int i = 0; i < 5; ++i)
        samples.push_back({ Uuid::random(), 1'740'816'930.25 + i, 0, 0 });
    const IndexedSample point { 3, 1.5e6, 0, 1'500'000, 0, 2 };
    const auto english = tooltipTexts(point, 1000, samples, Language::English);
    EXPECT_EQ(english.primaryLine, "Time: 2025-03-01 08:15:33.250 · Elapsed: 3 s · Window: 2 s");
    EXPECT_EQ(english.secondaryLine, "Read: 1.5 MB/s (1.5 MB) | Write: Zero KB/s (Zero KB)");
    const auto chinese = tooltipTexts(point, 1000, samples, Language::Chinese);
    EXPECT_EQ(chinese.primaryLine, "时间: 2025-03-01 08:15:33.250 · 相对时间: 3 秒 · 采样时长: 2 秒");
    EXPECT_EQ(chinese.secondaryLine, "读取: 1.5 MB/秒 (1.5 MB) | 写入: 零 KB/秒 (零 KB)");

    // An index outside the displayed list has no time; a count of 0 is one sample's window.
    const IndexedSample outside { 9, 0, 0, 0, 0, 0 };
    EXPECT_EQ(tooltipTexts(outside, 10, samples, Language::English).primaryLine, "Elapsed: 90 ms · Window: 10 ms");
    // Without an interval nothing has a duration.
    EXPECT_EQ(tooltipTexts(outside, 0, samples, Language::English).primaryLine, "Elapsed: 0 ms · Window: 0 ms");
    EXPECT_EQ(timestampText(1'740'816'930.999), "2025-03-01 08:15:30.999");
    EXPECT_EQ(timestampText(std::nan("")), "");
    // Counts beyond the signed range are shown as its largest value.
    EXPECT_EQ(byteText(std::numeric_limits<std::uint64_t>::max(), Language::English),
        byteText(std::numeric_limits<std::int64_t>::max(), Language::English));
}

TEST(ChartCanvasGeometryGestures, PinchAndWheelZoomEndWithinOneToFourHundred)
{
    EXPECT_EQ(pinchEndScale(350, 2), 400);
    EXPECT_EQ(pinchEndScale(4, 0.1), 1);
    EXPECT_DOUBLE_EQ(pinchEndScale(2, 1.5), 3);
    EXPECT_EQ(pinchEndScale(2, std::nan("")), 2);
    EXPECT_EQ(recognisedPinchFactor(1.005), 1);
    EXPECT_EQ(recognisedPinchFactor(0.995), 1);
    EXPECT_EQ(recognisedPinchFactor(1.02), 1.02);
    EXPECT_EQ(recognisedPinchFactor(-1), 1);

    EXPECT_DOUBLE_EQ(wheelMagnifyBy(1, 1, 360), 1.1 * 1.1 * 1.1);
    EXPECT_DOUBLE_EQ(wheelMagnifyBy(1, 2, -120), 1 / 1.1);
    EXPECT_DOUBLE_EQ(wheelMagnifyBy(1, 1, -120), 1);
    EXPECT_DOUBLE_EQ(wheelMagnifyBy(1, 399, 120), 400.0 / 399);
    // Far past the top, one notch back zooms out at once instead of unwinding the excess first.
    double magnify = 1;
    for (int notch = 0; notch < 20; ++notch)
        magnify = wheelMagnifyBy(magnify, 400, 120);
    EXPECT_DOUBLE_EQ(magnify, 1);
    EXPECT_DOUBLE_EQ(wheelMagnifyBy(magnify, 400, -120), 1 / 1.1);
    // Half a notch from a high-resolution wheel.
    EXPECT_DOUBLE_EQ(wheelMagnifyBy(1, 1, 60), std::sqrt(1.1));
}

TEST(ChartCanvasGeometryGestures, DragEndsWithTheClampedPan)
{
    // Zoomed 4× with ten samples: leadingOffset 3936, the x-origin may go down to 876.
    EXPECT_DOUBLE_EQ(dragEndOffset(layoutFor(10, 4), -1000), -1000);
    EXPECT_DOUBLE_EQ(dragEndOffset(layoutFor(10, 4), -100'000), 876 - 3936);
    EXPECT_DOUBLE_EQ(dragEndOffset(layoutFor(10, 4, -500), 200), -300);
    EXPECT_DOUBLE_EQ(dragEndOffset(layoutFor(10, 4), 100), 0);
    // The live pinch factor does not change where a drag ends.
    EXPECT_DOUBLE_EQ(dragEndOffset(layoutFor(10, 4, 0, 0, 3), -100'000), 876 - 3936);
    EXPECT_DOUBLE_EQ(dragEndOffset(layoutFor(256), -300), 0);
}

}
}
