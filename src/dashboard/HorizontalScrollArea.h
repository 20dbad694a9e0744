#pragma once

#include <QScrollArea>

namespace tallowin {

// A row that scrolls sideways: the mouse wheel's vertical turn moves it too, since its rows have
// no vertical extent to scroll.
class HorizontalScrollArea : public QScrollArea {
public:
    using QScrollArea::QScrollArea;

protected:
    void wheelEvent(QWheelEvent*) override;
};

}
