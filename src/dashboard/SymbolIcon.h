#pragma once

#include <QColor>
#include <QFont>
#include <QRectF>
#include <QString>

#include <optional>
#include <string_view>
#include <vector>

class QPainter;

namespace tallowin {

// The dashboard's icons: each symbol name the panels use is one glyph of the bundled Material
// Icons font, drawn as text. One mapping for every view, so a name is drawn the same everywhere.
class SymbolIcon {
public:
    // The font's code point for a symbol name, or nothing for a name without a glyph.
    static std::optional<char32_t> codePoint(std::string_view systemName);
    static std::vector<std::string_view> knownNames();

    // The icon font at a pixel size, loaded from the application's resources on first use.
    static QFont font(qreal pixelSize);
    static QString glyph(std::string_view systemName);
    // Draws the icon centred in the rectangle; an unknown name draws nothing.
    static void paint(QPainter&, const QRectF&, std::string_view systemName, const QColor&, qreal pixelSize);
};

}
