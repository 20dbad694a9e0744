#include "BenchmarkTestSupport.h"
#include "benchmark/PerformanceReport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sstream>

namespace tallowin {
namespace {

using testing::ScopedEnvironment;
using testing::ScopedLanguage;
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

std::string readFile(const std::string& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
}

// Compares with tests/data/benchmark/<name>; TALLOWIN_UPDATE_GOLDEN=1 rewrites the file instead.
void expectGolden(const std::string& html, const std::string& name)
{
    std::string path = std::string(TALLOWIN_TEST_DATA_DIR) + "/benchmark/" + name;
    if (std::getenv("TALLOWIN_UPDATE_GOLDEN")) {
        std::ofstream(path, std::ios::binary) << html;
        return;
    }
    std::string golden = readFile(path);
    ASSERT_FALSE(golden.empty()) << "missing golden file " << path;
    EXPECT_EQ(html, golden);
}

class PerformanceReport : public ::testing::Test {
protected:
    ScopedEnvironment m_zone { "TZ", "UTC" };
};

TEST_F(PerformanceReport, EnglishDocumentMatchesItsGoldenBytes)
{
    ScopedLanguage language("en_US");
    expectGolden(buildReportHTML(fixedResult(), fixedVolume()), "report-en.html");
}

TEST_F(PerformanceReport, ChineseDocumentMatchesItsGoldenBytes)
{
    ScopedLanguage language("zh_CN");
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

TEST_F(PerformanceReport, VolumeNameIsEscapedInItsBadge)
{
    ScopedLanguage language("en");
    auto html = buildReportHTML(fixedResult(), fixedVolume());
    EXPECT_NE(
        html.find(
            "<div class=\"badge\"><span>Volume：Data &lt;&quot;Tom&#39;s&quot; &amp; Co&gt;</span></div>"),
        std::string::npos);
    EXPECT_EQ(escapeHTML("&lt;"), "&amp;lt;") << "ampersands first, so entities are not double-read";
}

TEST_F(PerformanceReport, EnglishReportKeepsTheFullWidthColonAfterLabels)
{
    ScopedLanguage language("en");
    auto html = buildReportHTML(fixedResult(), fixedVolume());
    EXPECT_NE(html.find("<p>Finished At：Jan 2, 2025, 3:04:05 AM</p>"), std::string::npos);
    EXPECT_NE(html.find("<span>Interface：Virtio · PCIe 3.0 x1</span>"), std::string::npos);
    EXPECT_NE(html.find("<strong>12,346</strong>"), std::string::npos);
    EXPECT_NE(html.find("<strong>8.46</strong>"), std::string::npos);
}

TEST_F(PerformanceReport, OneWriteSampleDrawsTheFrameButNoCurve)
{
    ScopedLanguage language("en");
    auto result = fixedResult();
    result.timeline = { sample(TimelineSample::Phase::sequentialWrite, 10, 1000) };
    auto html = buildReportHTML(result, fixedVolume());
    EXPECT_NE(html.find("<svg viewBox=\"0 0 2400.0 1000.0\""), std::string::npos);
    EXPECT_NE(html.find("stroke=\"rgba(148,163,184,0.6)\""), std::string::npos);
    EXPECT_NE(html.find("<text x=\"1200.0\" y=\"983.3333333333334\""), std::string::npos);
    EXPECT_NE(html.find("translate(50.0, 30.0)"), std::string::npos);
    EXPECT_EQ(html.find("<polyline"), std::string::npos);
    auto rows = 0;
    for (auto at = html.find("<tr><td>Write"); at != std::string::npos;
         at = html.find("<tr><td>Write", at + 1))
        ++rows;
    EXPECT_EQ(rows, 1);
}

TEST_F(PerformanceReport, EmptyTimelineShowsTheNoSampleTexts)
{
    ScopedLanguage language("zh-Hans");
    auto result = fixedResult();
    result.timeline.clear();
    auto html = buildReportHTML(result, fixedVolume());
    EXPECT_EQ(html.find("<svg"), std::string::npos);
    EXPECT_NE(html.find("<p>暂无采样数据</p>"), std::string::npos);
    EXPECT_NE(html.find("<p>暂无采样数据。</p>"), std::string::npos);
}

TEST_F(PerformanceReport, SmartDetailTitleOnlyWhenKeyPathDiffersFromName)
{
    ScopedLanguage language("en");
    auto html = buildReportHTML(fixedResult(), fixedVolume());
    EXPECT_NE(html.find("<tr><td title=\"temperature.current\">Temperature</td><td>35 °C</td></tr>"),
        std::string::npos);
    EXPECT_NE(html.find("<tr><td>serial_number</td><td>&lt;none&gt;</td></tr>"), std::string::npos);
}

TEST(ReportFileName, StampIsUtcAndTakenNamesGetACounter)
{
    EXPECT_EQ(reportFileStamp(1735787045.9), "20250102-030405");
    std::set<std::string> existing;
    auto exists = [&](const std::string& path) { return existing.contains(path); };
    EXPECT_EQ(
        chooseReportPath("/data", 1735787045, exists), "/data/Tallowin-Performance-20250102-030405.html");
    existing.insert("/data/Tallowin-Performance-20250102-030405.html");
    EXPECT_EQ(
        chooseReportPath("/data", 1735787045, exists), "/data/Tallowin-Performance-20250102-030405-1.html");
    existing.insert("/data/Tallowin-Performance-20250102-030405-1.html");
    EXPECT_EQ(
        chooseReportPath("/data/", 1735787045, exists), "/data/Tallowin-Performance-20250102-030405-2.html");
    EXPECT_EQ(pathInDirectory("/", "x"), "/x");
}

}
}
