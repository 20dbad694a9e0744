#include "BenchmarkTestSupport.h"
#include "benchmark/PerformanceReport.h"
#include "support/EnvironmentGuard.h"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <set>

namespace tallowin {
namespace {

using testing::LanguageGuard;
using Result = DiskPerformanceTester::Result;

TimelineSample sample(TimelineSample::Phase phase, double timestamp, double throughput)
{
    return { Uuid::random(), phase, timestamp, static_cast<std::uint64_t>(throughput), throughput };
}

Result fixedResult()
{
    using Phase = TimelineSample::Phase;
    Result result;
    result.dataSize = DiskPerformanceTester::DataSize::gigabytes(1);
    result.actualByteCount = 1000000000;
    result.writeDuration = 2.5;
    result.writeThroughput = 400000000.7;
    result.readDuration = 0.8;
    result.readThroughput = 1250000000;
    result.randomWriteIOPS = 12345.6;
    result.randomReadIOPS = 8.456;
    result.randomOperationCount = 42;
    result.timeline = { sample(Phase::sequentialWrite, 10.12, 380000000),
        sample(Phase::sequentialWrite, 11.2, 420000000), sample(Phase::sequentialWrite, 12.5, 400000000),
        sample(Phase::sequentialRead, 13.5, 1300000000), sample(Phase::sequentialRead, 13.9, 1200000000) };
    result.maximumWriteThroughput = 420000000;
    result.maximumReadThroughput = 1300000000;
    result.finishedAt = 1735787045; // 2025-01-02 03:04:05 UTC
    return result;
}

DiskVolumeDescriptor fixedVolume()
{
    DiskVolumeDescriptor volume;
    volume.url = "/srv/data";
    volume.bsdName = "vda1";
    volume.displayName = "Data <\"Tom's\" & Co>";
    volume.connectionTypeDescription = "Virtio";
    volume.connectionSpeedDescription = "PCIe 3.0 x1";
    volume.fileSystemDescription = "EXT4";
    volume.totalCapacityBytes = 107374182400;
    volume.availableCapacityBytes = 53687091200;
    volume.hardwareVendor = "Red Hat";
    DiskSMARTInfo smart;
    smart.overallStatus = "PASSED";
    smart.isCapable = true;
    smart.details = { { Uuid::random(), "temperature.current", "Temperature", "35 °C" },
        { Uuid::random(), "serial_number", "serial_number", "<none>" } };
    volume.smartInfo = smart;
    return volume;
}

// Compares with tests/data/benchmark/<name>; TALLOWIN_UPDATE_GOLDEN=1 rewrites the file instead.
void expectGolden(const std::string& html, const std::string& name)
{
    std::string path = std::string(TALLOWIN_TEST_DATA_DIR) + "/benchmark/" + name;
    if (std::getenv("TALLOWIN_UPDATE_GOLDEN")) {
        std::ofstream(path, std::ios::binary) << html;
        return;
    }
    std::ifstream stream(path, std::ios::binary);
    std::string golden((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(golden.empty()) << "missing golden file " << path;
    EXPECT_EQ(html, golden);
}

// Report times are local; the golden files are in UTC.
class PerformanceReport : public ::testing::Test {
protected:
    testing::EnvironmentGuard m_zone { "TZ", "UTC" };
};

TEST_F(PerformanceReport, EnglishDocumentMatchesItsGoldenBytes)
{
    LanguageGuard language("en_US");
    expectGolden(buildReportHTML(fixedResult(), fixedVolume()), "report-en.html");
}

TEST_F(PerformanceReport, ChineseDocumentMatchesItsGoldenBytes)
{
    LanguageGuard language("zh_CN");
    auto result = fixedResult();
    result.isPayloadAdjusted = true;
    result.randomWriteIOPS = 0;
    auto volume = fixedVolume();
    volume.smartInfo.reset();
    volume.fileSystemDescription.reset();
    volume.totalCapacityBytes.reset();
    volume.connectionSpeedDescription = "";
    expectGolden(buildReportHTML(result, volume), "report-zh.html");
}

// A single sample gives the chart no span to scale over; no samples gives no chart at all.
TEST_F(PerformanceReport, OneSampleDrawsNoCurveAndNoSamplesDrawNothing)
{
    LanguageGuard language("zh-Hans");
    auto result = fixedResult();
    result.timeline.resize(1);
    auto html = buildReportHTML(result, fixedVolume());
    EXPECT_NE(html.find("<svg viewBox=\"0 0 2400.0 1000.0\""), std::string::npos);
    for (const char* absent : { "<polyline", "nan", "inf\"" }) // no curve, and no division by a zero span
        EXPECT_EQ(html.find(absent), std::string::npos) << absent;
    result.timeline.clear();
    html = buildReportHTML(result, fixedVolume());
    EXPECT_EQ(html.find("<svg"), std::string::npos);
    EXPECT_NE(html.find("<p>暂无采样数据。</p>"), std::string::npos);
}

TEST(ReportFileName, StampIsUtcAndTakenNamesGetACounter)
{
    EXPECT_EQ(reportFileStamp(1735787045.9), "20250102-030405");
    std::set<std::string> existing;
    auto exists = [&](const std::string& path) { return existing.contains(path); };
    for (const char* suffix : { "", "-1", "-2" }) {
        auto expected = std::string("/data/Tallowin-Performance-20250102-030405") + suffix + ".html";
        EXPECT_EQ(chooseReportPath(*suffix ? "/data/" : "/data", 1735787045, exists), expected);
        existing.insert(expected);
    }
    EXPECT_EQ(pathInDirectory("/", "x"), "/x");
}

}
}
