#include "dashboard/SymbolIcon.h"

#include <QFontDatabase>
#include <QPainter>

#include <array>
#include <utility>

namespace tallowin {

namespace {

// Symbol names and the Material Icons glyph that reads the same (the font's own name in the
// comment, so the code point can be checked against the font's table).
constexpr std::array<std::pair<std::string_view, char32_t>, 33> symbols { {
    { "arrow.down.circle.fill", 0xF181 }, // arrow_circle_down
    { "arrow.up.circle.fill", 0xF182 }, // arrow_circle_up
    { "square.and.arrow.down.fill", 0xE2C4 }, // file_download
    { "square.and.arrow.up.fill", 0xE2C6 }, // file_upload
    { "externaldrive.fill", 0xE1DB }, // storage
    { "clock.fill", 0xE8B5 }, // schedule
    { "thermometer", 0xF076 }, // thermostat
    { "checkmark.circle.fill", 0xE86C }, // check_circle
    { "exclamationmark.triangle.fill", 0xE002 }, // warning
    { "externaldrive", 0xE2C8 }, // folder_open: the button opens a folder chooser
    { "play.fill", 0xE037 }, // play_arrow
    { "pause.fill", 0xE034 }, // pause
    { "stop.fill", 0xE047 }, // stop
    { "internaldrive.fill", 0xE1D5 }, // health_and_safety: the drive's health report
    { "square.and.arrow.down", 0xE171 }, // save_alt
    { "arrow.clockwise", 0xE5D5 }, // refresh
    { "speedometer", 0xE9E4 }, // speed
    { "bolt.horizontal.fill", 0xEA0B }, // bolt
    { "doc.text.fill", 0xE873 }, // description
    { "building.2.fill", 0xE0AF }, // business
    { "wrench.and.screwdriver.fill", 0xE869 }, // build
    { "gauge.with.needle", 0xE1AF }, // data_usage
    { "tray.full.fill", 0xE1A1 }, // inventory_2
    { "internaldrive", 0xE875 }, // dns
    { "clock", 0xE192 }, // access_time
    { "hourglass", 0xEA5B }, // hourglass_top
    { "square.grid.3x3.fill", 0xE9B0 }, // grid_view
    { "square.grid.3x3", 0xE3EC }, // grid_on
    { "arrow.down.to.line.compact", 0xE258 }, // vertical_align_bottom
    { "arrow.up.to.line.compact", 0xE25A }, // vertical_align_top
    { "clock.badge.checkmark", 0xE614 }, // event_available
    { "xmark.circle.fill", 0xE5C9 }, // cancel
    { "info.circle.fill", 0xE88E }, // info
} };

QString iconFamily()
{
    // Loaded once per process; the font database belongs to the GUI application.
    static const QString family = [] {
        int id = QFontDatabase::addApplicationFont(QStringLiteral(":/tallowin/icons/MaterialIcons-Regular.ttf"));
        auto families = id < 0 ? QStringList() : QFontDatabase::applicationFontFamilies(id);
        return families.isEmpty() ? QStringLiteral("Material Icons") : families.first();
    }();
    return family;
}

}

std::optional<char32_t> SymbolIcon::codePoint(std::string_view systemName)
{
    for (const auto& [name, code] : symbols) {
        if (name == systemName)
            return code;
    }
    return std::nullopt;
}

std::vector<std::string_view> SymbolIcon::knownNames()
{
    std::vector<std::string_view> names;
    for (const auto& symbol : symbols)
        names.push_back(symbol.first);
    return names;
}

QFont SymbolIcon::font(qreal pixelSize)
{
    QFont font(iconFamily());
    font.setPixelSize(qMax(1, qRound(pixelSize)));
    font.setStyleStrategy(QFont::NoFontMerging);
    return font;
}

QString SymbolIcon::glyph(std::string_view systemName)
{
    auto code = codePoint(systemName);
    if (!code)
        return {};
    char32_t text[] = { *code };
    return QString::fromUcs4(text, 1);
}

void SymbolIcon::paint(QPainter& painter, const QRectF& rect, std::string_view systemName, const QColor& color, qreal pixelSize)
{
    QString text = glyph(systemName);
    if (text.isEmpty())
        return;
    painter.save();
    painter.setFont(font(pixelSize));
    painter.setPen(color);
    painter.drawText(rect, Qt::AlignCenter, text);
    painter.restore();
}

}
