#include "charts/ChartExportSupport.h"

#include "core/Formatting.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <fmt/format.h>
#include <limits>

namespace tallowin::ChartExportSupport {

namespace {

constexpr double largestSignedAsDouble = 9223372036854775807.0;

std::uint64_t saturatingAdd(std::uint64_t a, std::uint64_t b)
{
    std::uint64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return std::numeric_limits<std::uint64_t>::max();
    return sum;
}

// The CSV's numbers: up to six fraction digits; "%.3f" is the fallback for a value the decimal
// writer cannot spell (only a non-finite one could be).
std::string csvNumber(double value)
{
    if (!std::isfinite(value))
        return fmt::format("{:.3f}", value);
    return plainDecimal(value, 6);
}

std::vector<AxisTick> niceTicks(double maximum, double divisor)
{
    double rough = maximum / divisor;
    double step = maximum;
    if (rough > 0 && std::isfinite(rough)) {
        double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
        double r = rough / magnitude;
        double nice = r < 1.5 ? 1 : r < 3 ? 2 : r < 7 ? 5 : 10;
        step = magnitude * nice;
    }
    if (!(step > 0))
        return { { maximum, 1.0 } };
    double count = std::max(std::ceil(maximum / step), 1.0);
    std::vector<AxisTick> ticks;
    // A finite maximum over a positive step gives a bounded count; the cap guards against a
    // denormal step making it astronomically large.
    auto last = static_cast<std::int64_t>(std::min(count, 1.0e6));
    ticks.reserve(static_cast<std::size_t>(last) + 2);
    for (std::int64_t k = 0; k <= last; ++k) {
        double value = std::min(step * static_cast<double>(k), maximum);
        ticks.push_back({ value, value / maximum });
    }
    if (ticks.back().value != maximum)
        ticks.push_back({ maximum, 1.0 });
    return ticks;
}

// Bytes clamped to [0, 2^63 − 1] and rounded to a whole number.
std::uint64_t clampedWholeBytes(double bytes)
{
    if (!(bytes > 0))
        return 0;
    if (bytes >= largestSignedAsDouble)
        return static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    return static_cast<std::uint64_t>(std::llround(bytes));
}

}

std::string plainDecimal(double value, int maxFractionDigits)
{
    std::string text = Formatting::groupedDecimal(value, maxFractionDigits);
    std::erase(text, ',');
    return text;
}

std::string isoTimestamp(WallClockTime time)
{
    double milliseconds = std::floor(time * 1000.0);
    auto wholeSeconds = static_cast<std::time_t>(std::floor(milliseconds / 1000.0));
    auto fraction = static_cast<int>(milliseconds - static_cast<double>(wholeSeconds) * 1000.0);
    std::tm utc {};
    gmtime_r(&wholeSeconds, &utc);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", utc.tm_year + 1900, utc.tm_mon + 1,
        utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, fraction);
}

double rateFactor(int sampleIntervalMs)
{
    return sampleIntervalMs >= 1 ? 1000.0 / sampleIntervalMs : 0.0;
}

std::string csv(const std::vector<DiskSample>& samples, int sampleIntervalMs)
{
    const double secondsPerSample = sampleIntervalMs >= 1 ? sampleIntervalMs / 1000.0 : 0.0;
    const double factor = rateFactor(sampleIntervalMs);
    std::string text = csvHeader;
    // About 90 bytes a line; one reservation keeps a 60000-line table from reallocating.
    text.reserve(text.size() + samples.size() * 96);
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const auto& sample = samples[i];
        double elapsed = secondsPerSample > 0 ? secondsPerSample * static_cast<double>(i) : 0.0;
        text += '\n';
        text += isoTimestamp(sample.timestamp);
        text += ',';
        text += csvNumber(elapsed);
        text += ',';
        text += fmt::format("{},{},", sample.readBytes, sample.writeBytes);
        text += csvNumber(factor * static_cast<double>(sample.readBytes));
        text += ',';
        text += csvNumber(factor * static_cast<double>(sample.writeBytes));
    }
    return text;
}

std::vector<DownsampledPoint> reducePoints(
    const std::vector<DiskSample>& samples, std::int64_t maximumCount, double factor)
{
    const auto n = static_cast<std::int64_t>(samples.size());
    auto pointAt = [&](std::int64_t index) {
        const auto& sample = samples[static_cast<std::size_t>(index)];
        return DownsampledPoint { index, static_cast<double>(sample.readBytes) * factor,
            static_cast<double>(sample.writeBytes) * factor };
    };
    std::vector<DownsampledPoint> points;
    if (maximumCount < 3 || n <= maximumCount) {
        points.reserve(samples.size());
        for (std::int64_t i = 0; i < n; ++i)
            points.push_back(pointAt(i));
        return points;
    }
    const std::int64_t last = n - 1;
    const std::int64_t step = std::max<std::int64_t>((last - 1 + maximumCount - 3) / (maximumCount - 2), 1);
    points.reserve(static_cast<std::size_t>(maximumCount) + 2);
    points.push_back(pointAt(0));
    std::int64_t i = 1;
    while (true) {
        std::int64_t end = std::min(i + step, last);
        if (end <= i)
            break;
        double maximumRead = 0;
        double maximumWrite = 0;
        for (std::int64_t k = i; k < end; ++k) {
            const auto& sample = samples[static_cast<std::size_t>(k)];
            maximumRead = std::max(maximumRead, static_cast<double>(sample.readBytes) * factor);
            maximumWrite = std::max(maximumWrite, static_cast<double>(sample.writeBytes) * factor);
        }
        points.push_back({ std::min(i + (end - i) / 2, last), maximumRead, maximumWrite });
        std::int64_t previous = i;
        i = end;
        if (!(previous + step < last))
            break;
    }
    if (points.back().index != last)
        points.push_back(pointAt(last));
    return points;
}

std::vector<AxisTick> verticalTicks(double maximum)
{
    if (!(maximum > 0))
        return { { 0, 0 } };
    return niceTicks(maximum, 5);
}

std::vector<AxisTick> horizontalTicks(std::int64_t sampleCount, int sampleIntervalMs)
{
    if (sampleCount < 2 || sampleIntervalMs < 1)
        return { { 0, 0 } };
    double maximum = static_cast<double>(sampleCount - 1) * sampleIntervalMs;
    if (!(maximum > 0))
        return { { 0, 0 } };
    return niceTicks(maximum, 6);
}

std::string durationText(double milliseconds, Language language)
{
    const bool english = language == Language::English;
    if (std::isnan(milliseconds) || milliseconds < 1000) {
        double shown = std::isnan(milliseconds) ? 0 : std::round(std::max(milliseconds, 0.0));
        return fmt::format("{:.0f}{}", shown, english ? " ms" : " 毫秒");
    }
    double value = 0;
    const char* suffix = nullptr;
    if (milliseconds < 60'000) {
        value = milliseconds / 1000;
        suffix = english ? " s" : " 秒";
    } else if (milliseconds < 3'600'000) {
        value = milliseconds / 60'000;
        suffix = english ? " min" : " 分钟";
    } else {
        value = milliseconds / 3'600'000;
        suffix = english ? " h" : " 小时";
    }
    std::string number = std::isfinite(value) ? plainDecimal(value, 2) : fmt::format("{:.2f}", value);
    return number + suffix;
}

std::string durationText(double milliseconds)
{
    return durationText(milliseconds, currentLanguage());
}

std::string throughputText(double bytesPerSecond, Language language)
{
    using Formatting::ByteUnit;
    auto units = ByteUnit::Bytes | ByteUnit::KB | ByteUnit::MB | ByteUnit::GB | ByteUnit::TB;
    std::string text = Formatting::byteCount(clampedWholeBytes(bytesPerSecond), units, language);
    text += language == Language::English ? "/s" : "/秒";
    return text;
}

std::string throughputText(double bytesPerSecond)
{
    return throughputText(bytesPerSecond, currentLanguage());
}

Summary summarize(const std::vector<DiskSample>& samples, int sampleIntervalMs)
{
    Summary summary;
    for (const auto& sample : samples) {
        summary.totalReadBytes = saturatingAdd(summary.totalReadBytes, sample.readBytes);
        summary.totalWriteBytes = saturatingAdd(summary.totalWriteBytes, sample.writeBytes);
    }
    if (sampleIntervalMs >= 1 && samples.size() >= 2)
        summary.totalTimeMs = static_cast<double>(sampleIntervalMs) * static_cast<double>(samples.size() - 1);
    if (summary.totalTimeMs > 0) {
        auto total = saturatingAdd(summary.totalReadBytes, summary.totalWriteBytes);
        summary.averageThroughput = static_cast<double>(total) / (summary.totalTimeMs / 1000.0);
    }
    return summary;
}

std::vector<std::string> summaryLines(const Summary& summary, Language language)
{
    using Formatting::ByteUnit;
    auto units = ByteUnit::Bytes | ByteUnit::KB | ByteUnit::MB | ByteUnit::GB | ByteUnit::TB | ByteUnit::PB;
    auto bytes = [&](std::uint64_t count) {
        return Formatting::byteCount(std::min<std::uint64_t>(count, std::numeric_limits<std::int64_t>::max()),
            units, language);
    };
    if (language == Language::English)
        return {
            "Total Sampling Time: " + durationText(summary.totalTimeMs, language),
            "Average Throughput: " + throughputText(summary.averageThroughput, language),
            "Cumulative Read: " + bytes(summary.totalReadBytes),
            "Cumulative Write: " + bytes(summary.totalWriteBytes),
        };
    return {
        "总采样时间：" + durationText(summary.totalTimeMs, language),
        "平均速度：" + throughputText(summary.averageThroughput, language),
        "累计读取：" + bytes(summary.totalReadBytes),
        "累计写入：" + bytes(summary.totalWriteBytes),
    };
}

std::string waitingForDataText(Language language)
{
    return language == Language::English ? "Waiting for data…" : "等待数据…";
}

std::string readLegendText(Language language)
{
    return language == Language::English ? "Green: Read" : "绿色：读取";
}

std::string writeLegendText(Language language)
{
    return language == Language::English ? "Orange: Write" : "橙色：写入";
}

std::string proposedCsvFileName(WallClockTime time)
{
    auto seconds = static_cast<std::time_t>(std::floor(time));
    std::tm local {};
    localtime_r(&seconds, &local);
    return fmt::format("Tallowin-{:04}{:02}{:02}-{:02}{:02}{:02}.csv", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
}

std::string pngPathFor(const std::string& csvPath)
{
    return std::filesystem::path(csvPath).replace_extension("png").string();
}

}
