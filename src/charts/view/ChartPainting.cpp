#include "charts/view/ChartPainting.h"

#include "charts/view/ChartAppearance.h"

#include <QImage>
#include <QLineF>
#include <QList>
#include <QString>

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

namespace tallowin {

namespace {

using namespace ChartCanvasGeometry;
using ChartAppearance::white;

constexpr double dotDiameter = 4;
constexpr double hoveredDotDiameter = 8;
constexpr double markerDiameter = 12;
constexpr double tickLength = 8;

void paintWaitingText(QPainter& painter, const PlotScene& scene)
{
    painter.setFont(scene.unifiedTextFont);
    painter.setPen(ChartAppearance::secondaryText());
    painter.drawText(QRectF(QPointF(0, 0), scene.plot), Qt::AlignCenter,
        QString::fromStdString(ChartExportSupport::waitingForDataText(scene.language)));
}

// A hairline of the given width as whole device pixels whose opacity carries the coverage an
// antialiased line would have had. Hundreds of antialiased grid lines cost milliseconds per frame;
// filled pixel columns cost next to nothing and look the same.
struct Hairline {
    double thickness { 0 };
    QColor colour;
};

Hairline hairline(const QColor& colour, double width, qreal devicePixelRatio)
{
    const double coverage = width * devicePixelRatio;
    const double pixels = std::max(std::ceil(coverage), 1.0);
    QColor blended = colour;
    blended.setAlphaF(static_cast<float>(colour.alphaF() * coverage / pixels));
    return { pixels / devicePixelRatio, blended };
}

// One device pixel wide is the cosmetic pen's fast path; wider hairlines (high-density screens)
// take the ordinary stroker.
QPen hairlinePen(const Hairline& line, qreal devicePixelRatio)
{
    QPen pen(line.colour, line.thickness * devicePixelRatio);
    pen.setCosmetic(true);
    return pen;
}

double snapped(double value, qreal devicePixelRatio)
{
    return std::floor(value * devicePixelRatio) / devicePixelRatio;
}

void paintGrid(QPainter& painter, const PlotScene& scene, qreal ratio)
{
    const double w = scene.plot.width();
    const double h = scene.plot.height();
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing, false);

    const Hairline slot = hairline(white(0.12), 0.6, ratio);
    QList<QLineF> lines;
    for (double x : slotGridXs(scene.layout.xOrigin, scene.layout.step, w))
        lines.append(QLineF(snapped(x, ratio), 0, snapped(x, ratio), h));
    painter.setPen(hairlinePen(slot, ratio));
    painter.drawLines(lines);

    const Hairline level = hairline(white(0.084), 0.6, ratio);
    lines.clear();
    for (double y : levelGridYs(h)) {
        const double at = std::min(snapped(y, ratio), h - level.thickness);
        lines.append(QLineF(0, at, w, at));
    }
    painter.setPen(hairlinePen(level, ratio));
    painter.drawLines(lines);
    painter.restore();
}

// A dot drawn once with antialiasing and then copied for every point: a few thousand antialiased
// ellipses cost tens of milliseconds per frame, copies of a small image a fraction of that.
const QImage& dotSprite(const QColor& colour, double diameter, qreal devicePixelRatio)
{
    using Key = std::tuple<QRgb, double, qreal>;
    // Main thread only, like all drawing; a handful of entries (two colours, two sizes).
    static std::map<Key, QImage> sprites;
    const Key key { colour.rgba(), diameter, devicePixelRatio };
    auto found = sprites.find(key);
    if (found != sprites.end())
        return found->second;
    const int side = static_cast<int>(std::ceil((diameter + 2) * devicePixelRatio));
    QImage sprite(side, side, QImage::Format_ARGB32_Premultiplied);
    sprite.fill(Qt::transparent);
    {
        QPainter painter(&sprite);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        const double radius = diameter * devicePixelRatio / 2;
        painter.drawEllipse(QPointF(side / 2.0, side / 2.0), radius, radius);
    }
    sprite.setDevicePixelRatio(devicePixelRatio);
    return sprites.emplace(key, std::move(sprite)).first->second;
}

void paintDots(QPainter& painter, const PlotScene& scene, double yScale, bool reads)
{
    const double h = scene.plot.height();
    const QColor colour = reads ? ChartAppearance::readColour() : ChartAppearance::writeColour();
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    const QImage& dot = dotSprite(colour, dotDiameter, ratio);
    const double half = dot.width() / ratio / 2;
    const std::optional<std::int64_t> hoveredIndex
        = scene.hovered ? std::optional(scene.hovered->index) : std::nullopt;
    for (const auto& point : scene.plotted) {
        const double x = scene.layout.xOf(point.index);
        const double y = yOf(reads ? point.readSpeed : point.writeSpeed, yScale, h);
        if (point.index == hoveredIndex) {
            const QImage& big = dotSprite(colour, hoveredDotDiameter, ratio);
            const double bigHalf = big.width() / ratio / 2;
            painter.drawImage(QPointF(std::round((x - bigHalf) * ratio) / ratio, std::round((y - bigHalf) * ratio) / ratio), big);
            continue;
        }
        // Whole device pixels keep the copy on the raster engine's fast path.
        painter.drawImage(QPointF(std::round((x - half) * ratio) / ratio, std::round((y - half) * ratio) / ratio), dot);
    }
}

void paintThroughputAxis(QPainter& painter, const PlotScene& scene)
{
    const double h = scene.plot.height();
    QList<QLineF> lines { QLineF(0, 0, 0, h) };
    for (const auto& tick : scene.throughputTicks) {
        const double y = h - tick.position * h;
        lines.append(QLineF(0, y, tickLength, y));
    }
    painter.setPen(QPen(white(0.20), 1));
    painter.drawLines(lines);

    painter.setFont(scene.axisFont);
    painter.setPen(ChartAppearance::secondaryText());
    const double boxWidth = 120;
    const double boxHeight = 24;
    for (const auto& label : throughputLabels(scene.throughputTicks, { scene.plot.width(), h }, scene.language)) {
        const QRectF box(label.anchor.x - boxWidth / 2, label.anchor.y - boxHeight / 2, boxWidth, boxHeight);
        painter.drawText(box, Qt::AlignCenter, QString::fromStdString(label.text));
    }
}

void paintTimeAxis(QPainter& painter, const PlotScene& scene)
{
    const double w = scene.plot.width();
    const double h = scene.plot.height();
    QList<QLineF> lines { QLineF(0, h, w, h) };
    for (const auto& tick : scene.timeTicks) {
        const double x = tick.position * w;
        lines.append(QLineF(x, h, x, h - tickLength));
    }
    painter.setPen(QPen(white(0.20), 1));
    painter.drawLines(lines);

    painter.setFont(scene.axisFont);
    painter.setPen(ChartAppearance::secondaryText());
    for (const auto& label : timeLabels(scene.timeTicks, { w, h }, scene.language)) {
        const QRectF frame(label.anchor.x - w, label.anchor.y - timeAxisHeight, w, timeAxisHeight);
        painter.drawText(frame, Qt::AlignRight | Qt::AlignBottom, QString::fromStdString(label.text));
    }
}

void paintHoverMarker(QPainter& painter, const PlotScene& scene, double yScale)
{
    if (!scene.hovered)
        return;
    const double h = scene.plot.height();
    const auto markers = hoverMarkers(*scene.hovered, scene.layout, yScale, h);
    if (!markers)
        return;
    painter.setPen(QPen(white(0.35), 1));
    painter.drawLine(QLineF(markers->x, 0, markers->x, h));
    painter.setPen(QPen(white(0.55), 2));
    const double radius = markerDiameter / 2;
    painter.setBrush(ChartAppearance::readColour());
    painter.drawEllipse(QPointF(markers->x, markers->yRead), radius, radius);
    painter.setBrush(ChartAppearance::writeColour());
    painter.drawEllipse(QPointF(markers->x, markers->yWrite), radius, radius);
}

}

const QImage& PlotBackdropCache::backdrop(const PlotScene& scene, qreal devicePixelRatio)
{
    const QSize pixels(static_cast<int>(std::ceil(scene.plot.width() * devicePixelRatio)),
        static_cast<int>(std::ceil(scene.plot.height() * devicePixelRatio)));
    const double step = scene.layout.step;
    // The slot grid repeats every step: only the origin's position within one step matters.
    const double firstSlotX = step > 0 && std::isfinite(step) ? std::fmod(scene.layout.xOrigin, step) : 0;
    const Key key { pixels, devicePixelRatio, scene.background.rgba(), step, firstSlotX };
    if (m_key == key)
        return m_image;
    m_image = QImage(pixels, QImage::Format_RGB32);
    m_image.setDevicePixelRatio(devicePixelRatio);
    m_image.fill(scene.background);
    QPainter painter(&m_image);
    paintGrid(painter, scene, devicePixelRatio);
    m_key = key;
    return m_image;
}

void paintPlot(QPainter& painter, const PlotScene& scene)
{
    painter.save();
    painter.setClipRect(QRectF(QPointF(0, 0), scene.plot));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const double scale = yScale(scene.throughputTicks, scene.plot.height());
    const qreal ratio = painter.device() ? painter.device()->devicePixelRatioF() : 1.0;
    if (scene.backdropCache) {
        if (scene.plotted.empty())
            painter.fillRect(QRectF(QPointF(0, 0), scene.plot), scene.background);
        else
            painter.drawImage(QPointF(0, 0), scene.backdropCache->backdrop(scene, ratio));
    }
    if (scene.plotted.empty()) {
        paintWaitingText(painter, scene);
    } else {
        if (!scene.backdropCache)
            paintGrid(painter, scene, ratio);
        paintDots(painter, scene, scale, true);
        paintDots(painter, scene, scale, false);
    }
    paintThroughputAxis(painter, scene);
    paintTimeAxis(painter, scene);
    paintHoverMarker(painter, scene, scale);
    painter.restore();
}

}
