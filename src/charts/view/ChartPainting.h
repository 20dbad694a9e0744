#pragma once

#include "charts/ChartCanvasGeometry.h"

#include <QFont>
#include <QPainter>
#include <QSizeF>

#include <optional>
#include <span>
#include <vector>

namespace tallowin {

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
};

// Draws the waiting text or the grid and the dots, then both axes and the hover marker, into the
// painter's current coordinates (the plot's top-left corner at the origin). It draws exactly one
// dot per plotted point and series.
void paintPlot(QPainter&, const PlotScene&);

}
