#pragma once

#include "charts/DiskIOGraphRendererCache.h"
#include "charts/view/DiskIOChartSection.h"

#include <QWidget>

namespace tallowin {

// Lays out, draws and handles zoom, pan and hover for the displayed samples. Main thread only.
class DiskIOGraphCanvas : public QWidget {
    Q_OBJECT

public:
    DiskIOGraphCanvas(QFont unifiedTextFont, std::shared_ptr<ChartViewport>, std::shared_ptr<MainQueue>,
        QWidget* parent = nullptr);
    ~DiskIOGraphCanvas() override;

    void setSamples(std::vector<DiskSample> displayed, int sampleIntervalMs, int leadingPaddingCount);
    DiskIOGraphRendererCache& rendererCache() { return *m_rendererCache; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QFont m_unifiedTextFont;
    std::shared_ptr<ChartViewport> m_viewport;
    std::shared_ptr<DiskIOGraphRendererCache> m_rendererCache;
    std::vector<DiskSample> m_samples;
    int m_sampleIntervalMs { 1000 };
    int m_leadingPaddingCount { DiskIOChartSection::totalSlotCount };
};

}
