#include "charts/ChartCanvasGeometry.h"

#include "core/Formatting.h"

#include <algorithm>
#include <cmath>
#include <ctime>
#include <fmt/format.h>
#include <limits>

namespace tallowin::ChartCanvasGeometry {

namespace {

// Guards the grid loops against a step so small (or a plot so wide) that they would never end.
constexpr std::size_t maximumGridLines = 100'000;

bool isPositiveFinite(double value)
{
    return value > 0 && std::isfinite(value);
}

struct PanLimits {
    double maxOffset { 0 };
    double lowerBound { 0 };
};

// How far the x-origin may go: right up to the oldest sample's own slot, left until the newest
// sample reaches the right edge (or, with too few slots to fill the width, the far end does).
PanLimits panLimits(double leadingOffset, double step, std::int64_t slotCount, double width)
{
    PanLimits limits;
    limits.maxOffset = std::max(leadingOffset, 0.0);
    const double contentWidth = step * static_cast<double>(std::max<std::int64_t>(slotCount, 1) - 1);
    if (slotCount < 2)
        limits.lowerBound = -width;
    else if (contentWidth <= width)
        limits.lowerBound = std::min(limits.maxOffset, leadingOffset + width - contentWidth);
    else
        limits.lowerBound = leadingOffset + width - contentWidth;
    return limits;
}

}

Geometry geometry(const LayoutInput& input)
{
    Geometry result;
    const double width = input.plot.width;
    result.slotCount = std::max(input.sampleCount + input.leadingPaddingCount, input.totalSlotCount);
    const std::int64_t atLeastOne = std::max<std::int64_t>(result.slotCount, 1);
    result.baseSpacing = width / static_cast<double>(std::max<std::int64_t>(atLeastOne - 1, 1));
    result.effectiveScale = std::clamp(input.scale * input.magnifyBy, minScale, maxScale);
    // A NaN scale would pass clamp unchanged and poison every position.
    if (std::isnan(result.effectiveScale))
        result.effectiveScale = minScale;
    result.step = result.baseSpacing * result.effectiveScale;
    result.leadingOffset = result.step * static_cast<double>(input.leadingPaddingCount);
    const double raw = result.leadingOffset + input.offset + input.dragTranslation;

    const PanLimits limits = panLimits(result.leadingOffset, result.step, result.slotCount, width);
    result.maxOffset = limits.maxOffset;
    result.lowerBound = limits.lowerBound;
    result.xOrigin = clampedXOrigin(raw, result.leadingOffset, result.step, result.slotCount, width);
    return result;
}

double clampedXOrigin(double raw, double leadingOffset, double step, std::int64_t slotCount, double width)
{
    const PanLimits limits = panLimits(leadingOffset, step, slotCount, width);
    // fmax drops a NaN raw value (a gesture gone wrong) in favour of the limit.
    return std::min(limits.maxOffset, std::fmax(raw, limits.lowerBound));
}

IndexRange visibleRange(std::int64_t sampleCount, double xOrigin, double step, double width)
{
    if (sampleCount < 1)
        return {};
    if (!isPositiveFinite(step))
        return { 0, sampleCount };
    const double first = std::floor((-step - xOrigin) / step);
    const double last = std::ceil((step + width - xOrigin) / step);
    // Both are bounded by the sample count before they are turned into integers.
    const double lower = std::max(first, 0.0);
    const double upper = std::min(static_cast<double>(sampleCount - 1), last);
    if (upper >= lower)
        return { static_cast<std::int64_t>(lower), static_cast<std::int64_t>(upper) + 1 };
    const auto only = static_cast<std::int64_t>(std::min(static_cast<double>(sampleCount - 1), lower));
    return { only, only + 1 };
}

std::int64_t cacheTargetCount(double width)
{
    const double target = std::trunc(width * 2);
    if (!(target >= 1))
        return 1;
    if (target >= static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::numeric_limits<std::int32_t>::max();
    return static_cast<std::int64_t>(target);
}

double largestRate(const std::vector<IndexedSample>& plotted)
{
    double largest = 0;
    for (const auto& point : plotted)
        largest = std::max({ largest, point.readSpeed, point.writeSpeed });
    return largest;
}

std::vector<AxisTick> throughputTicks(double largest)
{
    if (!(largest > 0))
        return { { 0, 0 } };
    double top = 0;
    for (double candidate : { 1e9, 1e10, 1e11 }) {
        if (candidate >= largest) {
            top = candidate;
            break;
        }
    }
    if (top == 0)
        top = 1e11 * std::ceil(largest / 1e11);
    std::vector<AxisTick> ticks;
    ticks.reserve(5);
    for (int k = 0; k <= 4; ++k) {
        double value = top * k / 4;
        ticks.push_back({ value, value / top });
    }
    return ticks;
}

double yScale(const std::vector<AxisTick>& ticks, double height)
{
    if (ticks.empty() || !(ticks.back().value > 0))
        return 0;
    return height / ticks.back().value;
}

double yOf(double value, double scale, double height)
{
    double y = height - std::max(value, 0.0) * scale;
    if (std::isnan(y))
        return height;
    return std::clamp(y, 0.0, std::max(height, 0.0));
}

std::vector<AxisTick> timeTicks(int sampleIntervalMs, std::int64_t totalSlotCount)
{
    if (sampleIntervalMs < 1)
        return { { 0, 1.0 } };
    const double interval = sampleIntervalMs;
    const double total = interval * static_cast<double>(totalSlotCount - 1 >= 2 ? totalSlotCount - 1 : 1);
    const std::vector<AxisTick> endsOnly { { total, 0 }, { 0, 1.0 } };
    if (!(total > 0))
        return endsOnly;

    const double rough = total / 6;
    double step = total;
    if (rough != 0 && !std::isinf(rough)) {
        const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
        const double fraction = rough / magnitude;
        step = magnitude * (fraction < 1.5 ? 1 : fraction < 3 ? 2 : fraction < 7 ? 5 : 10);
    }
    // The axis is read in whole samples, so a tick never falls between two of them.
    if (isPositiveFinite(step))
        step = std::max(std::ceil(step / interval), 1.0) * interval;
    if (!(step > 0))
        return endsOnly;

    const double limit = total * 0.001 <= 1e-6 ? total + 1e-6 : total + total * 0.001;
    std::vector<AxisTick> ticks;
    for (std::size_t k = 0; k < maximumGridLines; ++k) {
        const double v = static_cast<double>(k) * step;
        if (!(v <= limit))
            break;
        const double value = std::min(total, v);
        ticks.push_back({ value, 1 - value / total });
    }
    if (ticks.empty() || ticks.front().position < 0.999999)
        ticks.insert(ticks.begin(), { 0, 1.0 });
    if (ticks.back().position > 1e-6)
        ticks.push_back({ total, 0 });
    return ticks;
}

std::vector<double> slotGridXs(double xOrigin, double step, double width)
{
    std::vector<double> xs;
    if (!isPositiveFinite(step) || !std::isfinite(xOrigin))
        return xs;
    double first = std::fmod(xOrigin, step);
    if (first > 0)
        first -= step;
    for (std::size_t k = 0; xs.size() < maximumGridLines; ++k) {
        const double x = first + static_cast<double>(k) * step;
        if (!(x <= width))
            break;
        xs.push_back(x);
    }
    return xs;
}

std::vector<double> levelGridYs(double height)
{
    std::vector<double> ys;
    const double spacing = height / 5;
    if (!isPositiveFinite(spacing))
        return ys;
    // k × spacing rather than a running sum: the bottom line must not be lost to rounding.
    for (int k = 0; k <= 5; ++k) {
        const double y = std::min(spacing * k, height);
        ys.push_back(y);
    }
    return ys;
}

std::vector<AxisLabel> throughputLabels(const std::vector<AxisTick>& ticks, Size plot, Language language)
{
    std::vector<AxisLabel> labels;
    for (const auto& tick : ticks) {
        if (!(tick.value > 0))
            continue;
        const double y = std::min(plot.height - tick.position * plot.height + 12, plot.height - 8);
        labels.push_back({ tick, rateText(tick.value, language), { 44, y } });
    }
    return labels;
}

std::vector<AxisLabel> timeLabels(const std::vector<AxisTick>& ticks, Size plot, Language language)
{
    std::vector<AxisLabel> labels;
    for (std::size_t i = 1; i + 1 < ticks.size(); ++i) {
        const double value = std::max(ticks[i].value, 0.0);
        if (!(value >= 0.5))
            continue;
        // Right edge on the tick, bottom 18 points above the axis line at the plot's bottom edge.
        const Point anchor { ticks[i].position * plot.width, plot.height - 18 };
        labels.push_back({ ticks[i], durationText(value, true, language), anchor });
    }
    return labels;
}

std::string durationText(double milliseconds, bool ago, Language language)
{
    const bool english = language == Language::English;
    if (!(milliseconds >= 0.5))
        return ago ? "0" : ChartExportSupport::durationText(0, language);
    std::string text = ChartExportSupport::durationText(milliseconds, language);
    if (ago)
        text += english ? " ago" : "前";
    return text;
}

std::string rateText(double bytesPerSecond, Language language)
{
    return ChartExportSupport::throughputText(bytesPerSecond, language);
}

std::string byteText(std::uint64_t bytes, Language language)
{
    using Formatting::ByteUnit;
    const auto units = ByteUnit::Bytes | ByteUnit::KB | ByteUnit::MB | ByteUnit::GB | ByteUnit::TB;
    return Formatting::byteCount(
        std::min<std::uint64_t>(bytes, std::numeric_limits<std::int64_t>::max()), units, language);
}

std::string timestampText(WallClockTime time)
{
    const double milliseconds = std::floor(time * 1000.0);
    if (!std::isfinite(milliseconds))
        return {};
    const auto wholeSeconds = static_cast<std::time_t>(std::floor(milliseconds / 1000.0));
    const auto fraction = static_cast<int>(milliseconds - static_cast<double>(wholeSeconds) * 1000.0);
    std::tm local {};
    localtime_r(&wholeSeconds, &local);
    return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:03}", local.tm_year + 1900, local.tm_mon + 1,
        local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, fraction);
}

std::optional<IndexedSample> hoverPick(std::optional<Point> pointer, Size plot,
    const std::vector<IndexedSample>& plotted, double step, double xOrigin)
{
    if (!pointer || !(plot.width > 0) || !(plot.height > 0))
        return std::nullopt;
    const double w = plot.width;
    const double h = plot.height;
    if (!(pointer->x >= -hoverPointerMargin && pointer->x <= w + hoverPointerMargin
            && pointer->y >= -hoverPointerMargin && pointer->y <= h + hoverPointerMargin))
        return std::nullopt;
    const IndexedSample* best = nullptr;
    double bestDistance = std::numeric_limits<double>::infinity();
    for (const auto& point : plotted) {
        const double x = xOrigin + static_cast<double>(point.index) * step;
        if (!(x >= -hoverPointMargin && x <= w + hoverPointMargin))
            continue;
        const double distance = std::abs(x - pointer->x);
        // Strictly smaller: on a tie the earlier point stays.
        if (distance < bestDistance) {
            bestDistance = distance;
            best = &point;
        }
    }
    if (!best)
        return std::nullopt;
    return *best;
}

std::optional<IndexedSample> reselectHover(const std::optional<IndexedSample>& hovered,
    std::int64_t displayedCount, const std::vector<IndexedSample>& plotted)
{
    if (displayedCount < 1 || !hovered || plotted.empty())
        return std::nullopt;
    const std::int64_t index = std::clamp<std::int64_t>(hovered->index, 0, displayedCount - 1);
    const IndexedSample* nearest = nullptr;
    std::int64_t nearestDistance = std::numeric_limits<std::int64_t>::max();
    for (const auto& point : plotted) {
        if (point.index == index)
            return point;
        // Indices are bounded by the history's length; the difference cannot overflow.
        const std::int64_t distance = point.index > index ? point.index - index : index - point.index;
        if (distance < nearestDistance) {
            nearestDistance = distance;
            nearest = &point;
        }
    }
    return *nearest;
}

std::optional<HoverMarkers> hoverMarkers(const IndexedSample& hovered, const Geometry& layout, double scale, double height)
{
    const double x = static_cast<double>(hovered.index) * layout.step + layout.xOrigin;
    if (!std::isfinite(x))
        return std::nullopt;
    return HoverMarkers { x, yOf(hovered.readSpeed, scale, height), yOf(hovered.writeSpeed, scale, height) };
}

Point tooltipOrigin(double markerX, double yTop, Size measured, Size plot)
{
    const Size size = measured == Size {} ? unmeasuredTooltipSize : measured;
    const double margin = 12;
    const double gap = 16;
    double x = markerX + gap + size.width > plot.width - margin ? markerX - size.width - gap : markerX + gap;
    x = std::min(std::max(x, margin), std::max(plot.width - size.width - margin, margin));
    double y = yTop - size.height - gap;
    if (y < margin)
        y = yTop + gap;
    y = std::min(std::max(y, margin), std::max(plot.height - size.height - margin, margin));
    return { x, y };
}

TooltipTexts tooltipTexts(const IndexedSample& point, int sampleIntervalMs,
    const std::vector<DiskSample>& displayed, Language language)
{
    const bool english = language == Language::English;
    TooltipTexts texts;
    std::vector<std::string> parts;
    if (point.index >= 0 && point.index < static_cast<std::int64_t>(displayed.size())) {
        const auto& sample = displayed[static_cast<std::size_t>(point.index)];
        parts.push_back(fmt::format("{}: {}", english ? "Time" : "时间", timestampText(sample.timestamp)));
    }
    const double interval = sampleIntervalMs;
    parts.push_back(fmt::format("{}: {}", english ? "Elapsed" : "相对时间",
        durationText(static_cast<double>(point.index) * interval, false, language)));
    parts.push_back(fmt::format("{}: {}", english ? "Window" : "采样时长",
        durationText(static_cast<double>(std::max<std::int64_t>(point.sampleCount, 1)) * std::max(interval, 0.0),
            false, language)));
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            texts.primaryLine += " · ";
        texts.primaryLine += parts[i];
    }
    texts.secondaryLine = fmt::format("{}: {} ({}) | {}: {} ({})", english ? "Read" : "读取",
        rateText(point.readSpeed, language), byteText(point.readBytes, language), english ? "Write" : "写入",
        rateText(point.writeSpeed, language), byteText(point.writeBytes, language));
    return texts;
}

double pinchEndScale(double scale, double finalFactor)
{
    const double scaled = scale * finalFactor;
    if (std::isnan(scaled))
        return std::isnan(scale) ? minScale : std::clamp(scale, minScale, maxScale);
    return std::clamp(scaled, minScale, maxScale);
}

double recognisedPinchFactor(double accumulatedFactor)
{
    if (!std::isfinite(accumulatedFactor) || !(accumulatedFactor > 0))
        return 1;
    return std::abs(accumulatedFactor - 1) >= pinchMinimumChange ? accumulatedFactor : 1;
}

double dragEndOffset(const LayoutInput& atRest, double finalTranslation)
{
    LayoutInput input = atRest;
    input.magnifyBy = 1;
    input.dragTranslation = std::isfinite(finalTranslation) ? finalTranslation : 0;
    const Geometry layout = geometry(input);
    return layout.xOrigin - layout.leadingOffset;
}

double wheelMagnifyBy(double magnifyBy, double scale, double angleDelta)
{
    if (!isPositiveFinite(scale))
        return magnifyBy;
    const double factor = std::pow(1.1, angleDelta / 120.0);
    if (!isPositiveFinite(factor))
        return magnifyBy;
    const double held = std::clamp(scale * magnifyBy * factor, minScale, maxScale);
    return held / scale;
}

}
