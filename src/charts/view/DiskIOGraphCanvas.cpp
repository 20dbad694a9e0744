#include "charts/view/DiskIOGraphCanvas.h"

#include "core/Language.h"

#include <QPainter>

namespace tallowin {

DiskIOGraphCanvas::DiskIOGraphCanvas(
    QFont unifiedTextFont, std::shared_ptr<ChartViewport> viewport, std::shared_ptr<MainQueue> mainQueue, QWidget* parent)
    : QWidget(parent)
    , m_unifiedTextFont(std::move(unifiedTextFont))
    , m_viewport(std::move(viewport))
    , m_rendererCache(DiskIOGraphRendererCache::create(std::move(mainQueue)))
{
}

DiskIOGraphCanvas::~DiskIOGraphCanvas() = default;

void DiskIOGraphCanvas::setSamples(std::vector<DiskSample> displayed, int sampleIntervalMs, int leadingPaddingCount)
{
    m_samples = std::move(displayed);
    m_sampleIntervalMs = sampleIntervalMs;
    m_leadingPaddingCount = leadingPaddingCount;
    update();
}

void DiskIOGraphCanvas::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setFont(m_unifiedTextFont);
    painter.setPen(palette().color(QPalette::PlaceholderText));
    painter.drawText(rect(), Qt::AlignCenter,
        QString::fromUtf8(isEnglish() ? "Waiting for data…" : "等待数据…"));
}

}
