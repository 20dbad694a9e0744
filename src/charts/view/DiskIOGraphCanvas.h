#pragma once

#include "charts/ChartCanvasGeometry.h"
#include "charts/DiskIOGraphRendererCache.h"
#include "charts/view/ChartPainting.h"
#include "charts/view/DiskIOChartSection.h"

#include <QPointF>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <vector>

class QTimer;

namespace tallowin {

class HoverTrackingLayer;
class TooltipBubbleView;

// Lays out, draws and handles zoom, pan and hover for the displayed samples. Main thread only.
//
// Every layout feeds the visible range to the downsampling cache; the canvas draws only what the
// cache has published. Zoom (trackpad pinch, Ctrl+wheel) and pan (drag) show live through
// magnifyBy and dragTranslation and write the shared viewport only when they end.
class DiskIOGraphCanvas : public QWidget {
    Q_OBJECT

public:
    using IndexedSample = tallowin::IndexedSample;
    using AxisTick = ChartCanvasGeometry::AxisTick;
    static constexpr double minScale = ChartCanvasGeometry::minScale;
    static constexpr double maxScale = ChartCanvasGeometry::maxScale;
    // A Ctrl+wheel zoom counts as one gesture until the wheel has rested this long.
    static constexpr int wheelZoomRestMs = 250;

    DiskIOGraphCanvas(QFont unifiedTextFont, std::shared_ptr<ChartViewport>, std::shared_ptr<MainQueue>,
        QWidget* parent = nullptr);
    ~DiskIOGraphCanvas() override;

    // At most totalSlotCount samples, oldest first.
    void setSamples(std::vector<DiskSample> displayed, int sampleIntervalMs, int leadingPaddingCount);
    DiskIOGraphRendererCache& rendererCache() { return *m_rendererCache; }

    // Receives the plot's size whenever it changes.
    void setOnPlotSizeChange(std::function<void(QSizeF)>);
    // The pointer over the plot, in its coordinates (may lie a little outside); nullopt when it left.
    void hoverAt(std::optional<QPointF>);

    const std::vector<DiskSample>& samples() const { return *m_samples; }
    int sampleIntervalMs() const { return m_sampleIntervalMs; }
    int leadingPaddingCount() const { return m_leadingPaddingCount; }
    int totalSlotCount() const { return DiskIOChartSection::totalSlotCount; }
    const ChartViewport& viewport() const { return *m_viewport; }
    double magnifyBy() const { return m_magnifyBy; }
    double dragTranslation() const { return m_dragTranslation; }
    const std::optional<IndexedSample>& hoveredSample() const { return m_hoveredSample; }
    QSizeF tooltipContentSize() const { return m_tooltipContentSize; }
    const QFont& unifiedTextFont() const { return m_unifiedTextFont; }
    const QFont& axisFont() const { return m_axisFont; }
    const TooltipBubbleView& tooltipBubble() const { return *m_tooltip; }
    HoverTrackingLayer& hoverTracking() { return *m_hoverTracking; }

    ChartCanvasGeometry::Geometry layoutGeometry() const;
    // What is drawn: the cache's points, or none while there are no samples.
    const std::vector<IndexedSample>& plottedSamples() const;
    std::vector<AxisTick> throughputTicks() const;
    std::vector<AxisTick> timeTicks() const;

protected:
    bool event(QEvent*) override;
    void paintEvent(QPaintEvent*) override;
    void resizeEvent(QResizeEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void mouseMoveEvent(QMouseEvent*) override;
    void mouseReleaseEvent(QMouseEvent*) override;
    void wheelEvent(QWheelEvent*) override;
    void hideEvent(QHideEvent*) override;

private:
    ChartCanvasGeometry::LayoutInput layoutInput() const;
    ChartCanvasGeometry::Size plotSize() const;
    void feedCache();
    void relayout();
    void plottedSamplesChanged();
    void setHoveredSample(std::optional<IndexedSample>);
    void placeTooltip();
    void commitZoom();
    void cancelGestures();

    QFont m_unifiedTextFont;
    QFont m_axisFont;
    std::shared_ptr<ChartViewport> m_viewport;
    std::shared_ptr<DiskIOGraphRendererCache> m_rendererCache;
    PlotBackdropCache m_backdropCache;
    DiskIOGraphRendererCache::ObserverID m_cacheObserver { 0 };
    // Shared with the cache's snapshot, so a redraw with unchanged samples copies nothing.
    std::shared_ptr<const std::vector<DiskSample>> m_samples;
    int m_sampleIntervalMs { 1000 };
    int m_leadingPaddingCount { DiskIOChartSection::totalSlotCount };

    // Zoom in progress: the pinch's raw factor, the factor shown, and whether a wheel zoom runs.
    double m_pinchFactor { 1.0 };
    bool m_pinching { false };
    double m_magnifyBy { 1.0 };
    bool m_wheelZooming { false };
    // Drag in progress.
    std::optional<QPointF> m_pressPosition;
    bool m_dragging { false };
    double m_dragTranslation { 0.0 };

    std::optional<IndexedSample> m_hoveredSample;
    QSizeF m_tooltipContentSize;
    std::function<void(QSizeF)> m_onPlotSizeChange;

    // Children: Qt deletes them; these only observe.
    TooltipBubbleView* m_tooltip { nullptr };
    HoverTrackingLayer* m_hoverTracking { nullptr };
    QTimer* m_wheelRestTimer { nullptr };
};

}
