#include "charts/view/ChartPainting.h"

#include "charts/view/ChartAppearance.h"

#include <QLineF>
#include <QList>
#include <QString>

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

void paintGrid(QPainter& painter, const PlotScene& scene)
{
    const double w = scene.plot.width();
    const double h = scene.plot.height();
    QList<QLineF> lines;
    for (double x : slotGridXs(scene.layout.xOrigin, scene.layout.step, w))
        lines.append(QLineF(x, 0, x, h));
    painter.setPen(QPen(white(0.12), 0.6));
    painter.drawLines(lines);

    lines.clear();
    for (double y : levelGridYs(h))
        lines.append(QLineF(0, y, w, y));
    painter.setPen(QPen(white(0.084), 0.6));
    painter.drawLines(lines);
}

void paintDots(QPainter& painter, const PlotScene& scene, double yScale, bool reads)
{
    const double h = scene.plot.height();
    painter.setPen(Qt::NoPen);
    painter.setBrush(reads ? ChartAppearance::readColour() : ChartAppearance::writeColour());
    const std::optional<std::int64_t> hoveredIndex
        = scene.hovered ? std::optional(scene.hovered->index) : std::nullopt;
    for (const auto& point : scene.plotted) {
        const double radius = (point.index == hoveredIndex ? hoveredDotDiameter : dotDiameter) / 2;
        const QPointF centre(scene.layout.xOf(point.index), yOf(reads ? point.readSpeed : point.writeSpeed, yScale, h));
        painter.drawEllipse(centre, radius, radius);
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

void paintPlot(QPainter& painter, const PlotScene& scene)
{
    painter.save();
    painter.setClipRect(QRectF(QPointF(0, 0), scene.plot));
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    const double scale = yScale(scene.throughputTicks, scene.plot.height());
    if (scene.plotted.empty()) {
        paintWaitingText(painter, scene);
    } else {
        paintGrid(painter, scene);
        paintDots(painter, scene, scale, true);
        paintDots(painter, scene, scale, false);
    }
    paintThroughputAxis(painter, scene);
    paintTimeAxis(painter, scene);
    paintHoverMarker(painter, scene, scale);
    painter.restore();
}

}
