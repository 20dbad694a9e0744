#pragma once

#include "charts/ChartCanvasGeometry.h"

#include <QColor>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QSizeF>

#include <optional>
#include <span>
#include <vector>

namespace tallowin {

// The plot's opaque backdrop (the card's fill and both grids) as one picture, drawn again only
// when the plot's size, the slot spacing or the pan changes. Redrawing hundreds of grid lines
// each frame was most of the window's cost at the display's rate; copying a picture is not.
class PlotBackdropCache {
public:
    const QImage& backdrop(const struct PlotScene&, qreal devicePixelRatio);

private:
    struct Key {
        QSize pixels;
        qreal devicePixelRatio { 1 };
        QRgb background { 0 };
        double step { 0 };
        double firstSlotX { 0 };
        friend bool operator==(const Key&, const Key&) = default;
    };
    std::optional<Key> m_key;
    QImage m_image;
};

// One frame of the plot: everything the canvas draws below the tooltip.
struct PlotScene {
    QSizeF plot;
    ChartCanvasGeometry::Geometry layout;
    std::span<const IndexedSample> plotted;
    std::vector<ChartCanvasGeometry::AxisTick> throughputTicks;
    std::vector<ChartCanvasGeometry::AxisTick> timeTicks;
    std::optional<IndexedSample> hovered;
    Language language { Language::English };
    QFont unifiedTextFont;
    QFont axisFont;
    // With a backdrop cache the plot is opaque: it paints this background itself, from the
    // cache (observed, owned by the canvas). Without one it draws only the grid over whatever
    // is beneath.
    QColor background;
    PlotBackdropCache* backdropCache { nullptr };
};

// Draws the waiting text or the grid and the dots, then both axes and the hover marker, into the
// painter's current coordinates (the plot's top-left corner at the origin). It draws exactly one
// dot per plotted point and series.
void paintPlot(QPainter&, const PlotScene&);

}
