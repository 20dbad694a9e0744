#pragma once

#include <QColor>
#include <QFont>

#include <cmath>

// The chart's dark look: its colours and the two 14-point fonts. Sizes are in device-independent
// pixels, which is what a point is on the desktops the chart was drawn for.
namespace tallowin::ChartAppearance {

inline QColor withOpacity(QColor colour, double opacity)
{
    colour.setAlphaF(static_cast<float>(opacity));
    return colour;
}

inline QColor white(double opacity) { return withOpacity(QColor(255, 255, 255), opacity); }
inline QColor black(double opacity) { return withOpacity(QColor(0, 0, 0), opacity); }

inline QColor primaryText() { return QColor(255, 255, 255); }
// The dark look's secondary label colour: a light grey at 60 %.
inline QColor secondaryText() { return QColor(235, 235, 245, 153); }
inline QColor readColour() { return QColor::fromRgbF(0.203f, 0.781f, 0.349f); }
inline QColor writeColour() { return QColor::fromRgbF(1.0f, 0.584f, 0.0f); }
// Stands for the translucent material behind the card: a dark grey the window shows through.
inline QColor cardFill() { return QColor(44, 44, 48, 158); }
// The card's fill as it looks over an opaque background: what the plot paints itself, so that a
// repaint of the plot does not repaint and blend the window and the card beneath it each frame.
inline QColor cardFillOver(const QColor& background)
{
    const QColor fill = cardFill();
    const double a = fill.alphaF();
    auto mix = [a](double top, double bottom) { return static_cast<int>(std::lround((top * a + bottom * (1 - a)) * 255)); };
    return QColor(mix(fill.redF(), background.redF()), mix(fill.greenF(), background.greenF()),
        mix(fill.blueF(), background.blueF()));
}

inline constexpr int fontPixelSize = 14;

// The handed-in font's families at 14 points. No rounded sans ships with the usual Linux
// desktops; DejaVu Sans, the usual application font, has digits of one width already, so
// columns of figures stay still without the "tnum" feature that Qt 6.4 cannot request.
inline QFont chartFont(QFont base, QFont::Weight weight)
{
    base.setPixelSize(fontPixelSize);
    base.setWeight(weight);
    base.setStyleStrategy(QFont::PreferAntialias);
    return base;
}

}
