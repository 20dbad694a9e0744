#pragma once

#include "core/Language.h"
#include "core/Records.h"

#include <cstdint>
#include <string>
#include <vector>

// The Qt-free half of the chart export: the CSV table, the reduction of a run to drawable points,
// axis ticks, the texts of the picture and its summary figures. The picture itself is drawn by
// ChartPngRenderer (charts_render), which takes everything it writes from here.
namespace tallowin::ChartExportSupport {

struct DownsampledPoint {
    std::int64_t index { 0 };
    double readSpeed { 0 };
    double writeSpeed { 0 };

    friend bool operator==(const DownsampledPoint&, const DownsampledPoint&) = default;
};

// value in the axis unit (bytes per second, or milliseconds), position 0 … 1 along the axis.
struct AxisTick {
    double value { 0 };
    double position { 0 };

    friend bool operator==(const AxisTick&, const AxisTick&) = default;
};

inline constexpr const char* csvHeader
    = "timestamp,elapsed_seconds,read_bytes,write_bytes,read_bytes_per_sec,write_bytes_per_sec";

// One line per sample after the header, joined by "\n" with none after the last.
std::string csv(const std::vector<DiskSample>&, int sampleIntervalMs);

// bytes per second = count × rateFactor; 0 when the interval is below 1 ms.
double rateFactor(int sampleIntervalMs);

// At most about maximumCount points; the first and last samples appear exactly and every point in
// between carries the highest rates of the samples it stands for.
std::vector<DownsampledPoint> reducePoints(
    const std::vector<DiskSample>&, std::int64_t maximumCount, double rateFactor);

// Nice-number ticks from 0 to the axis end; the last one sits exactly at the end.
std::vector<AxisTick> verticalTicks(double maximum);
std::vector<AxisTick> horizontalTicks(std::int64_t sampleCount, int sampleIntervalMs);

std::string durationText(double milliseconds, Language);
std::string durationText(double milliseconds);
std::string throughputText(double bytesPerSecond, Language);
std::string throughputText(double bytesPerSecond);

// Decimal text without grouping, at most maxFractionDigits digits, half to even, no trailing zeros.
std::string plainDecimal(double value, int maxFractionDigits);
// ISO 8601 in UTC with milliseconds: 2025-03-01T08:15:30.250Z.
std::string isoTimestamp(WallClockTime);

struct Summary {
    std::uint64_t totalReadBytes { 0 };
    std::uint64_t totalWriteBytes { 0 };
    double totalTimeMs { 0 };
    double averageThroughput { 0 };

    friend bool operator==(const Summary&, const Summary&) = default;
};
Summary summarize(const std::vector<DiskSample>&, int sampleIntervalMs);
// The four lines of the picture's summary box, in order.
std::vector<std::string> summaryLines(const Summary&, Language);

// Texts of the picture.
std::string waitingForDataText(Language);
std::string readLegendText(Language);
std::string writeLegendText(Language);

// "Tallowin-yyyyMMdd-HHmmss.csv" in local time, the name proposed for a new export.
std::string proposedCsvFileName(WallClockTime);
// The picture goes next to the table: the same path with the extension replaced by "png".
std::string pngPathFor(const std::string& csvPath);

}
