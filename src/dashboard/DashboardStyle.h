#pragma once

#include "dashboard/DashboardContent.h"

#include <QColor>
#include <QFont>
#include <QPalette>

class QApplication;

namespace tallowin {

// The dashboard's dark look: its palette, the named accent colours and the fonts, in pixel
// sizes so that a point of the layout is a pixel on screen.
namespace DashboardStyle {

QColor color(AccentColor);
QColor primaryText();
QColor secondaryText();
QColor tertiaryText();
QColor windowBackground();

// The interface font at a pixel size and weight; the "rounded" system font maps to it too.
QFont font(qreal pixelSize, QFont::Weight);
QFont monospacedFont(qreal pixelSize);

QPalette darkPalette();
// Gives the whole application the dark palette and the Fusion style, which honours it. The
// shell calls it once, before the first window is shown.
void applyDarkAppearance(QApplication&);

}

}
