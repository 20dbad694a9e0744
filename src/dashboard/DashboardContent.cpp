#include "dashboard/DashboardContent.h"

#include "core/Formatting.h"
#include "core/Messages.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <ctime>
#include <fmt/format.h>
#include <limits>

namespace tallowin {

namespace {

using Formatting::ByteUnit;

constexpr std::uint64_t largestSignedCount = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::string lowerCased(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

bool containsAny(std::string_view text, std::initializer_list<std::string_view> needles)
{
    return std::any_of(needles.begin(), needles.end(),
        [&](std::string_view needle) { return text.find(needle) != std::string_view::npos; });
}

bool equalsIgnoringCase(std::string_view a, std::string_view b)
{
    return lowerCased(a) == lowerCased(b);
}

// White space including line breaks, as trimmed by the texts below.
std::string_view trimmedText(std::string_view text)
{
    constexpr std::string_view blanks = " \t\n\r\v\f";
    auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    auto last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string perSecondSuffix()
{
    return localized("/s", "/秒");
}

std::string unknownText()
{
    return localized("Unknown", "未知");
}

// The samples that a walk from the newest backwards may visit.
std::span<const DiskSample> newestWindow(std::span<const DiskSample> samples)
{
    if (samples.size() > metricCardSampleWindow)
        return samples.last(metricCardSampleWindow);
    return samples;
}

}

// ---- Metric cards ----

RecentRates recentByteRates(std::span<const DiskSample> samples, int sampleIntervalMs)
{
    double seconds = sampleIntervalMs / 1000.0;
    if (!(seconds > 0) || samples.empty())
        return {};
    samples = newestWindow(samples);
    double elapsed = 0;
    double readSum = 0;
    double writeSum = 0;
    for (auto sample = samples.rbegin(); sample != samples.rend(); ++sample) {
        // One addition per sample: the accumulated rounding decides where the walk stops, as it
        // does for the 100 ms case, which takes eleven samples.
        elapsed += seconds;
        readSum += static_cast<double>(sample->readBytes);
        writeSum += static_cast<double>(sample->writeBytes);
        if (elapsed >= 1.0)
            break;
    }
    double divisor = std::max(elapsed, 1.0);
    return { readSum / divisor, writeSum / divisor };
}

RecentRates recentOperationRates(std::span<const DiskSample> samples, int sampleIntervalMs)
{
    double seconds = sampleIntervalMs / 1000.0;
    if (!(seconds > 0) || samples.empty())
        return {};
    auto wanted = std::max<long long>(std::llround(1.0 / seconds), 1);
    auto count = std::min<std::size_t>(samples.size(), static_cast<std::size_t>(wanted));
    double duration = seconds * static_cast<double>(count);
    if (!(duration > 0))
        return {};
    double reads = 0;
    double writes = 0;
    for (const auto& sample : samples.last(count)) {
        reads += static_cast<double>(sample.readOperations);
        writes += static_cast<double>(sample.writeOperations);
    }
    return { reads / duration, writes / duration };
}

std::string rateText(double bytesPerSecond)
{
    if (!(bytesPerSecond > 0))
        return localized("0 B/s", "0 B/秒");
    double rounded = std::round(bytesPerSecond);
    auto bytes = rounded >= 9223372036854775807.0 ? largestSignedCount : static_cast<std::uint64_t>(rounded);
    auto units = ByteUnit::Bytes | ByteUnit::KB | ByteUnit::MB | ByteUnit::GB;
    return Formatting::byteCount(bytes, units, currentLanguage()) + perSecondSuffix();
}

std::string operationsText(double operationsPerSecond)
{
    if (!(operationsPerSecond > 0))
        return localized("0/s", "0/秒");
    return Formatting::groupedDecimal(operationsPerSecond, 1) + perSecondSuffix();
}

std::string totalText(std::uint64_t bytes)
{
    if (bytes == 0)
        return localized("0 Bytes", "0 字节");
    auto units = ByteUnit::Bytes | ByteUnit::KB | ByteUnit::MB | ByteUnit::GB | ByteUnit::TB;
    std::string text = Formatting::byteCount(std::min(bytes, largestSignedCount), units, currentLanguage());
    if (bytes > largestSignedCount)
        text += "+";
    return text;
}

namespace {

std::optional<std::string> validTemperature(std::string_view value)
{
    auto trimmed = trimmedText(value);
    if (trimmed.empty())
        return std::nullopt;
    if (containsAny(lowerCased(trimmed), { "unknown", "n/a", "not available", "unsupported", "无", "暂无", "未知" }))
        return std::nullopt;
    return std::string(trimmed);
}

bool isTemperatureKeyPath(std::string_view keyPath)
{
    auto lower = lowerCased(keyPath);
    return lower == "nvme_smart_health_information_log.temperature" || lower == "smart_health_information_log.temperature"
        || lower == "temperature.controller"
        || (lower.find("controller") != std::string::npos && lower.find("temperature") != std::string::npos);
}

std::string displayedTemperature(std::string_view value)
{
    auto trimmed = std::string(trimmedText(value));
    if (containsAny(lowerCased(trimmed), { "℃", "°c", "celsius", "摄氏" }))
        return trimmed;
    // The number is the first run of numeric characters: smartctl writes temperatures such as
    // "36 (Min/Max 20/45)", and keeping every digit of that would read 362,045 ℃.
    auto isNumeric = [](char c) { return (c >= '0' && c <= '9') || c == '.' || c == '-'; };
    auto start = std::find_if(trimmed.begin(), trimmed.end(), isNumeric);
    std::string filtered(start, std::find_if_not(start, trimmed.end(), isNumeric));
    std::string shown = trimmed;
    double number = 0;
    auto [end, error] = std::from_chars(filtered.data(), filtered.data() + filtered.size(), number);
    if (!filtered.empty() && error == std::errc {} && end == filtered.data() + filtered.size())
        shown = Formatting::groupedDecimal(number, 1);
    return shown + " ℃";
}

}

std::optional<std::string> temperatureText(const std::optional<DiskVolumeDescriptor>& volume)
{
    if (!volume || !volume->smartInfo)
        return std::nullopt;
    for (const auto& detail : volume->smartInfo->details) {
        if (isTemperatureKeyPath(detail.keyPath)) {
            if (auto value = validTemperature(detail.value))
                return displayedTemperature(*value);
        }
        auto name = trimmedText(detail.displayName);
        if (name == "主控温度" || equalsIgnoringCase(name, "Controller Temperature")) {
            if (auto value = validTemperature(detail.value))
                return displayedTemperature(*value);
        }
    }
    return std::nullopt;
}

std::vector<MetricCardContent> metricCards(const MetricCardInputs& inputs)
{
    auto bytes = recentByteRates(inputs.newestSamples, inputs.sampleIntervalMs);
    auto operations = recentOperationRates(inputs.newestSamples, inputs.sampleIntervalMs);
    std::string lastSecond = localized("Average over last second", "最近 1 秒平均");
    std::vector<MetricCardContent> cards {
        { Uuid::random(), localized("Read Speed", "读取速度"), "arrow.down.circle.fill", rateText(bytes.read),
            AccentColor::green, lastSecond },
        { Uuid::random(), localized("Write Speed", "写入速度"), "arrow.up.circle.fill", rateText(bytes.write),
            AccentColor::orange, lastSecond },
        { Uuid::random(), localized("Read Ops Rate", "读操作频率"), "square.and.arrow.down.fill",
            operationsText(operations.read), AccentColor::mint, lastSecond },
        { Uuid::random(), localized("Write Ops Rate", "写操作频率"), "square.and.arrow.up.fill",
            operationsText(operations.write), AccentColor::purple, lastSecond },
        { Uuid::random(), localized("Total Read", "累计读取"), "externaldrive.fill", totalText(inputs.totalReadBytes),
            AccentColor::blue, localized("Read total", "累计读取总量") },
        { Uuid::random(), localized("Total Write", "累计写入"), "externaldrive.fill", totalText(inputs.totalWriteBytes),
            AccentColor::pink, localized("Write total", "累计写入总量") },
        { Uuid::random(), localized("Monitoring Duration", "持续时间"), "clock.fill",
            Formatting::hoursMinutesSeconds(inputs.monitoringDuration), AccentColor::teal,
            localized("Since monitoring start", "自启动累计") },
    };
    if (inputs.selectedVolume) {
        if (auto temperature = temperatureText(*inputs.selectedVolume))
            cards.push_back({ Uuid::random(), localized("Controller Temperature", "主控温度"), "thermometer",
                *temperature, AccentColor::red, localized("SMART 1s refresh", "每秒更新") });
    }
    return cards;
}

// ---- Bubbles ----

std::vector<BubblePayload> bubblePayloads(const std::optional<std::string>& monitorError,
    const std::optional<std::string>& testerError, const std::optional<std::string>& automaticReportMessage)
{
    std::vector<BubblePayload> bubbles;
    if (monitorError)
        bubbles.push_back({ Uuid::random(), *monitorError, BannerStyle::error });
    if (testerError)
        bubbles.push_back({ Uuid::random(), *testerError, BannerStyle::error });
    if (automaticReportMessage)
        bubbles.push_back({ Uuid::random(), *automaticReportMessage, BannerStyle::success });
    return bubbles;
}

// ---- Volume control panel ----

PerformancePayloadContext performancePayloadContext(bool isVolumeSelected,
    const DiskPerformanceTester::DataSize& dataSize,
    const std::optional<DiskPerformanceTester::EffectivePayload>& effectivePayload)
{
    using Kind = DiskPerformanceTester::DataSize::Kind;
    std::string payloadPrefix = localized("Payload: ", "数据量：");
    PerformancePayloadContext context;
    if (!isVolumeSelected) {
        if (dataSize.kind == Kind::availableSpace) {
            context.description = payloadPrefix + localized("Full Disk", "全盘");
            context.warning = localized("Please choose a volume before running the test.", "请先选择需要测试的卷。");
        } else {
            context.description = payloadPrefix + Messages::gigabyteLabel(dataSize.gigabyteCount);
        }
        return context;
    }
    if (!effectivePayload) {
        context.description = localized("Not enough free space to run the performance test.", "剩余容量不足，无法运行性能测试。");
        context.warning = context.description;
        return context;
    }
    auto size = capacityText(effectivePayload->byteCount);
    if (dataSize.kind == Kind::availableSpace)
        context.description = Messages::fullDiskPayload(size);
    else if (effectivePayload->isAdjusted)
        context.description = Messages::payloadWithAdjustment(Messages::gigabyteLabel(dataSize.gigabyteCount), size);
    else
        context.description = payloadPrefix + Messages::gigabyteLabel(dataSize.gigabyteCount);
    context.preview = effectivePayload;
    context.isAvailable = true;
    return context;
}

std::string capacityText(const std::optional<std::uint64_t>& bytes)
{
    if (!bytes || *bytes == 0)
        return unknownText();
    return Formatting::byteCount(*bytes, ByteUnit::MB | ByteUnit::GB | ByteUnit::TB, currentLanguage());
}

namespace {

std::string describedOrUnknown(const std::optional<std::string>& text)
{
    if (text) {
        auto trimmed = trimmedText(*text);
        if (!trimmed.empty())
            return std::string(trimmed);
    }
    return unknownText();
}

}

VolumeControlPanelModel volumeControlPanelModel(const VolumeControlPanelSources& sources)
{
    static const std::optional<DiskVolumeDescriptor> noVolume;
    static const std::optional<ProgressState> noProgress;
    static const std::optional<DiskPerformanceTester::Result> noResult;
    const auto& volume = sources.selectedVolume ? *sources.selectedVolume : noVolume;

    VolumeControlPanelModel model;
    model.selectedVolumeName = volume ? volume->displayName : localized("No volume selected", "尚未选择卷");
    model.connectionTypeDescription
        = volume ? volume->connectionTypeDescription : localized("Connection unavailable", "连接信息不可用");
    model.fileSystemDescription = volume && volume->fileSystemDescription ? *volume->fileSystemDescription
                                                                           : localized("File system unknown", "文件系统未知");
    if (volume) {
        model.bsdName = volume->bsdName;
        model.connectionSpeedDescription = volume->connectionSpeedDescription;
        model.totalCapacityBytes = volume->totalCapacityBytes;
        model.availableCapacityBytes = volume->availableCapacityBytes;
        model.smartInfo = volume->smartInfo;
    }
    model.totalCapacityDescription = capacityText(model.totalCapacityBytes);
    model.availableCapacityDescription = capacityText(model.availableCapacityBytes);
    model.hardwareVendorDescription = describedOrUnknown(volume ? volume->hardwareVendor : std::nullopt);
    model.hardwareModelDescription = describedOrUnknown(volume ? volume->hardwareModel : std::nullopt);
    model.isVolumeSelected = volume.has_value();
    model.isMonitoring = sources.isMonitoring;
    model.exportEnabled = sources.sampleCount > 1;
    model.isPerformanceRunning = sources.isPerformanceRunning;
    model.performanceProgressState = sources.progressState ? *sources.progressState : noProgress;
    model.performancePayloadDescription = sources.payloadContext.description;
    model.performanceSelection = sources.dataSize;
    model.performancePayloadPreview = sources.payloadContext.preview;
    model.lastPerformanceResult = sources.lastResult ? *sources.lastResult : noResult;
    model.isPerformanceTestAvailable = sources.payloadContext.isAvailable;
    model.performanceWarningMessage = sources.payloadContext.warning;
    return model;
}

std::string panelTitle(const VolumeControlPanelModel& model)
{
    std::string title = model.selectedVolumeName;
    if (model.isVolumeSelected && model.bsdName) {
        auto bsdName = trimmedText(*model.bsdName);
        if (!bsdName.empty())
            title += fmt::format(" · {}", bsdName);
    }
    return title;
}

std::string capacityLine(const VolumeControlPanelModel& model)
{
    return fmt::format("{}{}{} / {}", localized("Available Capacity", "可用容量"), localized(": ", "："),
        model.availableCapacityDescription, model.totalCapacityDescription);
}

std::string cleanedChipValue(std::string_view value)
{
    auto trimmed = trimmedText(value);
    if (trimmed.empty() || containsAny(trimmed, { "连接类型未知", "连接信息不可用", "文件系统未知", "制造商未知", "型号未知", "未知" })
        || containsAny(lowerCased(trimmed),
            { "connection unknown", "connection unavailable", "file system unknown", "manufacturer unknown",
                "model unknown", "unknown" }))
        return unknownText();
    return std::string(trimmed);
}

std::optional<std::string> smartModelName(const std::optional<DiskSMARTInfo>& info)
{
    if (!info)
        return std::nullopt;
    auto counts = [](std::string_view value) -> std::optional<std::string> {
        auto trimmed = trimmedText(value);
        if (trimmed.empty()
            || containsAny(lowerCased(trimmed), { "unknown", "n/a", "not reported", "unsupported", "无", "暂无", "未知" }))
            return std::nullopt;
        return std::string(trimmed);
    };
    for (const auto& detail : info->details) {
        auto keyPath = lowerCased(detail.keyPath);
        if (keyPath == "model_name" || keyPath.ends_with(".model_name")) {
            if (auto value = counts(detail.value))
                return value;
        }
        auto name = trimmedText(detail.displayName);
        if (name == "型号" || equalsIgnoringCase(name, "Model Name") || equalsIgnoringCase(name, "Model")) {
            if (auto value = counts(detail.value))
                return value;
        }
    }
    return std::nullopt;
}

std::vector<InfoItem> infoChips(const VolumeControlPanelModel& model)
{
    std::string connection = model.connectionTypeDescription;
    if (model.connectionSpeedDescription)
        connection += fmt::format(" · {}", *model.connectionSpeedDescription);
    auto modelName = smartModelName(model.smartInfo).value_or(model.hardwareModelDescription);
    return {
        { Uuid::random(), "bolt.horizontal.fill", cleanedChipValue(connection) },
        { Uuid::random(), "doc.text.fill", cleanedChipValue(model.fileSystemDescription) },
        { Uuid::random(), "building.2.fill", cleanedChipValue(model.hardwareVendorDescription) },
        { Uuid::random(), "wrench.and.screwdriver.fill", cleanedChipValue(modelName) },
    };
}

PanelButtons panelButtons(const VolumeControlPanelModel& model)
{
    PanelButtons buttons;
    buttons.chooseVolume
        = { localized("Choose Volume", "选择卷"), "externaldrive", AccentColor::systemAccent, true, {} };
    buttons.monitoring = model.isMonitoring
        ? PanelButtonContent { localized("Stop", "停止监控"), "pause.fill", AccentColor::red, model.isVolumeSelected, {} }
        : PanelButtonContent { localized("Start", "开始监控"), "play.fill", AccentColor::green, model.isVolumeSelected, {} };
    bool hasSmart = model.smartInfo.has_value();
    buttons.smart = { localized("SMART Info", "SMART 信息"), "internaldrive.fill", AccentColor::mint, hasSmart,
        hasSmart ? localized("View SMART details provided by the system", "查看系统提供的 SMART 详细信息")
                 : localized("SMART data is not available for this volume", "当前卷未提供 SMART 数据") };
    buttons.exportChart = { localized("Export Chart", "导出图表"), "square.and.arrow.down", AccentColor::blue,
        model.exportEnabled, {} };
    buttons.testButtonStops = model.isPerformanceRunning;
    if (model.isPerformanceRunning) {
        buttons.test = { localized("Stop", "停止"), "stop.fill", AccentColor::red, true, {} };
    } else {
        bool enabled = model.isPerformanceTestAvailable && model.isVolumeSelected;
        buttons.test = model.lastPerformanceResult
            ? PanelButtonContent { localized("Retest", "重测"), "arrow.clockwise", AccentColor::indigo, enabled, {} }
            : PanelButtonContent { localized("Start Test", "开始测试"), "speedometer", AccentColor::indigo, enabled, {} };
    }
    return buttons;
}

// ---- Performance strip ----

std::string phaseName(BenchmarkPhase phase)
{
    return displayName(phase);
}

std::string throughputText(double bytesPerSecond)
{
    if (!(bytesPerSecond > 0))
        return localized("0 Bytes", "0 字节") + perSecondSuffix();
    auto units = ByteUnit::Bytes | ByteUnit::KB | ByteUnit::MB | ByteUnit::GB;
    auto bytes = Formatting::wholeBytes(bytesPerSecond);
    if (bytes == 0)
        return localized("0 Bytes", "0 字节") + perSecondSuffix();
    return Formatting::byteCount(bytes, units, currentLanguage()) + perSecondSuffix();
}

std::string iopsText(double operationsPerSecond)
{
    return Formatting::iops(operationsPerSecond, currentLanguage());
}

namespace {

std::string payloadByteCount(std::uint64_t bytes)
{
    if (bytes == 0)
        return localized("0 Bytes", "0 字节");
    return Formatting::byteCount(bytes, ByteUnit::GB | ByteUnit::TB, currentLanguage());
}

}

std::string stripPayloadText(const PerformanceStripInputs& inputs)
{
    using Kind = DiskPerformanceTester::DataSize::Kind;
    if (inputs.payloadSelection.kind == Kind::availableSpace) {
        std::string text = localized("Full Disk", "全盘");
        if (inputs.payloadPreview)
            text += fmt::format(" · {}", payloadByteCount(inputs.payloadPreview->byteCount));
        return text;
    }
    if (inputs.payloadPreview) {
        if (inputs.payloadPreview->isAdjusted)
            return fmt::format("{} → {}", Messages::gigabyteLabel(inputs.payloadSelection.gigabyteCount),
                payloadByteCount(inputs.payloadPreview->byteCount));
        return payloadByteCount(inputs.payloadPreview->byteCount);
    }
    std::string_view description = inputs.payloadDescription;
    auto ascii = description.rfind(':');
    auto fullWidth = description.rfind("：");
    std::size_t cut = std::string_view::npos;
    std::size_t separatorLength = 0;
    if (ascii != std::string_view::npos)
        cut = ascii, separatorLength = 1;
    if (fullWidth != std::string_view::npos && (cut == std::string_view::npos || fullWidth > cut))
        cut = fullWidth, separatorLength = std::string_view("：").size();
    auto rest = trimmedText(cut == std::string_view::npos ? description : description.substr(cut + separatorLength));
    return rest.empty() ? std::string(description) : std::string(rest);
}

std::string finishedAtText(WallClockTime time)
{
    auto seconds = static_cast<std::time_t>(std::floor(time));
    std::tm local {};
    localtime_r(&seconds, &local);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
        local.tm_hour, local.tm_min, local.tm_sec);
}

std::vector<MetricItem> performanceStripItems(const PerformanceStripInputs& inputs)
{
    using Style = MetricItemStyle;
    if (inputs.isRunning) {
        // Before the first progress report: nothing done, the first phase, no estimate yet.
        ProgressState progress = inputs.progressState.value_or(ProgressState {});
        return {
            { Uuid::random(), "gauge.with.needle", localized("Progress", "完成度"),
                Formatting::percent(progress.fractionCompleted), Style::highlight },
            { Uuid::random(), "tray.full.fill", localized("Payload", "数据量"), stripPayloadText(inputs), Style::normal },
            { Uuid::random(), "internaldrive", localized("Phase", "当前阶段"), phaseName(progress.phase), Style::normal },
            { Uuid::random(), "clock", localized("Elapsed", "已用时"),
                Formatting::hoursMinutesSeconds(progress.elapsedTime), Style::normal },
            { Uuid::random(), "hourglass", localized("ETA", "剩余时间"),
                progress.estimatedRemainingTime ? Formatting::hoursMinutesSeconds(*progress.estimatedRemainingTime)
                                                : localized("Calculating…", "计算中…"),
                Style::normal },
        };
    }
    if (inputs.lastResult) {
        const auto& result = *inputs.lastResult;
        std::vector<MetricItem> items {
            { Uuid::random(), "externaldrive.fill", localized("Sample Size", "实际样本"),
                payloadByteCount(result.actualByteCount), Style::normal },
            { Uuid::random(), "arrow.down.circle.fill", localized("Average Write Speed", "写入平均速度"),
                throughputText(result.writeThroughput), Style::normal },
            { Uuid::random(), "arrow.up.circle.fill", localized("Average Read Speed", "读取平均速度"),
                throughputText(result.readThroughput), Style::normal },
            { Uuid::random(), "square.grid.3x3.fill", localized("Random Write IOPS", "随机写入 IOPS"),
                iopsText(result.randomWriteIOPS), Style::normal },
            { Uuid::random(), "square.grid.3x3", localized("Random Read IOPS", "随机读取 IOPS"),
                iopsText(result.randomReadIOPS), Style::normal },
            { Uuid::random(), "arrow.down.to.line.compact", localized("Peak Write Speed", "写入最大速度"),
                throughputText(result.maximumWriteThroughput), Style::normal },
            { Uuid::random(), "arrow.up.to.line.compact", localized("Peak Read Speed", "读取最大速度"),
                throughputText(result.maximumReadThroughput), Style::normal },
            { Uuid::random(), "clock.badge.checkmark", localized("Finished", "完成时间"),
                finishedAtText(result.finishedAt), Style::normal },
        };
        // A figure that a cache answered, or one faster than the link can carry, must not be
        // read as the disk's: each warning follows the result, named by its phase.
        for (const auto& phase : result.honesty.phases) {
            for (const auto& warning : phase.warnings) {
                items.push_back({ Uuid::random(), "exclamationmark.triangle.fill", phaseName(phase.phase),
                    warning.message, Style::highlight });
            }
        }
        return items;
    }
    return {
        { Uuid::random(), "speedometer", localized("Performance Test", "性能测试"), localized("No test yet.", "尚未开始。"),
            Style::placeholder },
        { Uuid::random(), "tray.full.fill", localized("Payload", "数据量"), stripPayloadText(inputs), Style::normal },
    };
}

// ---- SMART sheet ----

std::vector<SmartSummaryRow> smartSummaryRows(const DiskSMARTInfo& info)
{
    std::vector<SmartSummaryRow> rows;
    if (info.overallStatus && !info.overallStatus->empty())
        rows.push_back({ localized("Overall Status", "总体状态"), *info.overallStatus });
    if (info.isCapable)
        rows.push_back({ localized("SMART Capable", "是否支持 SMART"),
            *info.isCapable ? localized("Supported", "支持") : localized("Not Supported", "不支持") });
    return rows;
}

// ---- Folder chooser ----

std::string folderChooserStartDirectory(
    const EnvironmentLookup& environment, const std::function<bool(const std::string&)>& isDirectory)
{
    auto user = environment("USER");
    if (!user || user->empty())
        user = environment("LOGNAME");
    if (user && !user->empty() && user->find('/') == std::string::npos) {
        for (const char* base : { "/media/", "/run/media/" }) {
            std::string candidate = fmt::format("{}{}", base, *user);
            if (isDirectory(candidate))
                return candidate;
        }
    }
    if (isDirectory("/mnt"))
        return "/mnt";
    auto home = environment("HOME");
    return home && !home->empty() ? *home : std::string("/");
}

// ---- Root ----

bool selectedVolumeLocationChanged(
    const std::optional<std::string>& previousURL, const std::optional<DiskVolumeDescriptor>& current)
{
    std::optional<std::string> currentURL;
    if (current)
        currentURL = current->url;
    return previousURL != currentURL;
}

}
