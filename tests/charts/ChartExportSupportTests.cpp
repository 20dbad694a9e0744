#include "charts/ChartExport.h"
#include "charts/ChartExportSupport.h"
#include "support/FakeSmartctl.h"
#include "support/LanguageGuard.h"
#include "support/TemporaryDirectory.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>

namespace tallowin {
namespace {

using namespace ChartExportSupport;

// 2025-03-01T08:15:30.250Z
constexpr WallClockTime firstTimestamp = 1'740'816'930.25;

std::vector<DiskSample> samplesWithBytes(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& bytes)
{
    std::vector<DiskSample> samples;
    for (auto [read, write] : bytes)
        samples.push_back({ Uuid::random(), firstTimestamp + 0.5 * static_cast<double>(samples.size()), read, write });
    return samples;
}

TEST(ChartExportCsv, ExactText)
{
    struct Case {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> bytes;
        int intervalMs;
        std::string rows;
    };
    const std::string header = "timestamp,elapsed_seconds,read_bytes,write_bytes,read_bytes_per_sec,write_bytes_per_sec";
    for (const auto& c : { Case { { { 1'048'576, 0 }, { 1'048'576, 3 }, { 0, 18'446'744'073'709'551'615u } }, 100,
                               "\n2025-03-01T08:15:30.250Z,0,1048576,0,10485760,0"
                               "\n2025-03-01T08:15:30.750Z,0.1,1048576,3,10485760,30"
                               "\n2025-03-01T08:15:31.250Z,0.2,0,18446744073709551615,0,184467440737095516160" },
             Case { { { 1, 2 }, { 5, 0 } }, 3,
                 "\n2025-03-01T08:15:30.250Z,0,1,2,333.333333,666.666667"
                 "\n2025-03-01T08:15:30.750Z,0.003,5,0,1666.666667,0" },
             Case { { { 1, 2 }, { 5, 0 } }, 0,
                 "\n2025-03-01T08:15:30.250Z,0,1,2,0,0\n2025-03-01T08:15:30.750Z,0,5,0,0,0" },
             Case { {}, 1000, "" } })
        EXPECT_EQ(csv(samplesWithBytes(c.bytes), c.intervalMs), header + c.rows) << c.intervalMs;
}

TEST(ChartExportPoints, ReductionKeepsEndsAndPeaks)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bytes(100'000, { 1, 1 });
    bytes[0] = { 7, 8 };
    bytes[99'999] = { 9, 10 };
    bytes[50'000] = { 4'000, 2 };
    auto points = reducePoints(samplesWithBytes(bytes), 3460, 2.0);
    ASSERT_EQ(points.size(), 3451u);
    EXPECT_EQ(points.front(), (DownsampledPoint { 0, 14, 16 }));
    EXPECT_EQ(points.back(), (DownsampledPoint { 99'999, 18, 20 }));
    // Bins of 29 start at 1, 30, …; the peak at 50000 keeps its rate in the bin [49997, 50026).
    EXPECT_EQ(points[1].index, 1 + 29 / 2);
    auto peak = std::find_if(points.begin(), points.end(), [](const auto& point) { return point.readSpeed == 8000; });
    ASSERT_NE(peak, points.end());
    EXPECT_EQ(peak->index, 49'997 + 14);

    // Few samples, or a maximum below 3: one point per sample.
    for (std::int64_t maximum : { 3, 2 })
        EXPECT_EQ(reducePoints(samplesWithBytes({ { 1, 2 }, { 3, 4 }, { 5, 6 } }), maximum, 1.0).size(), 3u);
    EXPECT_TRUE(reducePoints({}, 512, 1.0).empty());
}

std::vector<AxisTick> ticksAt(std::vector<double> values, double maximum)
{
    std::vector<AxisTick> ticks;
    for (double value : values)
        ticks.push_back({ value, value / maximum });
    return ticks;
}

TEST(ChartExportTicks, NiceNumbersEndExactlyAtTheMaximum)
{
    const std::vector<AxisTick> zeroOnly { { 0, 0 } };
    EXPECT_EQ(verticalTicks(7.3e6), ticksAt({ 0, 1e6, 2e6, 3e6, 4e6, 5e6, 6e6, 7e6, 7.3e6 }, 7.3e6));
    EXPECT_EQ(verticalTicks(10), ticksAt({ 0, 2, 4, 6, 8, 10 }, 10));
    EXPECT_EQ(verticalTicks(1), ticksAt({ 0, 0.2, 0.4, 0.6000000000000001, 0.8, 1 }, 1));
    for (double maximum : { 0.0, -3.0, std::nan("") })
        EXPECT_EQ(verticalTicks(maximum), zeroOnly) << maximum;

    EXPECT_EQ(horizontalTicks(60'000, 1), ticksAt({ 0, 10'000, 20'000, 30'000, 40'000, 50'000, 59'999 }, 59'999));
    EXPECT_EQ(horizontalTicks(61, 1000), ticksAt({ 0, 10'000, 20'000, 30'000, 40'000, 50'000, 60'000 }, 60'000));
    for (auto [count, interval] : { std::pair { 1, 1000 }, std::pair { 0, 1000 }, std::pair { 10, 0 } })
        EXPECT_EQ(horizontalTicks(count, interval), zeroOnly) << count << " " << interval;
}

TEST(ChartExportTexts, DurationsInBothLanguages)
{
    struct Case {
        double milliseconds;
        const char* english;
        const char* chinese;
    };
    for (auto c : { Case { 999.6, "1000 ms", "1000 毫秒" }, Case { -5, "0 ms", "0 毫秒" }, Case { std::nan(""), "0 ms", "0 毫秒" },
             Case { 1500, "1.5 s", "1.5 秒" }, Case { 59'999, "60 s", "60 秒" }, Case { 90'000, "1.5 min", "1.5 分钟" },
             Case { 4'000'000, "1.11 h", "1.11 小时" } }) {
        EXPECT_EQ(durationText(c.milliseconds, Language::English), c.english) << c.milliseconds;
        EXPECT_EQ(durationText(c.milliseconds, Language::Chinese), c.chinese) << c.milliseconds;
    }
}

TEST(ChartExportTexts, ThroughputSummaryAndFileNames)
{
    EXPECT_EQ(throughputText(-4, Language::English), throughputText(0, Language::English));
    EXPECT_EQ(throughputText(1e30, Language::English), "9,223,372.04 TB/s");

    auto summary = summarize(samplesWithBytes({ { 1'000'000, 0 }, { 0, 500'000 }, { 1'000'000, 0 } }), 1000);
    EXPECT_EQ(summary, (Summary { 2'000'000, 500'000, 2000, 1'250'000 }));
    EXPECT_EQ(summaryLines(summary, Language::English),
        (std::vector<std::string> { "Total Sampling Time: 2 s", "Average Throughput: 1.2 MB/s",
            "Cumulative Read: 2 MB", "Cumulative Write: 500 KB" }));
    EXPECT_EQ(summaryLines(summary, Language::Chinese)[1], "平均速度：1.2 MB/秒");
    // One sample: no time has passed, so no average; sums stick at the largest count.
    EXPECT_EQ(summarize(samplesWithBytes({ { 5, 5 } }), 1000), (Summary { 5, 5, 0, 0 }));
    auto huge = summarize(samplesWithBytes({ { std::numeric_limits<std::uint64_t>::max(), 1 }, { 1, 1 } }), 1);
    EXPECT_EQ(huge.totalReadBytes, std::numeric_limits<std::uint64_t>::max());
    EXPECT_DOUBLE_EQ(huge.averageThroughput, static_cast<double>(std::numeric_limits<std::uint64_t>::max()) * 1000);

    EXPECT_EQ(pngPathFor("/tmp/run.d/table"), "/tmp/run.d/table.png");
    EXPECT_THAT(proposedCsvFileName(firstTimestamp), ::testing::MatchesRegex("Tallowin-[0-9]{8}-[0-9]{6}\\.csv"));
}

// Stands in for the picture; the export asks for the 3840 × 2160 size.
ChartPngRendering renderer(Expected<std::vector<std::uint8_t>, ChartDataExportError> result)
{
    return [result](const std::vector<DiskSample>&, int, double width, double height) {
        EXPECT_EQ(width, 3840);
        EXPECT_EQ(height, 2160);
        return result;
    };
}

TEST(ChartExportAction, WritesTableAndPictureSideBySideOrReportsTheFailure)
{
    testing::LanguageGuard english("en_US");
    testing::TemporaryDirectory directory;
    auto path = [&](const char* name) { return (directory / name).string(); };
    auto samples = samplesWithBytes({ { 1, 2 }, { 3, 4 } });

    std::ofstream(path("run.png")) << "an older picture that is replaced";
    auto files = exportChartData(samples, 10, path("run.csv"), renderer(std::vector<std::uint8_t> { 0x89, 'P', 'N', 'G' }));
    ASSERT_TRUE(files) << files.error().message;
    EXPECT_EQ(*files, (ChartExportFiles { path("run.csv"), path("run.png") }));
    EXPECT_EQ(testing::readText(path("run.csv")), csv(samples, 10));
    EXPECT_EQ(testing::readText(path("run.png")), "\x89PNG");
    EXPECT_EQ(chartExportSuccessMessage(*files),
        fmt::format("CSV saved to: {}\nPNG saved to: {}", path("run.csv"), path("run.png")));

    // Failures come back as the export failure message.
    const auto notEncoded = renderer(Unexpected(ChartDataExportError::pngEncodingFailed));
    std::filesystem::create_directory(path("c.png")); // c.csv's picture path is taken by a folder

    using enum ChartExportFailure::Reason;
    struct Case {
        const char* csvName;
        std::size_t sampleCount;
        ChartPngRendering render;
        ChartExportFailure failure;
        bool tableStays;
    };
    for (const auto& c : { Case { "a.csv", 1, notEncoded, { notEnoughSamples, {} }, false },
             Case { "b.csv", 2, notEncoded, { failed, "Export failed: Failed to encode the chart as a PNG image." }, false },
             Case { "c.csv", 2, renderer(std::vector<std::uint8_t> { 1 }),
                 { failed, fmt::format("Export failed: {}: Is a directory", path("c.png")) }, true } }) {
        auto result = exportChartData(
            std::vector<DiskSample>(samples.begin(), samples.begin() + c.sampleCount), 10, path(c.csvName), c.render);
        ASSERT_FALSE(result) << c.csvName;
        EXPECT_EQ(result.error(), c.failure) << c.csvName << ": " << result.error().message;
        EXPECT_EQ(std::filesystem::exists(path(c.csvName)), c.tableStays) << c.csvName;
    }
    EXPECT_EQ(testing::readText(path("c.csv")), csv(samples, 10));

    testing::LanguageGuard chinese("zh_CN");
    EXPECT_EQ(exportChartData(samples, 10, path("d.csv"), notEncoded).error().message,
        "导出失败：无法将图表转换为 PNG 图像。");
}

}
}
