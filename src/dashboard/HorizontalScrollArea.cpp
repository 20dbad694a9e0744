#include "dashboard/HorizontalScrollArea.h"

#include <QScrollBar>
#include <QWheelEvent>

namespace tallowin {

void HorizontalScrollArea::wheelEvent(QWheelEvent* event)
{
    auto* bar = horizontalScrollBar();
    QPoint pixels = event->pixelDelta();
    QPoint angle = event->angleDelta();
    int delta = !pixels.isNull() ? (pixels.x() != 0 ? pixels.x() : pixels.y())
                                 : (angle.x() != 0 ? angle.x() : angle.y()) / 2;
    if (bar->maximum() <= bar->minimum() || delta == 0) {
        QScrollArea::wheelEvent(event);
        return;
    }
    bar->setValue(bar->value() - delta);
    event->accept();
}

}
