#pragma once

#include "charts/ChartDataExportError.h"
#include "core/Expected.h"
#include "core/Records.h"

#include <cstdint>
#include <vector>

namespace tallowin::ChartExportSupport {

// The throughput chart of a run as PNG bytes: the plot frame, grid, axes with labelled ticks, the
// read and write lines, the legend and the summary box on a transparent background. Drawn with
// QImage and QPainter, so no display is needed; text needs Qt's font database, which only a
// QGuiApplication provides, so when the process has none an off-screen one is created on first
// use. Call it from the main thread.
Expected<std::vector<std::uint8_t>, ChartDataExportError> renderPNG(
    const std::vector<DiskSample>&, int sampleIntervalMs, double width, double height);

}
