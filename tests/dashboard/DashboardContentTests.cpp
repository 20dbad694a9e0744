#include "dashboard/DashboardContent.h"
#include "support/EnvironmentGuard.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <set>

using namespace tallowin;
using tallowin::testing::LanguageGuard;
using DataSize = DiskPerformanceTester::DataSize;
using EffectivePayload = DiskPerformanceTester::EffectivePayload;

namespace {

DiskSample sample(std::uint64_t readBytes, std::uint64_t writeBytes = 0, std::uint64_t readOps = 0, std::uint64_t writeOps = 0)
{
    return { Uuid::random(), 0, readBytes, writeBytes, readOps, writeOps };
}

// Samples numbered from 1, oldest first: sample i reads i bytes and does i operations.
std::vector<DiskSample> numbered(std::size_t count)
{
    std::vector<DiskSample> samples;
    for (std::size_t i = 1; i <= count; ++i)
        samples.push_back(sample(i, 2 * i, i, 3 * i));
    return samples;
}

double sumOfNewest(std::size_t total, std::size_t newest)
{
    double sum = 0;
    for (std::size_t i = total - newest + 1; i <= total; ++i)
        sum += static_cast<double>(i);
    return sum;
}

DiskVolumeDescriptor volumeWithDetails(std::vector<DiskSMARTInfo::Detail> details)
{
    DiskVolumeDescriptor volume;
    volume.url = "/mnt/data";
    volume.bsdName = "sda1";
    volume.displayName = "Data";
    volume.smartInfo = DiskSMARTInfo { "PASSED", true, std::move(details), std::nullopt };
    return volume;
}

DiskSMARTInfo::Detail detail(std::string keyPath, std::string displayName, std::string value)
{
    return { Uuid::random(), std::move(keyPath), std::move(displayName), std::move(value) };
}

}

// ---- Metric cards ----

TEST(MetricCardRates, ByteWalkTakesAboutOneSecondOfNewestSamplesAtEachPrecision)
{
    // 1200 samples: at 1 ms the walk must stop after the newest 1000, not run to the oldest.
    auto samples = numbered(1200);
    struct Case {
        int intervalMs;
        std::size_t taken;
        double divisor;
    };
    // The divisor is the time summed sample by sample, rounding included.
    auto summed = [](double step, int count) {
        double total = 0;
        for (int i = 0; i < count; ++i)
            total += step;
        return total;
    };
    for (const auto& c : std::vector<Case> {
             { 1000, 1, 1.0 },
             // Ten additions of 0.1 give 0.9999999999999999: an eleventh sample is taken.
             { 100, 11, 1.0999999999999999 },
             { 10, 100, summed(0.01, 100) },
             { 1, 1000, summed(0.001, 1000) },
         }) {
        SCOPED_TRACE(c.intervalMs);
        auto rates = recentByteRates(samples, c.intervalMs);
        EXPECT_EQ(rates.read, sumOfNewest(1200, c.taken) / c.divisor);
        EXPECT_EQ(rates.write, 2 * sumOfNewest(1200, c.taken) / c.divisor);
    }
    // A short history divides by a whole second, not by the time it covers.
    EXPECT_DOUBLE_EQ(recentByteRates(numbered(3), 100).read, 6.0);
    EXPECT_EQ(recentByteRates({}, 1000), RecentRates {});
    EXPECT_EQ(recentByteRates(samples, 0), RecentRates {});
}

TEST(MetricCardRates, OperationRateUsesTheNewestRoundedReciprocalSamples)
{
    auto samples = numbered(1200);
    // 100 ms: ten samples over exactly one second, unlike the byte walk's eleven.
    EXPECT_DOUBLE_EQ(recentOperationRates(samples, 100).read, sumOfNewest(1200, 10) / 1.0);
    EXPECT_DOUBLE_EQ(recentOperationRates(samples, 100).write, 3 * sumOfNewest(1200, 10));
    EXPECT_DOUBLE_EQ(recentOperationRates(samples, 1000).read, 1200.0);
    EXPECT_DOUBLE_EQ(recentOperationRates(samples, 1).read, sumOfNewest(1200, 1000) / (0.001 * 1000));
    // Fewer samples than a second's worth: their own duration.
    EXPECT_DOUBLE_EQ(recentOperationRates(numbered(3), 100).read, 6.0 / (0.1 * 3));
    EXPECT_EQ(recentOperationRates({}, 100), RecentRates {});
}

TEST(MetricCardTexts, RatesOperationsAndTotalsInBothLanguages)
{
    constexpr std::uint64_t twoTo63 = 9223372036854775808ULL;
    struct Case {
        std::string english;
        std::string chinese;
        std::function<std::string()> text;
    };
    std::vector<Case> cases {
        { "0 B/s", "0 B/秒", [] { return rateText(0); } },
        { "0 B/s", "0 B/秒", [] { return rateText(-5); } },
        { "5 MB/s", "5 MB/秒", [] { return rateText(5'000'000); } },
        { "999 bytes/s", "999 字节/秒", [] { return rateText(998.6); } },
        { "1,500 GB/s", "1,500 GB/秒", [] { return rateText(1.5e12); } },
        { "0/s", "0/秒", [] { return operationsText(0); } },
        { "12.3/s", "12.3/秒", [] { return operationsText(12.34); } },
        { "1,234/s", "1,234/秒", [] { return operationsText(1234.0); } },
        { "0 Bytes", "0 字节", [] { return totalText(0); } },
        { "1.5 MB", "1.5 MB", [] { return totalText(1'500'000); } },
        { "9,223,372.04 TB", "9,223,372.04 TB", [] { return totalText(twoTo63 - 1); } },
        // From 2^63 on the count is shown at its cap with a plus.
        { "9,223,372.04 TB+", "9,223,372.04 TB+", [] { return totalText(twoTo63); } },
        { "9,223,372.04 TB+", "9,223,372.04 TB+",
            [] { return totalText(std::numeric_limits<std::uint64_t>::max()); } },
    };
    for (const auto& c : cases) {
        {
            LanguageGuard english("en_US");
            EXPECT_EQ(c.text(), c.english);
        }
        LanguageGuard chinese("zh_CN");
        EXPECT_EQ(c.text(), c.chinese);
    }
}

TEST(MetricCards, IdleMonitorShowsZeroesAndNoTemperature)
{
    LanguageGuard english("en");
    std::optional<DiskVolumeDescriptor> none;
    MetricCardInputs inputs;
    inputs.selectedVolume = &none;
    auto cards = metricCards(inputs);
    std::vector<std::string> titles;
    std::vector<std::string> values;
    for (const auto& card : cards)
        titles.push_back(card.title), values.push_back(card.valueText);
    EXPECT_EQ(titles,
        (std::vector<std::string> { "Read Speed", "Write Speed", "Read Ops Rate", "Write Ops Rate", "Total Read",
            "Total Write", "Monitoring Duration" }));
    EXPECT_EQ(values, (std::vector<std::string> { "0 B/s", "0 B/s", "0/s", "0/s", "0 Bytes", "0 Bytes", "00:00:00" }));
}

TEST(MetricCards, LiveFiguresDurationAndTemperatureCard)
{
    LanguageGuard chinese("zh_CN");
    std::optional<DiskVolumeDescriptor> volume
        = volumeWithDetails({ detail("temperature.controller", "Controller Temperature", "41") });
    std::vector<DiskSample> samples { sample(3'000'000, 0, 4, 0), sample(5'000'000, 1'000, 7, 2) };
    MetricCardInputs inputs { samples, 1000, 0, 2'000'000'000, 100000, &volume };
    auto cards = metricCards(inputs);
    ASSERT_EQ(cards.size(), 8u);
    // At 1000 ms only the newest sample counts.
    EXPECT_EQ(cards[0].valueText, "5 MB/秒");
    EXPECT_EQ(cards[1].valueText, "1 KB/秒");
    EXPECT_EQ(cards[2].valueText, "7/秒");
    EXPECT_EQ(cards[3].valueText, "2/秒");
    EXPECT_EQ(cards[4].valueText, "0 字节");
    EXPECT_EQ(cards[5].valueText, "2 GB");
    EXPECT_EQ(cards[6].valueText, "27:46:40");
    EXPECT_EQ(cards[7].title, "主控温度");
    EXPECT_EQ(cards[7].valueText, "41 ℃");
    EXPECT_EQ(cards[7].footer, "每秒更新");
    EXPECT_EQ(cards[7].accentColor, AccentColor::red);
}

TEST(MetricCards, TemperatureRule)
{
    LanguageGuard english("en");
    struct Case {
        const char* name;
        std::vector<DiskSMARTInfo::Detail> details;
        std::optional<std::string> expected;
    };
    std::vector<Case> cases {
        { "numeric value", { detail("temperature.controller", "Temperature", "41") }, "41 ℃" },
        { "unit already given", { detail("temperature.controller", "Temperature", "41 Celsius") }, "41 Celsius" },
        { "degree sign", { detail("temperature.controller", "Temperature", " 39 °C ") }, "39 °C" },
        { "not available", { detail("temperature.controller", "Temperature", "N/A") }, std::nullopt },
        { "a later detail qualifies",
            { detail("temperature.controller", "Temperature", "N/A"), detail("other", "  controller temperature ", "38") },
            "38 ℃" },
        { "chinese label", { detail("x.y", "主控温度", "40") }, "40 ℃" },
        { "key with both words", { detail("nvme.Controller_Busy_Temperature", "T", "52.46 C") }, "52.5 ℃" },
        { "nvme log key", { detail("NVME_SMART_HEALTH_INFORMATION_LOG.temperature", "T", "36") }, "36 ℃" },
        { "unparsable number kept", { detail("temperature.controller", "T", "hot") }, "hot ℃" },
        { "two signs do not parse", { detail("temperature.controller", "T", "3-4") }, "3-4 ℃" },
        { "unknown in Chinese", { detail("temperature.controller", "T", "未知") }, std::nullopt },
        { "drive temperature is not the controller's", { detail("temperature.current", "Temperature", "41") },
            std::nullopt },
        { "empty value", { detail("temperature.controller", "T", "  \n") }, std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(temperatureText(volumeWithDetails(c.details)), c.expected);
    }
    EXPECT_EQ(temperatureText(std::nullopt), std::nullopt);
    DiskVolumeDescriptor withoutSmart;
    EXPECT_EQ(temperatureText(withoutSmart), std::nullopt);
}

// ---- Bubbles ----

TEST(Bubbles, OrderStylesAndValueEquality)
{
    auto all = bubblePayloads("Monitor failed", "Test failed", "Report saved");
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].message, "Monitor failed");
    EXPECT_EQ(all[0].style, BannerStyle::error);
    EXPECT_EQ(all[1].style, BannerStyle::error);
    EXPECT_EQ(all[2].style, BannerStyle::success);

    auto two = bubblePayloads("Monitor failed", std::nullopt, "Report saved");
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[1].message, "Report saved");
    EXPECT_TRUE(bubblePayloads(std::nullopt, std::nullopt, std::nullopt).empty());

    // Rebuilt bubbles get fresh identities but are the same bubbles.
    auto again = bubblePayloads("Monitor failed", std::nullopt, "Report saved");
    EXPECT_NE(two[0].id, again[0].id);
    EXPECT_EQ(two, again);
    EXPECT_NE(BubblePayload({ Uuid::random(), "x", BannerStyle::error }), BubblePayload({ Uuid::random(), "x", BannerStyle::success }));
}

// ---- Volume control panel ----

namespace {

VolumeControlPanelModel panelModel(const std::optional<DiskVolumeDescriptor>& volume, bool isMonitoring = false,
    std::size_t sampleCount = 0, bool isRunning = false,
    const std::optional<DiskPerformanceTester::Result>& result = std::nullopt, DataSize dataSize = DataSize::availableSpace())
{
    std::optional<ProgressState> progress;
    VolumeControlPanelSources sources;
    sources.selectedVolume = &volume;
    sources.isMonitoring = isMonitoring;
    sources.sampleCount = sampleCount;
    sources.isPerformanceRunning = isRunning;
    sources.progressState = &progress;
    sources.dataSize = dataSize;
    sources.lastResult = &result;
    std::optional<EffectivePayload> payload;
    if (volume)
        payload = DiskPerformanceTester::payloadFor(dataSize, volume->availableCapacityBytes);
    sources.payloadContext = performancePayloadContext(volume.has_value(), dataSize, payload);
    return volumeControlPanelModel(sources);
}

DiskVolumeDescriptor panelVolume()
{
    DiskVolumeDescriptor volume;
    volume.url = "/media/user/Archive";
    volume.bsdName = "sdb1";
    volume.displayName = "Archive";
    volume.connectionTypeDescription = "USB";
    volume.connectionSpeedDescription = "10 Gb/s";
    volume.fileSystemDescription = "EXT4";
    volume.totalCapacityBytes = 500'107'862'016ULL;
    volume.availableCapacityBytes = 123'456'789'012ULL;
    volume.hardwareVendor = "  Samsung ";
    volume.hardwareModel = "Portable SSD T7";
    return volume;
}

std::vector<std::string> chipValues(const VolumeControlPanelModel& model)
{
    std::vector<std::string> values;
    for (const auto& chip : infoChips(model))
        values.push_back(chip.value);
    return values;
}

}

TEST(VolumeControlPanelContent, NoVolume)
{
    {
        LanguageGuard english("en");
        auto model = panelModel(std::nullopt);
        EXPECT_EQ(panelTitle(model), "No volume selected");
        EXPECT_EQ(capacityLine(model), "Available Capacity: Unknown / Unknown");
        EXPECT_EQ(chipValues(model), std::vector<std::string>(4, "Unknown"));
    }
    LanguageGuard chinese("zh_CN");
    auto model = panelModel(std::nullopt);
    EXPECT_EQ(panelTitle(model), "尚未选择卷");
    EXPECT_EQ(capacityLine(model), "可用容量：未知 / 未知");
    EXPECT_EQ(chipValues(model), std::vector<std::string>(4, "未知"));
}

TEST(VolumeControlPanelContent, TitleCapacityAndChipsOfAVolume)
{
    LanguageGuard english("en");
    auto volume = panelVolume();
    auto model = panelModel(volume);
    EXPECT_EQ(panelTitle(model), "Archive · sdb1");
    EXPECT_EQ(capacityLine(model), "Available Capacity: 123.46 GB / 500.11 GB");
    EXPECT_EQ(chipValues(model), (std::vector<std::string> { "USB · 10 Gb/s", "EXT4", "Samsung", "Portable SSD T7" }));

    volume.bsdName = "   ";
    volume.hardwareVendor = "Manufacturer Unknown";
    volume.connectionSpeedDescription.reset();
    volume.fileSystemDescription.reset();
    volume.totalCapacityBytes = 0;
    // A usable model name in the SMART report wins over the device's own.
    volume.smartInfo = DiskSMARTInfo { std::nullopt, std::nullopt,
        { detail("device.model_name", "Device Model", "n/a"), detail("x", "Model", " WD Blue SN570 ") }, std::nullopt };
    model = panelModel(volume);
    EXPECT_EQ(panelTitle(model), "Archive");
    EXPECT_EQ(capacityLine(model), "Available Capacity: 123.46 GB / Unknown");
    EXPECT_EQ(chipValues(model), (std::vector<std::string> { "USB", "Unknown", "Unknown", "WD Blue SN570" }));
}

TEST(VolumeControlPanelContent, ChipCleaning)
{
    LanguageGuard english("en");
    std::map<std::string, std::string> cases {
        { "  NVMe\n", "NVMe" },
        { "", "Unknown" },
        { " \t ", "Unknown" },
        { "Connection unknown", "Unknown" },
        { "FILE SYSTEM UNKNOWN", "Unknown" },
        { "型号未知", "Unknown" },
        { "制造商未知", "Unknown" },
        { "Unknown Vendor", "Unknown" },
        { "USB · 480 Mb/s", "USB · 480 Mb/s" },
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(cleanedChipValue(value), expected) << value;
    EXPECT_EQ(smartModelName(std::nullopt), std::nullopt);
    EXPECT_EQ(smartModelName(DiskSMARTInfo { {}, {}, { detail("model_name", "型号", "Not reported") }, {} }), std::nullopt);
    EXPECT_EQ(smartModelName(DiskSMARTInfo { {}, {}, { detail("MODEL_NAME", "x", " Y ") }, {} }), "Y");
}

TEST(VolumeControlPanelContent, ButtonStatesThroughAMonitoringAndTestingSession)
{
    LanguageGuard english("en");
    struct State {
        const char* name;
        VolumeControlPanelModel model;
        std::vector<std::string> titles;
        std::vector<bool> enabled;
        bool stops;
    };
    auto volume = panelVolume();
    auto withSmart = volume;
    withSmart.smartInfo = DiskSMARTInfo { "PASSED", true, {}, std::nullopt };
    DiskPerformanceTester::Result result;
    std::vector<State> states {
        { "no volume", panelModel(std::nullopt),
            { "Choose Volume", "Start", "SMART Info", "Export Chart", "Start Test" }, { true, false, false, false, false },
            false },
        { "volume", panelModel(volume), { "Choose Volume", "Start", "SMART Info", "Export Chart", "Start Test" },
            { true, true, false, false, true }, false },
        { "one sample is not enough to export", panelModel(withSmart, true, 1),
            { "Choose Volume", "Stop", "SMART Info", "Export Chart", "Start Test" }, { true, true, true, false, true },
            false },
        { "monitoring", panelModel(withSmart, true, 2),
            { "Choose Volume", "Stop", "SMART Info", "Export Chart", "Start Test" }, { true, true, true, true, true }, false },
        { "test running", panelModel(volume, false, 0, true), { "Choose Volume", "Start", "SMART Info", "Export Chart", "Stop" },
            { true, true, false, false, true }, true },
        { "result", panelModel(volume, false, 0, false, result),
            { "Choose Volume", "Start", "SMART Info", "Export Chart", "Retest" }, { true, true, false, false, true }, false },
        { "result, no volume", panelModel(std::nullopt, false, 0, false, result),
            { "Choose Volume", "Start", "SMART Info", "Export Chart", "Retest" }, { true, false, false, false, false },
            false },
    };
    for (const auto& state : states) {
        SCOPED_TRACE(state.name);
        auto buttons = panelButtons(state.model);
        std::vector<PanelButtonContent> all { buttons.chooseVolume, buttons.monitoring, buttons.smart, buttons.exportChart,
            buttons.test };
        std::vector<std::string> titles;
        std::vector<bool> enabled;
        for (const auto& button : all)
            titles.push_back(button.title), enabled.push_back(button.isEnabled);
        EXPECT_EQ(titles, state.titles);
        EXPECT_EQ(enabled, state.enabled);
        EXPECT_EQ(buttons.testButtonStops, state.stops);
    }

    auto idle = panelButtons(panelModel(volume));
    EXPECT_EQ(idle.monitoring.accentColor, AccentColor::green);
    EXPECT_EQ(idle.monitoring.iconSystemName, "play.fill");
    EXPECT_EQ(idle.smart.toolTip, "SMART data is not available for this volume");
    auto busy = panelButtons(panelModel(withSmart, true, 2, true));
    EXPECT_EQ(busy.monitoring.accentColor, AccentColor::red);
    EXPECT_EQ(busy.monitoring.iconSystemName, "pause.fill");
    EXPECT_EQ(busy.test.accentColor, AccentColor::red);
    EXPECT_EQ(busy.test.iconSystemName, "stop.fill");
    EXPECT_EQ(busy.smart.toolTip, "View SMART details provided by the system");

    LanguageGuard chinese("zh_CN");
    auto chineseButtons = panelButtons(panelModel(volume, true, 2, false, result));
    EXPECT_EQ(chineseButtons.monitoring.title, "停止监控");
    EXPECT_EQ(chineseButtons.test.title, "重测");
}

TEST(VolumeControlPanelContent, PayloadContext)
{
    LanguageGuard english("en");
    struct Case {
        const char* name;
        bool selected;
        DataSize size;
        std::optional<EffectivePayload> payload;
        std::string description;
        bool available;
        std::optional<std::string> warning;
    };
    std::vector<Case> cases {
        { "no volume, whole disk", false, DataSize::availableSpace(), std::nullopt, "Payload: Full Disk", false,
            "Please choose a volume before running the test." },
        { "no volume, gigabytes", false, DataSize::gigabytes(16), std::nullopt, "Payload: 16 GB", false, std::nullopt },
        { "no room", true, DataSize::gigabytes(16), std::nullopt, "Not enough free space to run the performance test.",
            false, "Not enough free space to run the performance test." },
        { "whole disk", true, DataSize::availableSpace(), EffectivePayload { 118'000'000'000ULL, false, 0 },
            "Payload: Full Disk (118 GB)", true, std::nullopt },
        { "reduced", true, DataSize::gigabytes(64), EffectivePayload { 30'000'000'000ULL, true, 0 },
            "Current payload: 64 GB (will adjust to 30 GB)", true, std::nullopt },
        { "as chosen", true, DataSize::gigabytes(4), EffectivePayload { 4'000'000'000ULL, false, 0 }, "Payload: 4 GB", true,
            std::nullopt },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto context = performancePayloadContext(c.selected, c.size, c.payload);
        EXPECT_EQ(context.description, c.description);
        EXPECT_EQ(context.isAvailable, c.available);
        EXPECT_EQ(context.warning, c.warning);
        EXPECT_EQ(context.preview, c.selected ? c.payload : std::nullopt);
    }
    LanguageGuard chinese("zh_CN");
    EXPECT_EQ(performancePayloadContext(false, DataSize::availableSpace(), std::nullopt).description, "数据量：全盘");
}

// ---- Performance strip ----

namespace {

std::vector<std::string> values(const std::vector<MetricItem>& items)
{
    std::vector<std::string> texts;
    for (const auto& item : items)
        texts.push_back(item.value);
    return texts;
}

}

TEST(PerformanceStripContent, RunningList)
{
    LanguageGuard english("en");
    PerformanceStripInputs inputs;
    inputs.isRunning = true;
    inputs.payloadPreview = EffectivePayload { 118'000'000'000ULL, false, 0 };
    auto items = performanceStripItems(inputs);
    ASSERT_EQ(items.size(), 5u);
    EXPECT_EQ(values(items), (std::vector<std::string> { "0%", "Full Disk · 118 GB", "Random Write Phase", "00:00:00", "Calculating…" }));
    EXPECT_EQ(items[0].style, MetricItemStyle::highlight);
    EXPECT_EQ(items[0].title, "Progress");

    inputs.progressState = ProgressState { BenchmarkPhase::sequentialRead, 1.3, 3725.4, 59.5 };
    EXPECT_EQ(values(performanceStripItems(inputs)),
        (std::vector<std::string> { "100%", "Full Disk · 118 GB", "Sequential Read Phase", "01:02:05", "00:01:00" }));
    inputs.progressState = ProgressState { BenchmarkPhase::randomRead, 0.425, 0, std::nullopt };
    EXPECT_EQ(performanceStripItems(inputs)[0].value, "42.5%");

    LanguageGuard chinese("zh_CN");
    EXPECT_EQ(performanceStripItems(inputs)[2].value, "随机读取阶段");
    EXPECT_EQ(performanceStripItems(inputs)[4].value, "计算中…");
}

TEST(PerformanceStripContent, ResultAndIdleLists)
{
    LanguageGuard english("en");
    tallowin::testing::EnvironmentGuard utc("TZ", "UTC");
    DiskPerformanceTester::Result result;
    result.actualByteCount = 16'000'000'000ULL;
    result.writeThroughput = 0;
    result.readThroughput = 2'345'678'901;
    result.randomWriteIOPS = 5.678;
    result.randomReadIOPS = 123.45;
    result.maximumWriteThroughput = 999.9;
    result.maximumReadThroughput = 3e9;
    result.finishedAt = 1'741'000'000; // 2025-03-03 11:06:40 UTC
    PerformanceStripInputs inputs;
    inputs.lastResult = result;
    auto items = performanceStripItems(inputs);
    EXPECT_EQ(values(items),
        (std::vector<std::string> { "16 GB", "0 Bytes/s", "2.35 GB/s", "5.68", "123.4", "999 bytes/s", "3 GB/s",
            "2025-03-03 11:06:40" }));
    for (const auto& item : items)
        EXPECT_EQ(item.style, MetricItemStyle::normal);

    // The device's counters disowned a figure: the warning follows the result, under its phase.
    result.honesty.phases = { { BenchmarkPhase::randomRead, 1000, 1000, std::nullopt, {} },
        { BenchmarkPhase::sequentialRead, 1000, 1000, std::nullopt,
            { { "cache", "Served from a cache" }, { "link-ceiling", "Faster than the link" } } } };
    inputs.lastResult = result;
    items = performanceStripItems(inputs);
    ASSERT_EQ(items.size(), 10u);
    EXPECT_EQ(items[8].title, "Sequential Read Phase");
    EXPECT_EQ(items[8].value, "Served from a cache");
    EXPECT_EQ(items[9].value, "Faster than the link");
    EXPECT_EQ(items[9].style, MetricItemStyle::highlight);
    result.honesty = {};

    result.randomWriteIOPS = 12'345.6;
    result.randomReadIOPS = 0;
    result.actualByteCount = 0;
    inputs.lastResult = result;
    items = performanceStripItems(inputs);
    EXPECT_EQ(items[3].value, "12,346");
    EXPECT_EQ(items[4].value, "No data");
    EXPECT_EQ(items[0].value, "0 Bytes");

    // A running test shows its progress, not the last result.
    inputs.isRunning = true;
    EXPECT_EQ(performanceStripItems(inputs)[0].title, "Progress");

    PerformanceStripInputs idle;
    idle.payloadSelection = DataSize::gigabytes(16);
    idle.payloadDescription = "Payload: 16 GB";
    items = performanceStripItems(idle);
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0].value, "No test yet.");
    EXPECT_EQ(items[0].style, MetricItemStyle::placeholder);
    EXPECT_EQ(items[1].value, "16 GB");
}

TEST(PerformanceStripContent, PayloadText)
{
    LanguageGuard english("en");
    struct Case {
        DataSize selection;
        std::optional<EffectivePayload> preview;
        std::string description;
        std::string expected;
    };
    std::vector<Case> cases {
        { DataSize::availableSpace(), std::nullopt, "", "Full Disk" },
        { DataSize::availableSpace(), EffectivePayload { 1'250'000'000'000ULL, true, 0 }, "", "Full Disk · 1.25 TB" },
        { DataSize::gigabytes(64), EffectivePayload { 30'000'000'000ULL, true, 0 }, "", "64 GB → 30 GB" },
        { DataSize::gigabytes(4), EffectivePayload { 4'000'000'000ULL, false, 0 }, "", "4 GB" },
        { DataSize::gigabytes(4), std::nullopt, "Payload: 4 GB", "4 GB" },
        { DataSize::gigabytes(4), std::nullopt, "数据量：a: 8 GB ", "8 GB" },
        { DataSize::gigabytes(4), std::nullopt, "当前：值：  16 GB", "16 GB" },
        { DataSize::gigabytes(4), std::nullopt, "Nothing after:  ", "Nothing after:  " },
        { DataSize::gigabytes(4), std::nullopt, "  no separator ", "no separator" },
    };
    for (const auto& c : cases) {
        PerformanceStripInputs inputs;
        inputs.payloadSelection = c.selection;
        inputs.payloadPreview = c.preview;
        inputs.payloadDescription = c.description;
        EXPECT_EQ(stripPayloadText(inputs), c.expected) << c.description;
    }
}

// ---- SMART sheet ----

TEST(SmartSheetContent, SummaryRows)
{
    LanguageGuard english("en");
    EXPECT_TRUE(smartSummaryRows({}).empty());
    EXPECT_TRUE(smartSummaryRows(DiskSMARTInfo { "", std::nullopt, {}, {} }).empty());
    EXPECT_EQ(smartSummaryRows(DiskSMARTInfo { "PASSED", false, {}, {} }),
        (std::vector<SmartSummaryRow> { { "Overall Status", "PASSED" }, { "SMART Capable", "Not Supported" } }));
    LanguageGuard chinese("zh_CN");
    EXPECT_EQ(smartSummaryRows(DiskSMARTInfo { std::nullopt, true, {}, {} }),
        (std::vector<SmartSummaryRow> { { "是否支持 SMART", "支持" } }));
}

// ---- Folder chooser and selection ----

TEST(FolderChooser, StartsInTheRemovableMediaFolderThenMntThenHome)
{
    struct Case {
        std::set<std::string> directories;
        std::optional<std::string> user;
        std::string expected;
    };
    std::vector<Case> cases {
        { { "/media/ada", "/run/media/ada", "/mnt" }, "ada", "/media/ada" },
        { { "/run/media/ada", "/mnt" }, "ada", "/run/media/ada" },
        { { "/media/bob", "/mnt" }, "ada", "/mnt" },
        { {}, "ada", "/home/ada" },
        // A user name that is a path must not lead elsewhere.
        { { "/media/../etc" }, "../etc", "/home/ada" },
        { { "/mnt" }, std::nullopt, "/mnt" },
    };
    for (const auto& c : cases) {
        auto environment = [&](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "USER")
                return c.user;
            if (std::string(name) == "HOME")
                return std::string("/home/ada");
            return std::nullopt;
        };
        auto isDirectory = [&](const std::string& path) { return c.directories.contains(path); };
        EXPECT_EQ(folderChooserStartDirectory(environment, isDirectory), c.expected);
    }
}

TEST(SelectedVolumeLocation, ChangesWhenTheURLOrItsPresenceChanges)
{
    DiskVolumeDescriptor a;
    a.url = "/mnt/a";
    auto aWithSmart = a;
    aWithSmart.smartInfo = DiskSMARTInfo {};
    DiskVolumeDescriptor b;
    b.url = "/mnt/b";
    EXPECT_FALSE(selectedVolumeLocationChanged(std::nullopt, std::nullopt));
    EXPECT_TRUE(selectedVolumeLocationChanged(std::nullopt, a));
    EXPECT_TRUE(selectedVolumeLocationChanged("/mnt/a", std::nullopt));
    EXPECT_TRUE(selectedVolumeLocationChanged("/mnt/a", b));
    // New SMART data for the same volume is not a new volume.
    EXPECT_FALSE(selectedVolumeLocationChanged("/mnt/a", aWithSmart));
}
