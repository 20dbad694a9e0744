#include "dashboard/DashboardContent.h"
#include "support/EnvironmentGuard.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>

using namespace tallowin;
using tallowin::testing::LanguageGuard;
using DataSize = DiskPerformanceTester::DataSize;
using EffectivePayload = DiskPerformanceTester::EffectivePayload;

namespace {

// Samples numbered from 1, oldest first: sample i reads i bytes and does i operations.
std::vector<DiskSample> numbered(std::size_t count)
{
    std::vector<DiskSample> samples;
    for (std::size_t i = 1; i <= count; ++i)
        samples.push_back({ Uuid::random(), 0, i, 2 * i, i, 3 * i });
    return samples;
}

double sumOfNewest(std::size_t total, std::size_t newest)
{
    double sum = 0;
    for (std::size_t i = total - newest + 1; i <= total; ++i)
        sum += static_cast<double>(i);
    return sum;
}

DiskSMARTInfo::Detail detail(std::string keyPath, std::string displayName, std::string value)
{
    return { Uuid::random(), std::move(keyPath), std::move(displayName), std::move(value) };
}

DiskVolumeDescriptor volumeWithDetails(std::vector<DiskSMARTInfo::Detail> details)
{
    DiskVolumeDescriptor volume;
    volume.smartInfo = DiskSMARTInfo { "PASSED", true, std::move(details), std::nullopt };
    return volume;
}

}

// ---- Metric cards ----

TEST(MetricCardRates, ByteWalkTakesAboutOneSecondOfNewestSamplesAtEachPrecision)
{
    // 1200 samples: at 1 ms the walk must stop after the newest 1000, not run to the oldest.
    auto samples = numbered(1200);
    // The divisor is the time summed sample by sample, rounding included.
    auto summed = [](double step, int count) {
        double total = 0;
        for (int i = 0; i < count; ++i)
            total += step;
        return total;
    };
    struct Case {
        int intervalMs;
        std::size_t taken;
        double divisor;
    };
    // Ten additions of 0.1 give 0.9999999999999999: at 100 ms an eleventh sample is taken.
    for (const auto& c : { Case { 1000, 1, 1.0 }, Case { 100, 11, 1.0999999999999999 }, Case { 10, 100, summed(0.01, 100) },
             Case { 1, 1000, summed(0.001, 1000) } }) {
        SCOPED_TRACE(c.intervalMs);
        auto rates = recentByteRates(samples, c.intervalMs);
        EXPECT_EQ(rates.read, sumOfNewest(1200, c.taken) / c.divisor);
        EXPECT_EQ(rates.write, 2 * sumOfNewest(1200, c.taken) / c.divisor);
    }
    // A short history divides by a whole second, not by the time it covers.
    EXPECT_DOUBLE_EQ(recentByteRates(numbered(3), 100).read, 6.0);
    EXPECT_EQ(recentByteRates({}, 1000), RecentRates {});
    EXPECT_EQ(recentByteRates(samples, 0), RecentRates {});

    // Operations: the newest round(1 / interval) samples, ten at 100 ms unlike the byte walk's eleven.
    EXPECT_DOUBLE_EQ(recentOperationRates(samples, 100).read, sumOfNewest(1200, 10));
    EXPECT_DOUBLE_EQ(recentOperationRates(samples, 100).write, 3 * sumOfNewest(1200, 10));
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
    for (const auto& c : std::vector<Case> {
             { "0 B/s", "0 B/秒", [] { return rateText(-5); } },
             { "999 bytes/s", "999 字节/秒", [] { return rateText(998.6); } },
             // Rates stop at gigabytes.
             { "1,500 GB/s", "1,500 GB/秒", [] { return rateText(1.5e12); } },
             { "0/s", "0/秒", [] { return operationsText(-1); } },
             { "1,234.5/s", "1,234.5/秒", [] { return operationsText(1234.54); } },
             { "0 Bytes", "0 字节", [] { return totalText(0); } },
             { "9,223,372.04 TB", "9,223,372.04 TB", [] { return totalText(twoTo63 - 1); } },
             // From 2^63 on the count is shown at its cap with a plus.
             { "9,223,372.04 TB+", "9,223,372.04 TB+", [] { return totalText(twoTo63); } },
         }) {
        {
            LanguageGuard english("en_US");
            EXPECT_EQ(c.text(), c.english);
        }
        LanguageGuard chinese("zh_CN");
        EXPECT_EQ(c.text(), c.chinese);
    }
}

TEST(MetricCards, TemperatureRule)
{
    LanguageGuard english("en");
    struct Case {
        const char* name;
        std::vector<DiskSMARTInfo::Detail> details;
        std::optional<std::string> expected;
    };
    const auto controller = [](std::string value) { return detail("temperature.controller", "T", std::move(value)); };
    for (const auto& c : std::vector<Case> {
             { "numeric value", { controller("41") }, "41 ℃" },
             { "unit already given", { controller(" 39 °C ") }, "39 °C" },
             { "a later detail qualifies", { controller("N/A"), detail("other", "  controller temperature ", "38") }, "38 ℃" },
             { "chinese label", { detail("x.y", "主控温度", "40") }, "40 ℃" },
             { "key with both words", { detail("nvme.Controller_Busy_Temperature", "T", "52.46 C") }, "52.5 ℃" },
             { "nvme log key", { detail("NVME_SMART_HEALTH_INFORMATION_LOG.temperature", "T", "36") }, "36 ℃" },
             { "unparsable number kept", { controller("hot") }, "hot ℃" },
             { "two signs do not parse", { controller("3-4") }, "3-4 ℃" },
             { "only the first number counts", { controller("36 (Min/Max 20/45)") }, "36 ℃" },
             { "unknown in Chinese", { controller("未知") }, std::nullopt },
             { "drive temperature is not the controller's", { detail("temperature.current", "Temperature", "41") },
                 std::nullopt },
             { "empty value", { controller("  \n") }, std::nullopt },
         }) {
        EXPECT_EQ(temperatureText(volumeWithDetails(c.details)), c.expected) << c.name;
    }
    EXPECT_EQ(temperatureText(std::nullopt), std::nullopt);
    EXPECT_EQ(temperatureText(DiskVolumeDescriptor {}), std::nullopt);
}

// ---- Volume control panel ----

namespace {

VolumeControlPanelModel panelModel(const std::optional<DiskVolumeDescriptor>& volume, bool isMonitoring = false,
    std::size_t sampleCount = 0, bool isRunning = false,
    const std::optional<DiskPerformanceTester::Result>& result = std::nullopt)
{
    std::optional<ProgressState> progress;
    VolumeControlPanelSources sources;
    sources.selectedVolume = &volume;
    sources.isMonitoring = isMonitoring;
    sources.sampleCount = sampleCount;
    sources.isPerformanceRunning = isRunning;
    sources.progressState = &progress;
    sources.dataSize = DataSize::availableSpace();
    sources.lastResult = &result;
    std::optional<EffectivePayload> payload;
    if (volume)
        payload = DiskPerformanceTester::payloadFor(sources.dataSize, volume->availableCapacityBytes);
    sources.payloadContext = performancePayloadContext(volume.has_value(), sources.dataSize, payload);
    return volumeControlPanelModel(sources);
}

DiskVolumeDescriptor panelVolume()
{
    return { "/media/user/Archive", "sdb1", "Archive", "USB", "10 Gb/s", "EXT4", 500'107'862'016ULL, 123'456'789'012ULL,
        "  Samsung ", "Portable SSD T7", std::nullopt };
}

std::vector<std::string> chipValues(const VolumeControlPanelModel& model)
{
    std::vector<std::string> values;
    for (const auto& chip : infoChips(model))
        values.push_back(chip.value);
    return values;
}

}

TEST(VolumeControlPanelContent, TitleCapacityAndCleanedChips)
{
    {
        LanguageGuard chinese("zh_CN");
        auto model = panelModel(std::nullopt);
        EXPECT_EQ(panelTitle(model), "尚未选择卷");
        EXPECT_EQ(capacityLine(model), "可用容量：未知 / 未知");
        EXPECT_EQ(chipValues(model), std::vector<std::string>(4, "未知"));
    }
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

    for (const auto& [value, expected] : std::vector<std::pair<std::string, std::string>> { { "  NVMe\n", "NVMe" },
             { " \t ", "Unknown" }, { "FILE SYSTEM UNKNOWN", "Unknown" }, { "制造商未知", "Unknown" } })
        EXPECT_EQ(cleanedChipValue(value), expected) << value;
    EXPECT_EQ(smartModelName(DiskSMARTInfo { {}, {}, { detail("MODEL_NAME", "x", " Y ") }, {} }), "Y");
}

TEST(VolumeControlPanelContent, ButtonStatesThroughAMonitoringAndTestingSession)
{
    LanguageGuard english("en");
    auto volume = panelVolume();
    auto withSmart = volume;
    withSmart.smartInfo = DiskSMARTInfo { "PASSED", true, {}, std::nullopt };
    DiskPerformanceTester::Result result;
    struct State {
        const char* name;
        VolumeControlPanelModel model;
        // Choose, monitoring, SMART, export, test.
        std::vector<bool> enabled;
        std::string monitoringTitle;
        std::string testTitle;
    };
    for (const auto& state : std::vector<State> {
             { "no volume", panelModel(std::nullopt), { true, false, false, false, false }, "Start", "Start Test" },
             { "volume", panelModel(volume), { true, true, false, false, true }, "Start", "Start Test" },
             { "one sample is not enough to export", panelModel(withSmart, true, 1), { true, true, true, false, true },
                 "Stop", "Start Test" },
             { "monitoring", panelModel(withSmart, true, 2), { true, true, true, true, true }, "Stop", "Start Test" },
             { "test running", panelModel(volume, false, 0, true), { true, true, false, false, true }, "Start", "Stop" },
             { "result", panelModel(volume, false, 0, false, result), { true, true, false, false, true }, "Start", "Retest" },
             { "result, no volume", panelModel(std::nullopt, false, 0, false, result), { true, false, false, false, false },
                 "Start", "Retest" },
         }) {
        SCOPED_TRACE(state.name);
        auto buttons = panelButtons(state.model);
        std::vector<bool> enabled;
        for (const auto& button : { buttons.chooseVolume, buttons.monitoring, buttons.smart, buttons.exportChart, buttons.test })
            enabled.push_back(button.isEnabled);
        EXPECT_EQ(enabled, state.enabled);
        EXPECT_EQ(buttons.monitoring.title, state.monitoringTitle);
        EXPECT_EQ(buttons.test.title, state.testTitle);
        EXPECT_EQ(buttons.testButtonStops, state.testTitle == "Stop");
    }

    // The SMART button says why it is off; stopping buttons turn red.
    EXPECT_EQ(panelButtons(panelModel(volume)).smart.toolTip, "SMART data is not available for this volume");
    auto busy = panelButtons(panelModel(withSmart, true, 2, true));
    EXPECT_EQ(busy.monitoring.accentColor, AccentColor::red);
    EXPECT_EQ(busy.test.accentColor, AccentColor::red);
    EXPECT_EQ(busy.smart.toolTip, "View SMART details provided by the system");
    LanguageGuard chinese("zh_CN");
    EXPECT_EQ(panelButtons(panelModel(volume, true, 2)).monitoring.title, "停止监控");
}

TEST(VolumeControlPanelContent, PayloadContext)
{
    LanguageGuard english("en");
    struct Case {
        bool selected;
        DataSize size;
        std::optional<EffectivePayload> payload;
        std::string description;
        std::optional<std::string> warning;
    };
    const std::string noRoom = "Not enough free space to run the performance test.";
    for (const auto& c : std::vector<Case> {
             { false, DataSize::availableSpace(), std::nullopt, "Payload: Full Disk",
                 "Please choose a volume before running the test." },
             { false, DataSize::gigabytes(16), std::nullopt, "Payload: 16 GB", std::nullopt },
             { true, DataSize::gigabytes(16), std::nullopt, noRoom, noRoom },
             { true, DataSize::availableSpace(), EffectivePayload { 118'000'000'000ULL, false, 0 },
                 "Payload: Full Disk (118 GB)", std::nullopt },
             { true, DataSize::gigabytes(64), EffectivePayload { 30'000'000'000ULL, true, 0 },
                 "Current payload: 64 GB (will adjust to 30 GB)", std::nullopt },
             { true, DataSize::gigabytes(4), EffectivePayload { 4'000'000'000ULL, false, 0 }, "Payload: 4 GB", std::nullopt },
         }) {
        SCOPED_TRACE(c.description);
        auto context = performancePayloadContext(c.selected, c.size, c.payload);
        EXPECT_EQ(context.description, c.description);
        EXPECT_EQ(context.isAvailable, c.selected && c.payload);
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
    EXPECT_EQ(values(items), (std::vector<std::string> { "0%", "Full Disk · 118 GB", "Random Write Phase", "00:00:00", "Calculating…" }));
    EXPECT_EQ(items[0].style, MetricItemStyle::highlight);

    inputs.progressState = ProgressState { BenchmarkPhase::sequentialRead, 1.3, 3725.4, 59.5 };
    EXPECT_EQ(values(performanceStripItems(inputs)),
        (std::vector<std::string> { "100%", "Full Disk · 118 GB", "Sequential Read Phase", "01:02:05", "00:01:00" }));
    inputs.progressState = ProgressState { BenchmarkPhase::randomRead, 0.425, 0, std::nullopt };
    EXPECT_EQ(performanceStripItems(inputs)[0].value, "42.5%");

    LanguageGuard chinese("zh_CN");
    EXPECT_EQ(performanceStripItems(inputs)[2].value, "随机读取阶段");
}

TEST(PerformanceStripContent, ResultWithHonestyWarningsAndIdleLists)
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
    result.randomWriteIOPS = 12'345.6;
    result.randomReadIOPS = 0;
    inputs.lastResult = result;
    items = performanceStripItems(inputs);
    ASSERT_EQ(items.size(), 10u);
    EXPECT_EQ(items[3].value, "12,346");
    EXPECT_EQ(items[4].value, "No data");
    EXPECT_EQ(items[8].title, "Sequential Read Phase");
    EXPECT_EQ(items[8].value, "Served from a cache");
    EXPECT_EQ(items[9].value, "Faster than the link");
    EXPECT_EQ(items[9].style, MetricItemStyle::highlight);

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
    for (const auto& c : std::vector<Case> {
             { DataSize::availableSpace(), std::nullopt, "", "Full Disk" },
             { DataSize::availableSpace(), EffectivePayload { 1'250'000'000'000ULL, true, 0 }, "", "Full Disk · 1.25 TB" },
             { DataSize::gigabytes(64), EffectivePayload { 30'000'000'000ULL, true, 0 }, "", "64 GB → 30 GB" },
             { DataSize::gigabytes(4), EffectivePayload { 4'000'000'000ULL, false, 0 }, "", "4 GB" },
             // Without a preview the text after the last colon of the description, in either language.
             { DataSize::gigabytes(4), std::nullopt, "Payload: 4 GB", "4 GB" },
             { DataSize::gigabytes(4), std::nullopt, "当前：值：  16 GB", "16 GB" },
             { DataSize::gigabytes(4), std::nullopt, "Nothing after:  ", "Nothing after:  " },
             { DataSize::gigabytes(4), std::nullopt, "  no separator ", "no separator" },
         }) {
        PerformanceStripInputs inputs;
        inputs.payloadSelection = c.selection;
        inputs.payloadPreview = c.preview;
        inputs.payloadDescription = c.description;
        EXPECT_EQ(stripPayloadText(inputs), c.expected) << c.description;
    }
}

// ---- Folder chooser ----

TEST(FolderChooser, StartsInTheRemovableMediaFolderThenMntThenHome)
{
    struct Case {
        std::set<std::string> directories;
        std::optional<std::string> user;
        std::string expected;
    };
    for (const auto& c : std::vector<Case> {
             { { "/media/ada", "/run/media/ada", "/mnt" }, "ada", "/media/ada" },
             { { "/run/media/ada", "/mnt" }, "ada", "/run/media/ada" },
             { { "/media/bob", "/mnt" }, "ada", "/mnt" },
             { {}, "ada", "/home/ada" },
             // A user name that is a path must not lead elsewhere.
             { { "/media/../etc" }, "../etc", "/home/ada" },
             { { "/mnt" }, std::nullopt, "/mnt" },
         }) {
        auto environment = [&](const char* name) -> std::optional<std::string> {
            if (std::string(name) == "USER")
                return c.user;
            return std::string(name) == "HOME" ? std::optional<std::string>("/home/ada") : std::nullopt;
        };
        auto isDirectory = [&](const std::string& path) { return c.directories.contains(path); };
        EXPECT_EQ(folderChooserStartDirectory(environment, isDirectory), c.expected);
    }
}
