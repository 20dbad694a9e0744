#include "charts/view/HoverTrackingLayer.h"

#include <QEnterEvent>
#include <QEvent>
#include <QMouseEvent>

namespace tallowin {

HoverTrackingLayer::HoverTrackingLayer(QWidget* plot, Callback onHoverChanged, QObject* parent)
    : QObject(parent)
    , m_plot(plot)
    , m_onHoverChanged(std::move(onHoverChanged))
{
}

void HoverTrackingLayer::watch(QWidget* widget)
{
    widget->setMouseTracking(true);
    widget->installEventFilter(this);
}

std::optional<QPointF> HoverTrackingLayer::plotPoint(QWidget* watched, QPointF local) const
{
    if (watched == m_plot)
        return local;
    if (watched->isAncestorOf(m_plot))
        return m_plot->mapFrom(watched, local);
    return m_plot->mapFromGlobal(watched->mapToGlobal(local));
}

bool HoverTrackingLayer::eventFilter(QObject* object, QEvent* event)
{
    auto* watched = qobject_cast<QWidget*>(object);
    if (!watched || !m_onHoverChanged)
        return false;
    switch (event->type()) {
    case QEvent::MouseMove:
        m_onHoverChanged(plotPoint(watched, static_cast<QMouseEvent*>(event)->position()));
        break;
    case QEvent::Enter:
        m_onHoverChanged(plotPoint(watched, static_cast<QEnterEvent*>(event)->position()));
        break;
    case QEvent::Leave:
        m_onHoverChanged(std::nullopt);
        break;
    default:
        break;
    }
    return false;
}

}
