#include "charts/view/DiskIOGraphCanvas.h"

#include "charts/view/ChartAppearance.h"
#include "charts/view/ChartPainting.h"
#include "charts/view/HoverTrackingLayer.h"
#include "charts/view/TooltipBubbleView.h"
#include "core/Language.h"

#include <QMouseEvent>
#include <QNativeGestureEvent>
#include <QPainter>
#include <QTimer>
#include <QWheelEvent>

#include <cmath>

namespace tallowin {

namespace {

using namespace ChartCanvasGeometry;

const std::vector<IndexedSample> nothingPlotted;

Size sizeOf(QSizeF size)
{
    return { size.width(), size.height() };
}

}

DiskIOGraphCanvas::DiskIOGraphCanvas(
    QFont unifiedTextFont, std::shared_ptr<ChartViewport> viewport, std::shared_ptr<MainQueue> mainQueue, QWidget* parent)
    : QWidget(parent)
    , m_unifiedTextFont(ChartAppearance::chartFont(unifiedTextFont, QFont::Medium))
    , m_axisFont(ChartAppearance::chartFont(std::move(unifiedTextFont), QFont::Normal))
    , m_viewport(viewport ? std::move(viewport) : std::make_shared<ChartViewport>())
    , m_rendererCache(DiskIOGraphRendererCache::create(std::move(mainQueue)))
    , m_samples(std::make_shared<const std::vector<DiskSample>>())
    , m_tooltip(new TooltipBubbleView(m_unifiedTextFont, this))
    , m_hoverTracking(new HoverTrackingLayer(
          this, [this](std::optional<QPointF> pointer) { hoverAt(pointer); }, this))
    , m_wheelRestTimer(new QTimer(this))
{
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
    setAttribute(Qt::WA_AcceptTouchEvents, false);
    // The plot paints every pixel (the card's fill first), so a repaint at the display's rate
    // does not repaint the window and the card beneath it.
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_tooltip->hide();
    m_hoverTracking->watch(this);
    m_wheelRestTimer->setSingleShot(true);
    m_wheelRestTimer->setInterval(wheelZoomRestMs);
    connect(m_wheelRestTimer, &QTimer::timeout, this, [this] {
        if (m_wheelZooming)
            commitZoom();
    });
    // The cache publishes on the main thread and lives exactly as long as this canvas.
    m_cacheObserver = m_rendererCache->addObserver([this](const std::vector<IndexedSample>&) { plottedSamplesChanged(); });
}

DiskIOGraphCanvas::~DiskIOGraphCanvas()
{
    m_rendererCache->removeObserver(m_cacheObserver);
}

void DiskIOGraphCanvas::setSamples(std::vector<DiskSample> displayed, int sampleIntervalMs, int leadingPaddingCount)
{
    const bool countChanged = displayed.size() != m_samples->size();
    const Geometry before = layoutGeometry();
    const int intervalBefore = m_sampleIntervalMs;
    m_samples = std::make_shared<const std::vector<DiskSample>>(std::move(displayed));
    m_sampleIntervalMs = sampleIntervalMs;
    m_leadingPaddingCount = leadingPaddingCount;
    if (countChanged)
        m_hoveredSample = reselectHover(m_hoveredSample, static_cast<std::int64_t>(m_samples->size()), plottedSamples());
    if (countChanged || intervalBefore != m_sampleIntervalMs || before != layoutGeometry()) {
        relayout();
        return;
    }
    // A full chart whose newest sample moved on: nothing on screen changes until the cache
    // publishes the new points, and that repaints. One paint per batch instead of two.
    feedCache();
    placeTooltip();
}

void DiskIOGraphCanvas::setOnPlotSizeChange(std::function<void(QSizeF)> callback)
{
    m_onPlotSizeChange = std::move(callback);
}

Size DiskIOGraphCanvas::plotSize() const
{
    return { static_cast<double>(width()), static_cast<double>(height()) };
}

LayoutInput DiskIOGraphCanvas::layoutInput() const
{
    LayoutInput input;
    input.plot = plotSize();
    input.sampleCount = static_cast<std::int64_t>(m_samples->size());
    input.leadingPaddingCount = m_leadingPaddingCount;
    input.totalSlotCount = totalSlotCount();
    input.scale = m_viewport->scale;
    input.magnifyBy = m_magnifyBy;
    input.offset = m_viewport->offset;
    input.dragTranslation = m_dragTranslation;
    return input;
}

Geometry DiskIOGraphCanvas::layoutGeometry() const
{
    return ChartCanvasGeometry::geometry(layoutInput());
}

const std::vector<IndexedSample>& DiskIOGraphCanvas::plottedSamples() const
{
    // With no samples the cache is not asked, and whatever it published before is not drawn.
    if (m_samples->empty())
        return nothingPlotted;
    return m_rendererCache->plottedSamples();
}

std::vector<DiskIOGraphCanvas::AxisTick> DiskIOGraphCanvas::throughputTicks() const
{
    return ChartCanvasGeometry::throughputTicks(largestRate(plottedSamples()));
}

std::vector<DiskIOGraphCanvas::AxisTick> DiskIOGraphCanvas::timeTicks() const
{
    return ChartCanvasGeometry::timeTicks(m_sampleIntervalMs, totalSlotCount());
}

void DiskIOGraphCanvas::feedCache()
{
    const Geometry layout = layoutGeometry();
    const auto count = static_cast<std::int64_t>(m_samples->size());
    const IndexRange range = visibleRange(count, layout.xOrigin, layout.step, width());
    if (range.length() < 1)
        return;
    m_rendererCache->update(m_samples, range.lower, range.upper, cacheTargetCount(width()), m_sampleIntervalMs);
}

void DiskIOGraphCanvas::relayout()
{
    feedCache();
    placeTooltip();
    update();
}

void DiskIOGraphCanvas::plottedSamplesChanged()
{
    // Keeps the hovered point at its index, so its figures follow the newly published values.
    if (m_hoveredSample)
        m_hoveredSample = reselectHover(m_hoveredSample, static_cast<std::int64_t>(m_samples->size()), plottedSamples());
    placeTooltip();
    update();
}

void DiskIOGraphCanvas::hoverAt(std::optional<QPointF> pointer)
{
    std::optional<Point> point;
    if (pointer)
        point = Point { pointer->x(), pointer->y() };
    const Geometry layout = layoutGeometry();
    setHoveredSample(hoverPick(point, plotSize(), plottedSamples(), layout.step, layout.xOrigin));
}

void DiskIOGraphCanvas::setHoveredSample(std::optional<IndexedSample> sample)
{
    if (sample == m_hoveredSample)
        return;
    m_hoveredSample = std::move(sample);
    placeTooltip();
    update();
}

void DiskIOGraphCanvas::placeTooltip()
{
    const double h = height();
    const auto markers = m_hoveredSample
        ? hoverMarkers(*m_hoveredSample, layoutGeometry(), yScale(throughputTicks(), h), h)
        : std::nullopt;
    if (!markers) {
        m_tooltip->hide();
        return;
    }
    const auto texts = tooltipTexts(*m_hoveredSample, m_sampleIntervalMs, *m_samples, currentLanguage());
    m_tooltip->setLines(QString::fromStdString(texts.primaryLine), QString::fromStdString(texts.secondaryLine));
    // The text is measured directly, so the real size is known before the first placement.
    m_tooltipContentSize = m_tooltip->measuredSize();
    const Point origin = tooltipOrigin(markers->x, markers->yTop(), sizeOf(m_tooltipContentSize), plotSize());
    m_tooltip->setGeometry(QRect(QPoint(static_cast<int>(std::lround(origin.x)), static_cast<int>(std::lround(origin.y))),
        m_tooltipContentSize.toSize()));
    m_tooltip->show();
    m_tooltip->raise();
}

void DiskIOGraphCanvas::commitZoom()
{
    m_viewport->scale = pinchEndScale(m_viewport->scale, m_magnifyBy);
    m_magnifyBy = 1.0;
    m_pinchFactor = 1.0;
    m_pinching = false;
    m_wheelZooming = false;
    m_wheelRestTimer->stop();
    relayout();
}

void DiskIOGraphCanvas::cancelGestures()
{
    const bool running = m_pinching || m_wheelZooming || m_dragging || m_magnifyBy != 1.0 || m_dragTranslation != 0.0;
    m_magnifyBy = 1.0;
    m_pinchFactor = 1.0;
    m_pinching = false;
    m_wheelZooming = false;
    m_wheelRestTimer->stop();
    m_pressPosition.reset();
    m_dragging = false;
    m_dragTranslation = 0.0;
    if (running)
        relayout();
}

bool DiskIOGraphCanvas::event(QEvent* event)
{
    if (event->type() != QEvent::NativeGesture)
        return QWidget::event(event);
    const auto* gesture = static_cast<QNativeGestureEvent*>(event);
    switch (gesture->gestureType()) {
    case Qt::BeginNativeGesture:
        m_pinching = true;
        m_pinchFactor = 1.0;
        break;
    case Qt::ZoomNativeGesture:
        // Each event carries the change since the previous one: 0.1 is 10 % larger.
        m_pinching = true;
        m_pinchFactor *= 1.0 + gesture->value();
        m_magnifyBy = recognisedPinchFactor(m_pinchFactor);
        relayout();
        break;
    case Qt::EndNativeGesture:
        if (m_pinching)
            commitZoom();
        break;
    default:
        return QWidget::event(event);
    }
    event->accept();
    return true;
}

void DiskIOGraphCanvas::paintEvent(QPaintEvent*)
{
    // A layout pass: the viewport may have been set from outside since the last one.
    feedCache();
    const auto& plotted = plottedSamples();
    PlotScene scene;
    scene.plot = QSizeF(size());
    scene.layout = layoutGeometry();
    scene.plotted = plotted;
    scene.throughputTicks = ChartCanvasGeometry::throughputTicks(largestRate(plotted));
    scene.timeTicks = timeTicks();
    scene.hovered = m_hoveredSample;
    scene.language = currentLanguage();
    scene.unifiedTextFont = m_unifiedTextFont;
    scene.axisFont = m_axisFont;
    scene.background = ChartAppearance::cardFillOver(palette().color(QPalette::Window));
    scene.backdropCache = &m_backdropCache;
    QPainter painter(this);
    paintPlot(painter, scene);
}

void DiskIOGraphCanvas::resizeEvent(QResizeEvent*)
{
    relayout();
    if (m_onPlotSizeChange)
        m_onPlotSizeChange(QSizeF(size()));
}

void DiskIOGraphCanvas::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    m_pressPosition = event->position();
    m_dragging = false;
    event->accept();
}

void DiskIOGraphCanvas::mouseMoveEvent(QMouseEvent* event)
{
    event->accept();
    if (!m_pressPosition || !(event->buttons() & Qt::LeftButton))
        return;
    const QPointF moved = event->position() - *m_pressPosition;
    if (!m_dragging && std::hypot(moved.x(), moved.y()) < dragThreshold)
        return;
    // The translation counts from the press, the first ten points included; height is ignored.
    m_dragging = true;
    m_dragTranslation = moved.x();
    relayout();
}

void DiskIOGraphCanvas::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    event->accept();
    if (m_dragging) {
        LayoutInput atRest = layoutInput();
        atRest.magnifyBy = 1.0;
        atRest.dragTranslation = 0.0;
        m_viewport->offset = dragEndOffset(atRest, m_dragTranslation);
    }
    m_pressPosition.reset();
    m_dragging = false;
    m_dragTranslation = 0.0;
    relayout();
}

void DiskIOGraphCanvas::wheelEvent(QWheelEvent* event)
{
    if (!(event->modifiers() & Qt::ControlModifier)) {
        event->ignore();
        return;
    }
    event->accept();
    const QPoint angle = event->angleDelta();
    const double delta = angle.y() != 0 ? angle.y() : angle.x();
    m_wheelZooming = true;
    m_magnifyBy = wheelMagnifyBy(m_magnifyBy, m_viewport->scale, delta);
    if (event->phase() == Qt::ScrollEnd) {
        commitZoom();
        return;
    }
    m_wheelRestTimer->start();
    relayout();
}

void DiskIOGraphCanvas::hideEvent(QHideEvent*)
{
    cancelGestures();
    setHoveredSample(std::nullopt);
}

}
