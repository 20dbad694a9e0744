#include "charts/ChartExport.h"
#include "charts/ChartExportSupport.h"
#include "support/LanguageGuard.h"
#include "support/TemporaryDirectory.h"

#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <limits>
#include <sstream>

namespace tallowin {
namespace {

using namespace ChartExportSupport;

// 2025-03-01T08:15:30.250Z
constexpr WallClockTime firstTimestamp = 1'740'816'930.25;

std::vector<DiskSample> samplesWithBytes(std::vector<std::pair<std::uint64_t, std::uint64_t>> bytes)
{
    std::vector<DiskSample> samples;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        DiskSample sample;
        sample.id = Uuid::random();
        sample.timestamp = firstTimestamp + 0.5 * static_cast<double>(i);
        sample.readBytes = bytes[i].first;
        sample.writeBytes = bytes[i].second;
        samples.push_back(sample);
    }
    return samples;
}

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

TEST(ChartExportCsv, ExactTextAtOneHundredMilliseconds)
{
    auto samples = samplesWithBytes({ { 1'048'576, 0 }, { 1'048'576, 3 }, { 0, 18'446'744'073'709'551'615u } });
    EXPECT_EQ(csv(samples, 100),
        "timestamp,elapsed_seconds,read_bytes,write_bytes,read_bytes_per_sec,write_bytes_per_sec\n"
        "2025-03-01T08:15:30.250Z,0,1048576,0,10485760,0\n"
        "2025-03-01T08:15:30.750Z,0.1,1048576,3,10485760,30\n"
        "2025-03-01T08:15:31.250Z,0.2,0,18446744073709551615,0,184467440737095516160");
}

TEST(ChartExportCsv, FractionsRoundToSixDigitsAndZeroIntervalGivesZeros)
{
    auto samples = samplesWithBytes({ { 1, 2 }, { 5, 0 } });
    EXPECT_EQ(csv(samples, 3),
        std::string(csvHeader) + "\n2025-03-01T08:15:30.250Z,0,1,2,333.333333,666.666667"
                                 "\n2025-03-01T08:15:30.750Z,0.003,5,0,1666.666667,0");
    EXPECT_EQ(csv(samples, 0),
        std::string(csvHeader) + "\n2025-03-01T08:15:30.250Z,0,1,2,0,0\n2025-03-01T08:15:30.750Z,0,5,0,0,0");
    EXPECT_EQ(csv({}, 1000), csvHeader);
}

TEST(ChartExportPoints, ReductionKeepsEndsAndPeaks)
{
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bytes(100'000, { 1, 1 });
    bytes[0] = { 7, 8 };
    bytes[99'999] = { 9, 10 };
    bytes[50'000] = { 4'000, 2 };
    auto samples = samplesWithBytes(bytes);

    auto points = reducePoints(samples, 3460, 2.0);
    ASSERT_EQ(points.size(), 3451u);
    EXPECT_EQ(points.front(), (DownsampledPoint { 0, 14, 16 }));
    EXPECT_EQ(points.back(), (DownsampledPoint { 99'999, 18, 20 }));
    // step 29: bins start at 1, 30, …; 50000 lies in the bin [49997, 50026).
    EXPECT_EQ(points[1].index, 1 + 29 / 2);
    auto peak = std::find_if(points.begin(), points.end(), [](const auto& point) { return point.readSpeed == 8000; });
    ASSERT_NE(peak, points.end());
    EXPECT_EQ(peak->index, 49'997 + 14);
    double highest = 0;
    for (const auto& point : points)
        highest = std::max(highest, point.readSpeed);
    EXPECT_EQ(highest, 8000);

    // Few samples, or a maximum below 3: one point per sample.
    auto few = samplesWithBytes({ { 1, 2 }, { 3, 4 }, { 5, 6 } });
    EXPECT_EQ(reducePoints(few, 3, 1.0).size(), 3u);
    EXPECT_EQ(reducePoints(few, 2, 1.0).size(), 3u);
    EXPECT_EQ(reducePoints({}, 512, 1.0).size(), 0u);
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
    EXPECT_EQ(verticalTicks(7.3e6), ticksAt({ 0, 1e6, 2e6, 3e6, 4e6, 5e6, 6e6, 7e6, 7.3e6 }, 7.3e6));
    EXPECT_EQ(verticalTicks(10), ticksAt({ 0, 2, 4, 6, 8, 10 }, 10));
    EXPECT_EQ(verticalTicks(1), ticksAt({ 0, 0.2, 0.4, 0.6000000000000001, 0.8, 1 }, 1));
    EXPECT_EQ(verticalTicks(0), (std::vector<AxisTick> { { 0, 0 } }));
    EXPECT_EQ(verticalTicks(-3), (std::vector<AxisTick> { { 0, 0 } }));
    EXPECT_EQ(verticalTicks(std::nan("")), (std::vector<AxisTick> { { 0, 0 } }));

    EXPECT_EQ(horizontalTicks(60'000, 1),
        ticksAt({ 0, 10'000, 20'000, 30'000, 40'000, 50'000, 59'999 }, 59'999));
    EXPECT_EQ(horizontalTicks(61, 1000), ticksAt({ 0, 10'000, 20'000, 30'000, 40'000, 50'000, 60'000 }, 60'000));
    for (auto [count, interval] : { std::pair { 1, 1000 }, std::pair { 0, 1000 }, std::pair { 10, 0 } })
        EXPECT_EQ(horizontalTicks(count, interval), (std::vector<AxisTick> { { 0, 0 } })) << count << " " << interval;
}

TEST(ChartExportTexts, DurationsInBothLanguages)
{
    struct Case {
        double milliseconds;
        const char* english;
        const char* chinese;
    };
    for (auto c : { Case { 250, "250 ms", "250 毫秒" }, Case { 999.6, "1000 ms", "1000 毫秒" },
             Case { -5, "0 ms", "0 毫秒" }, Case { std::nan(""), "0 ms", "0 毫秒" }, Case { 1500, "1.5 s", "1.5 秒" },
             Case { 10'000, "10 s", "10 秒" }, Case { 59'999, "60 s", "60 秒" }, Case { 90'000, "1.5 min", "1.5 分钟" },
             Case { 3'600'000, "1 h", "1 小时" }, Case { 4'000'000, "1.11 h", "1.11 小时" } }) {
        EXPECT_EQ(durationText(c.milliseconds, Language::English), c.english) << c.milliseconds;
        EXPECT_EQ(durationText(c.milliseconds, Language::Chinese), c.chinese) << c.milliseconds;
    }
}

TEST(ChartExportTexts, ThroughputAndSummaryLines)
{
    EXPECT_EQ(throughputText(12'500'000, Language::English), "12.5 MB/s");
    EXPECT_EQ(throughputText(12'500'000, Language::Chinese), "12.5 MB/秒");
    EXPECT_EQ(throughputText(-4, Language::English), throughputText(0, Language::English));
    EXPECT_EQ(throughputText(1e30, Language::English), "9,223,372.04 TB/s");

    auto samples = samplesWithBytes({ { 1'000'000, 0 }, { 0, 500'000 }, { 1'000'000, 0 } });
    auto summary = summarize(samples, 1000);
    EXPECT_EQ(summary, (Summary { 2'000'000, 500'000, 2000, 1'250'000 }));
    EXPECT_EQ(summaryLines(summary, Language::English),
        (std::vector<std::string> { "Total Sampling Time: 2 s", "Average Throughput: 1.2 MB/s",
            "Cumulative Read: 2 MB", "Cumulative Write: 500 KB" }));
    EXPECT_EQ(summaryLines(summary, Language::Chinese)[0], "总采样时间：2 秒");

    // One sample: no time has passed, so no average; sums stick at the largest count.
    EXPECT_EQ(summarize(samplesWithBytes({ { 5, 5 } }), 1000), (Summary { 5, 5, 0, 0 }));
    auto huge = summarize(samplesWithBytes({ { std::numeric_limits<std::uint64_t>::max(), 1 }, { 1, 1 } }), 1);
    EXPECT_EQ(huge.totalReadBytes, std::numeric_limits<std::uint64_t>::max());
    EXPECT_DOUBLE_EQ(huge.averageThroughput, static_cast<double>(std::numeric_limits<std::uint64_t>::max()) * 1000);
}

TEST(ChartExportTexts, FileNames)
{
    EXPECT_EQ(pngPathFor("/tmp/run/Tallowin-20250301-081530.csv"), "/tmp/run/Tallowin-20250301-081530.png");
    EXPECT_EQ(pngPathFor("/tmp/run.d/table"), "/tmp/run.d/table.png");
    auto name = proposedCsvFileName(firstTimestamp);
    ASSERT_EQ(name.size(), std::string("Tallowin-20250301-081530.csv").size()) << name;
    EXPECT_EQ(name.substr(0, 9), "Tallowin-");
    EXPECT_EQ(name.substr(name.size() - 4), ".csv");
}

ChartPngRendering fakeRenderer(std::vector<std::uint8_t> bytes)
{
    return [bytes](const std::vector<DiskSample>&, int, double width, double height)
               -> Expected<std::vector<std::uint8_t>, ChartDataExportError> {
        EXPECT_EQ(width, 3840);
        EXPECT_EQ(height, 2160);
        return bytes;
    };
}

TEST(ChartExportAction, WritesTheTableAndThePictureSideBySide)
{
    testing::LanguageGuard english("en_US");
    testing::TemporaryDirectory directory;
    auto csvPath = (directory / "run.csv").string();
    std::ofstream(directory / "run.png") << "an older picture that is replaced";
    auto samples = samplesWithBytes({ { 1, 2 }, { 3, 4 } });

    auto files = exportChartData(samples, 10, csvPath, fakeRenderer({ 0x89, 'P', 'N', 'G' }));
    ASSERT_TRUE(files) << files.error().message;
    EXPECT_EQ(files->pngPath, (directory / "run.png").string());
    EXPECT_EQ(readFile(csvPath), csv(samples, 10));
    EXPECT_EQ(readFile(directory / "run.png"), "\x89PNG");
    EXPECT_EQ(chartExportSuccessMessage(*files),
        "CSV saved to: " + csvPath + "\nPNG saved to: " + (directory / "run.png").string());
}

TEST(ChartExportAction, FailuresAreReportedAsTheExportFailureMessage)
{
    testing::LanguageGuard english("en_US");
    testing::TemporaryDirectory directory;
    auto samples = samplesWithBytes({ { 1, 2 }, { 3, 4 } });

    auto tooFew = exportChartData(samplesWithBytes({ { 1, 1 } }), 10, (directory / "a.csv").string(), fakeRenderer({}));
    ASSERT_FALSE(tooFew);
    EXPECT_EQ(tooFew.error().reason, ChartExportFailure::Reason::notEnoughSamples);
    EXPECT_FALSE(std::filesystem::exists(directory / "a.csv"));

    auto failingRenderer = [](const std::vector<DiskSample>&, int, double, double)
        -> Expected<std::vector<std::uint8_t>, ChartDataExportError> {
        return Unexpected(ChartDataExportError::pngEncodingFailed);
    };
    auto notRendered = exportChartData(samples, 10, (directory / "b.csv").string(), failingRenderer);
    ASSERT_FALSE(notRendered);
    EXPECT_EQ(notRendered.error().message, "Export failed: Failed to encode the chart as a PNG image.");

    // The picture's path is taken by a folder: the table is written and stays.
    std::filesystem::create_directory(directory / "c.png");
    auto notWritten = exportChartData(samples, 10, (directory / "c.csv").string(), fakeRenderer({ 1 }));
    ASSERT_FALSE(notWritten);
    EXPECT_EQ(notWritten.error().reason, ChartExportFailure::Reason::failed);
    EXPECT_EQ(notWritten.error().message,
        "Export failed: " + (directory / "c.png").string() + ": Is a directory");
    EXPECT_EQ(readFile(directory / "c.csv"), csv(samples, 10));

    testing::LanguageGuard chinese("zh_CN");
    auto chineseFailure = exportChartData(samples, 10, (directory / "d.csv").string(), failingRenderer);
    EXPECT_EQ(chineseFailure.error().message, "导出失败：无法将图表转换为 PNG 图像。");
}

}
}
