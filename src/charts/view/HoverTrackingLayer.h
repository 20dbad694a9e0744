#pragma once

#include <QObject>
#include <QPointF>
#include <QWidget>

#include <functional>
#include <optional>

namespace tallowin {

// Reports where the pointer is over the plot, in the plot's coordinates, also while it crosses
// the card's padding around it, and reports "no pointer" when it leaves. It watches widgets
// through an event filter and never consumes an event, so clicks and gestures go on to the chart.
class HoverTrackingLayer : public QObject {
    Q_OBJECT

public:
    using Callback = std::function<void(std::optional<QPointF>)>;

    // The plot gives the coordinates; the layer belongs to its Qt parent.
    HoverTrackingLayer(QWidget* plot, Callback onHoverChanged, QObject* parent);

    // Tracks the pointer over the widget (the plot or a widget that contains it), whether or not
    // its window is active.
    void watch(QWidget*);

protected:
    bool eventFilter(QObject*, QEvent*) override;

private:
    std::optional<QPointF> plotPoint(QWidget* watched, QPointF local) const;

    // Observes; the plot outlives the layer, which is its child.
    QWidget* m_plot { nullptr };
    Callback m_onHoverChanged;
};

}
