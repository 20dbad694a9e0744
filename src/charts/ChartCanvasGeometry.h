#pragma once

#include "charts/ChartExportSupport.h"
#include "charts/DiskIOGraphRendererCache.h"
#include "core/Language.h"
#include "core/Records.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// The live chart's arithmetic without any toolkit: where slots and dots go, how far the chart may
// be panned, which samples reach into the plot, the axes' ticks and labels, the hover pick, where
// the tooltip goes and what it says, and what a finished pinch or drag leaves behind. The widget
// only draws what these functions return, so everything a user could see go wrong is testable
// here. Coordinates are the plot's own: x to the right, y downwards, (0, 0) at the top-left corner.
namespace tallowin::ChartCanvasGeometry {

using ChartExportSupport::AxisTick;

inline constexpr double minScale = 1.0;
inline constexpr double maxScale = 400.0;
inline constexpr std::int64_t defaultTotalSlotCount = 256;
// A pointer this far outside the plot still hovers; points this far outside still get picked.
inline constexpr double hoverPointerMargin = 16;
inline constexpr double hoverPointMargin = 32;
// The drag starts after this much movement, in either direction.
inline constexpr double dragThreshold = 10;
// A pinch counts once its factor has moved this far from 1.
inline constexpr double pinchMinimumChange = 0.01;
// Height of the time axis strip along the plot's bottom edge.
inline constexpr double timeAxisHeight = 36;

struct Point {
    double x { 0 };
    double y { 0 };

    friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
    double width { 0 };
    double height { 0 };

    friend bool operator==(const Size&, const Size&) = default;
};

// Everything the horizontal layout depends on.
struct LayoutInput {
    Size plot;
    std::int64_t sampleCount { 0 };
    std::int64_t leadingPaddingCount { 0 };
    std::int64_t totalSlotCount { defaultTotalSlotCount };
    double scale { 1 };
    double magnifyBy { 1 };
    double offset { 0 };
    double dragTranslation { 0 };

    friend bool operator==(const LayoutInput&, const LayoutInput&) = default;
};

struct Geometry {
    std::int64_t slotCount { 0 };
    double baseSpacing { 0 };
    double effectiveScale { 1 };
    // Points between neighbouring slots.
    double step { 0 };
    double leadingOffset { 0 };
    // The pan limits of the x-origin.
    double maxOffset { 0 };
    double lowerBound { 0 };
    // Where the oldest displayed sample is drawn.
    double xOrigin { 0 };

    double xOf(std::int64_t index) const { return xOrigin + static_cast<double>(index) * step; }
    friend bool operator==(const Geometry&, const Geometry&) = default;
};

Geometry geometry(const LayoutInput&);
// The x-origin a raw (unclamped) one is held to: never right of the oldest sample's own slot,
// never so far left that the newest sample leaves the right edge.
double clampedXOrigin(double raw, double leadingOffset, double step, std::int64_t slotCount, double width);

// The sample indices that reach into the plot, one slot of margin on either side; empty for no samples.
IndexRange visibleRange(std::int64_t sampleCount, double xOrigin, double step, double width);
// The number of plotted points asked of the downsampling cache: two per point of width.
std::int64_t cacheTargetCount(double width);

// Throughput axis: a top of 1, 10 or 100 GB/s (or the next multiple of 100 GB/s) split in four;
// only a zero tick while nothing was measured.
double largestRate(const std::vector<IndexedSample>&);
std::vector<AxisTick> throughputTicks(double largestRate);
double yScale(const std::vector<AxisTick>& throughputTicks, double height);
double yOf(double value, double yScale, double height);

// Time axis of the unzoomed chart: milliseconds before now; position 1 is now, 0 the far end.
std::vector<AxisTick> timeTicks(int sampleIntervalMs, std::int64_t totalSlotCount = defaultTotalSlotCount);

// Grid lines: slot lines follow the pan, level lines split the height in five.
std::vector<double> slotGridXs(double xOrigin, double step, double width);
std::vector<double> levelGridYs(double height);

struct AxisLabel {
    AxisTick tick;
    std::string text;
    // Throughput labels: the centre of the text. Time labels: the text's bottom-right corner.
    Point anchor;

    friend bool operator==(const AxisLabel&, const AxisLabel&) = default;
};
// One label per tick above zero, just below its tick mark and never below the bottom edge.
std::vector<AxisLabel> throughputLabels(const std::vector<AxisTick>&, Size plot, Language);
// Every tick but the first and the last, once it is half a millisecond or more before now; the
// anchor is in plot coordinates.
std::vector<AxisLabel> timeLabels(const std::vector<AxisTick>&, Size plot, Language);

// "50 s ago", "1.67 min", "0" …; below half a millisecond is "0" with the ago flag, "0 ms" without.
std::string durationText(double milliseconds, bool ago, Language);
std::string rateText(double bytesPerSecond, Language);
std::string byteText(std::uint64_t bytes, Language);
// "yyyy-MM-dd HH:mm:ss.SSS" in the local time zone.
std::string timestampText(WallClockTime);

// The plotted point under a pointer (nullopt: no pointer, or the pointer has left).
std::optional<IndexedSample> hoverPick(std::optional<Point> pointer, Size plot,
    const std::vector<IndexedSample>& plotted, double step, double xOrigin);
// After the displayed samples changed: the hovered point kept at its index, or its nearest neighbour.
std::optional<IndexedSample> reselectHover(const std::optional<IndexedSample>& hovered,
    std::int64_t displayedCount, const std::vector<IndexedSample>& plotted);

struct HoverMarkers {
    double x { 0 };
    double yRead { 0 };
    double yWrite { 0 };

    double yTop() const { return yRead < yWrite ? yRead : yWrite; }
    friend bool operator==(const HoverMarkers&, const HoverMarkers&) = default;
};
std::optional<HoverMarkers> hoverMarkers(const IndexedSample&, const Geometry&, double yScale, double height);

// The tooltip's size before it was ever measured.
inline constexpr Size unmeasuredTooltipSize { 240, 80 };
// Top-left corner: right of the marker and above the higher dot, flipped left near the right edge
// and below near the top, and kept 12 points inside the plot when it fits.
Point tooltipOrigin(double markerX, double yTop, Size measured, Size plot);

struct TooltipTexts {
    std::string primaryLine;
    std::string secondaryLine;

    friend bool operator==(const TooltipTexts&, const TooltipTexts&) = default;
};
TooltipTexts tooltipTexts(const IndexedSample&, int sampleIntervalMs, const std::vector<DiskSample>& displayed, Language);

// The end results of gestures: what goes into the shared viewport.
double pinchEndScale(double scale, double finalFactor);
// The factor a pinch shows: 1 until it has moved far enough to count.
double recognisedPinchFactor(double accumulatedFactor);
// The stored offset after a drag: the x-origin it leads to, clamped at the stored scale.
double dragEndOffset(const LayoutInput& atRest, double finalTranslation);
// A Ctrl+wheel step on a running zoom: 1.1 per notch of 120, held so that scale × factor stays
// within 1 … 400 and a turn back responds at once.
double wheelMagnifyBy(double magnifyBy, double scale, double angleDelta);

}
