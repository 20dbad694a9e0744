#include "charts/view/DiskIOChartSection.h"

#include "charts/view/ChartAppearance.h"
#include "charts/view/DiskIOGraphCanvas.h"
#include "charts/view/HoverTrackingLayer.h"

#include <QPainter>
#include <QVBoxLayout>

namespace tallowin {

DiskIOChartSection::DiskIOChartSection(
    QFont unifiedTextFont, std::shared_ptr<ChartViewport> viewport, std::shared_ptr<MainQueue> mainQueue, QWidget* parent)
    : QWidget(parent)
    , m_canvas(new DiskIOGraphCanvas(std::move(unifiedTextFont), std::move(viewport), std::move(mainQueue), this))
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(horizontalPadding, verticalPadding, horizontalPadding, verticalPadding);
    layout->addWidget(m_canvas);
    // The padding around the plot still hovers, so a point at the very edge is easy to reach.
    m_canvas->hoverTracking().watch(this);
    m_canvas->setOnPlotSizeChange([this](QSizeF size) {
        if (m_onChartSizeChange)
            m_onChartSizeChange(size);
    });
}

DiskIOChartSection::~DiskIOChartSection() = default;

std::size_t DiskIOChartSection::displayedCount(std::size_t historyCount)
{
    return std::min<std::size_t>(historyCount, totalSlotCount);
}

int DiskIOChartSection::leadingPaddingCount(std::size_t displayedCount)
{
    return std::max(totalSlotCount - static_cast<int>(std::min<std::size_t>(displayedCount, totalSlotCount)), 0);
}

void DiskIOChartSection::setSamples(std::vector<DiskSample> samples, int samplingIntervalMs)
{
    const std::size_t shown = displayedCount(samples.size());
    if (samples.size() > shown)
        samples.erase(samples.begin(), samples.end() - static_cast<std::ptrdiff_t>(shown));
    m_canvas->setSamples(std::move(samples), samplingIntervalMs, leadingPaddingCount(shown));
}

void DiskIOChartSection::setOnChartSizeChange(std::function<void(QSizeF)> callback)
{
    m_onChartSizeChange = std::move(callback);
    // A callback set after the first layout still learns the current size.
    if (m_onChartSizeChange && !m_canvas->size().isEmpty())
        m_onChartSizeChange(QSizeF(m_canvas->size()));
}

DiskIOGraphCanvas& DiskIOChartSection::canvas() { return *m_canvas; }

void DiskIOChartSection::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(ChartAppearance::white(0.12), 1));
    painter.setBrush(ChartAppearance::cardFill());
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);
}

}
