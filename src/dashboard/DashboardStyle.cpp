#include "dashboard/DashboardStyle.h"

#include <QApplication>
#include <QFontDatabase>
#include <QStyleFactory>

namespace tallowin::DashboardStyle {

QColor color(AccentColor accent)
{
    // The dark variants of the usual system palette, bright enough on the dark background.
    switch (accent) {
    case AccentColor::systemAccent:
        return QColor(0x0A, 0x84, 0xFF);
    case AccentColor::green:
        return QColor(0x30, 0xD1, 0x58);
    case AccentColor::orange:
        return QColor(0xFF, 0x9F, 0x0A);
    case AccentColor::mint:
        return QColor(0x63, 0xE6, 0xE2);
    case AccentColor::purple:
        return QColor(0xBF, 0x5A, 0xF2);
    case AccentColor::blue:
        return QColor(0x0A, 0x84, 0xFF);
    case AccentColor::pink:
        return QColor(0xFF, 0x37, 0x5F);
    case AccentColor::teal:
        return QColor(0x40, 0xC8, 0xE0);
    case AccentColor::red:
        return QColor(0xFF, 0x45, 0x3A);
    case AccentColor::indigo:
        return QColor(0x5E, 0x5C, 0xE6);
    }
    return QColor(Qt::white);
}

QColor primaryText()
{
    return QColor(255, 255, 255, 235);
}

QColor secondaryText()
{
    return QColor(235, 235, 245, 153);
}

QColor tertiaryText()
{
    return QColor(235, 235, 245, 77);
}

QColor windowBackground()
{
    return QColor(0x1E, 0x1E, 0x20);
}

QFont font(qreal pixelSize, QFont::Weight weight)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(qRound(pixelSize));
    font.setWeight(weight);
    return font;
}

QFont monospacedFont(qreal pixelSize)
{
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPixelSize(qRound(pixelSize));
    return font;
}

QPalette darkPalette()
{
    QPalette palette;
    QColor window = windowBackground();
    QColor base(0x2A, 0x2A, 0x2D);
    QColor text = primaryText();
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, QColor(0x32, 0x32, 0x36));
    palette.setColor(QPalette::ToolTipBase, QColor(0x3A, 0x3A, 0x3C));
    palette.setColor(QPalette::ToolTipText, text);
    palette.setColor(QPalette::PlaceholderText, secondaryText());
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, QColor(0x3A, 0x3A, 0x3C));
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::BrightText, QColor(Qt::white));
    palette.setColor(QPalette::Highlight, color(AccentColor::systemAccent));
    palette.setColor(QPalette::HighlightedText, QColor(Qt::white));
    palette.setColor(QPalette::Link, color(AccentColor::blue));
    palette.setColor(QPalette::Light, QColor(0x48, 0x48, 0x4A));
    palette.setColor(QPalette::Midlight, QColor(0x3A, 0x3A, 0x3C));
    palette.setColor(QPalette::Mid, QColor(0x2C, 0x2C, 0x2E));
    palette.setColor(QPalette::Dark, QColor(0x14, 0x14, 0x16));
    palette.setColor(QPalette::Shadow, QColor(Qt::black));
    for (auto role : { QPalette::WindowText, QPalette::Text, QPalette::ButtonText })
        palette.setColor(QPalette::Disabled, role, tertiaryText());
    return palette;
}

void applyDarkAppearance(QApplication& application)
{
    if (auto* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion); // the application takes ownership
    application.setPalette(darkPalette());
}

}
