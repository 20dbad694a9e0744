#include "charts/view/DiskIOChartSection.h"

#include "charts/view/DiskIOGraphCanvas.h"

#include <QVBoxLayout>

namespace tallowin {

DiskIOChartSection::DiskIOChartSection(
    QFont unifiedTextFont, std::shared_ptr<ChartViewport> viewport, std::shared_ptr<MainQueue> mainQueue, QWidget* parent)
    : QWidget(parent)
    , m_canvas(new DiskIOGraphCanvas(std::move(unifiedTextFont), std::move(viewport), std::move(mainQueue), this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(18, 16, 18, 16);
    layout->addWidget(m_canvas);
}

DiskIOChartSection::~DiskIOChartSection() = default;

void DiskIOChartSection::setSamples(std::vector<DiskSample> samples, int samplingIntervalMs)
{
    auto displayedCount = std::min<std::size_t>(samples.size(), totalSlotCount);
    if (samples.size() > displayedCount)
        samples.erase(samples.begin(), samples.end() - static_cast<std::ptrdiff_t>(displayedCount));
    auto leadingPaddingCount = std::max(totalSlotCount - static_cast<int>(displayedCount), 0);
    m_canvas->setSamples(std::move(samples), samplingIntervalMs, leadingPaddingCount);
}

void DiskIOChartSection::setOnChartSizeChange(std::function<void(QSizeF)> callback)
{
    m_onChartSizeChange = std::move(callback);
}

DiskIOGraphCanvas& DiskIOChartSection::canvas() { return *m_canvas; }

}
