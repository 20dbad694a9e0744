#pragma once

#include "core/MainQueue.h"
#include "core/Records.h"

#include <QFont>
#include <QSizeF>
#include <QWidget>

#include <functional>
#include <memory>
#include <vector>

namespace tallowin {

class DiskIOGraphCanvas;

// The chart's zoom factor and pan. Owned by the window, so both survive when the chart is
// rebuilt; the canvas writes them only when a pinch or a drag ends.
struct ChartViewport {
    double scale { 1.0 };
    double offset { 0.0 };

    friend bool operator==(const ChartViewport&, const ChartViewport&) = default;
};

// The live chart's card: picks the newest samples to show, frames the canvas and reports the
// plot's size. Main thread only.
class DiskIOChartSection : public QWidget {
    Q_OBJECT

public:
    static constexpr int totalSlotCount = 256;
    static constexpr int horizontalPadding = 18;
    static constexpr int verticalPadding = 16;
    static constexpr double cornerRadius = 20;

    DiskIOChartSection(QFont unifiedTextFont, std::shared_ptr<ChartViewport>, std::shared_ptr<MainQueue>,
        QWidget* parent = nullptr);
    ~DiskIOChartSection() override;

    // The monitor's history, oldest first; only its newest `totalSlotCount` entries are shown,
    // so callers may pass just those (DiskIOMonitor::newestSamples).
    void setSamples(std::vector<DiskSample>, int samplingIntervalMs);
    // Receives the plot's size on every change, and at once when the plot already has one.
    void setOnChartSizeChange(std::function<void(QSizeF)>);

    DiskIOGraphCanvas& canvas();

    // How many of a history's newest samples are shown, and how many empty slots precede them.
    static std::size_t displayedCount(std::size_t historyCount);
    static int leadingPaddingCount(std::size_t displayedCount);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    // Child widgets belong to their Qt parent, which deletes them; the pointer only observes.
    DiskIOGraphCanvas* m_canvas { nullptr };
    std::function<void(QSizeF)> m_onChartSizeChange;
};

}
