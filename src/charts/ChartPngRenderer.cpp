#include "charts/ChartPngRenderer.h"

#include "charts/ChartExportSupport.h"

#include <QBuffer>
#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#if defined(__SANITIZE_ADDRESS__)
// Fontconfig keeps the configuration Qt loads for the rest of the process and Qt never releases
// it; the leak checker of sanitizer builds would otherwise fail every program that draws text.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libfontconfig.so\n";
}
#endif

namespace tallowin::ChartExportSupport {

namespace {

// Margins of the plot inside the picture.
constexpr double marginLeft = 220;
constexpr double marginRight = 160;
constexpr double marginBottom = 240;
constexpr double marginTop = 160;

// A fixed light-on-dark pair: the picture has a transparent background and is most often shown
// on the dark chart card it comes from.
const QColor primaryText(255, 255, 255);
const QColor secondaryText(152, 152, 157);
const QColor readColour = QColor::fromRgbF(0.203f, 0.781f, 0.349f, 1.0f);
const QColor writeColour = QColor::fromRgbF(1.0f, 0.584f, 0.0f, 1.0f);

QColor withOpacity(QColor colour, double opacity)
{
    colour.setAlphaF(static_cast<float>(opacity));
    return colour;
}

// Qt's font database exists only inside a QGuiApplication. A process that has none (the command
// line, tests) gets an off-screen one, created once and kept for the rest of the process.
bool ensureGuiApplication()
{
    if (QCoreApplication::instance())
        return qobject_cast<QGuiApplication*>(QCoreApplication::instance()) != nullptr;
    static std::array<char, 9> name { "tallowin" };
    static std::array<char, 10> platformOption { "-platform" };
    static std::array<char, 10> platform { "offscreen" };
    static std::array<char*, 4> arguments { name.data(), platformOption.data(), platform.data(), nullptr };
    static int argumentCount = 3;
    static const auto application = [] {
        // Without a session the platform setup warns about a missing runtime directory, which
        // an off-screen application never uses; the warning would only confuse a command-line
        // user. Anything worse than a warning still goes to Qt's usual handler.
        static QtMessageHandler previous = qInstallMessageHandler(nullptr);
        qInstallMessageHandler([](QtMsgType type, const QMessageLogContext& context, const QString& message) {
            if (type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg)
                return;
            if (previous)
                previous(type, context, message);
            else
                std::fprintf(stderr, "%s\n", qPrintable(message));
        });
        auto created = std::make_unique<QGuiApplication>(argumentCount, arguments.data());
        qInstallMessageHandler(previous);
        return created;
    }();
    return application != nullptr;
}

QFont chartFont(int pixelSize, QFont::Weight weight)
{
    QFont font;
    // DejaVu Sans has tabular digits; Noto Sans CJK covers the Chinese texts.
    font.setFamilies({ QStringLiteral("DejaVu Sans"), QStringLiteral("Noto Sans CJK SC") });
    font.setPixelSize(pixelSize);
    font.setWeight(weight);
    font.setStyleStrategy(QFont::PreferAntialias);
    return font;
}

int pixelExtent(double value)
{
    if (!(value >= 1))
        return 1;
    return static_cast<int>(std::min(value, static_cast<double>(std::numeric_limits<int>::max())));
}

// Drawing in the chart's own coordinates: origin at the bottom-left corner, y upwards.
class Canvas {
public:
    Canvas(QPainter& painter, double height)
        : m_painter(painter)
        , m_height(height)
    { }

    QPointF point(double x, double y) const { return { x, m_height - y }; }
    double qtY(double y) const { return m_height - y; }
    QPainter& painter() { return m_painter; }

    void line(double x1, double y1, double x2, double y2, const QPen& pen)
    {
        m_painter.setPen(pen);
        m_painter.drawLine(point(x1, y1), point(x2, y2));
    }

private:
    QPainter& m_painter;
    double m_height;
};

QPen pen(const QColor& colour, double width)
{
    QPen result(colour);
    result.setWidthF(width);
    result.setCapStyle(Qt::FlatCap);
    result.setJoinStyle(Qt::RoundJoin);
    return result;
}

// One series, 4 px wide. A busy run zigzags across the whole plot height thousands of times; as
// one path, every scan line of its outline would cross thousands of edges, which made a full
// history take seconds. Short runs of points keep the per-line edge count small; the colours are
// opaque and the pieces share their end points, so round caps join them seamlessly.
void strokePolyline(QPainter& painter, const QPolygonF& polyline, const QColor& colour)
{
    constexpr qsizetype pieceLength = 8;
    QPen linePen = pen(colour, 4);
    linePen.setCapStyle(Qt::RoundCap);
    painter.setPen(linePen);
    if (polyline.size() == 1) {
        painter.drawPoint(polyline.front());
        return;
    }
    for (qsizetype start = 0; start + 1 < polyline.size(); start += pieceLength) {
        qsizetype count = std::min(pieceLength + 1, polyline.size() - start);
        painter.drawPolyline(polyline.constData() + start, static_cast<int>(count));
    }
}

void drawChart(QPainter& painter, const std::vector<DiskSample>& samples, int sampleIntervalMs, double width,
    double height, Language language)
{
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setRenderHint(QPainter::TextAntialiasing, true);
    Canvas canvas(painter, height);

    const double left = marginLeft;
    const double bottom = marginBottom;
    const double plotWidth = std::max(width - (marginLeft + marginRight), 1.0);
    const double plotHeight = std::max(height - (marginBottom + marginTop), 1.0);
    const double right = left + plotWidth;
    const double top = bottom + plotHeight;
    const QRectF plotRect(left, canvas.qtY(top), plotWidth, plotHeight);

    QPainterPath frame;
    frame.addRoundedRect(plotRect, 24, 24);
    painter.fillPath(frame, withOpacity(Qt::black, 0.06));
    painter.strokePath(frame, pen(withOpacity(Qt::white, 0.18), 2));

    const double factor = rateFactor(sampleIntervalMs);
    const auto maximumPoints = std::max<std::int64_t>(static_cast<std::int64_t>(plotWidth), 512);
    const auto points = reducePoints(samples, maximumPoints, factor);
    const auto lines = summaryLines(summarize(samples, sampleIntervalMs), language);

    double largest = 0;
    for (const auto& point : points)
        largest = std::max({ largest, point.readSpeed, point.writeSpeed });
    const double scale = std::max(largest, 1.0);
    const auto vertical = verticalTicks(scale);
    const auto horizontal = horizontalTicks(static_cast<std::int64_t>(samples.size()), sampleIntervalMs);

    QPen grid = pen(withOpacity(Qt::white, 0.15), 1);
    grid.setDashPattern({ 6, 4 });
    for (const auto& tick : vertical) {
        if (tick.position > 0 && tick.position < 1) {
            double y = bottom + tick.position * plotHeight;
            canvas.line(left, y, right, y, grid);
        }
    }

    const QPen axis = pen(withOpacity(primaryText, 0.9), 2.5);
    canvas.line(left, bottom, left, top, axis);
    canvas.line(left, bottom, right, bottom, axis);

    const QFont tickFont = chartFont(32, QFont::Medium);
    const QFontMetricsF tickMetrics(tickFont);
    const QPen tickMark = pen(withOpacity(primaryText, 0.8), 2);
    painter.setFont(tickFont);
    for (const auto& tick : vertical) {
        double y = bottom + tick.position * plotHeight;
        canvas.line(left - 16, y, left, y, tickMark);
        painter.setPen(primaryText);
        QRectF box(0, canvas.qtY(y) - tickMetrics.height() / 2, left - 28, tickMetrics.height());
        painter.drawText(box, Qt::AlignRight | Qt::AlignVCenter, QString::fromStdString(throughputText(tick.value, language)));
    }
    for (const auto& tick : horizontal) {
        double x = left + tick.position * plotWidth;
        canvas.line(x, bottom, x, bottom - 20, tickMark);
        painter.setPen(primaryText);
        QString label = QString::fromStdString(durationText(tick.value, language));
        double labelWidth = tickMetrics.horizontalAdvance(label) + 2;
        QRectF box(x - labelWidth / 2, canvas.qtY(bottom) + 28, labelWidth, tickMetrics.height());
        painter.drawText(box, Qt::AlignHCenter | Qt::AlignTop, label);
    }

    if (points.empty()) {
        painter.setFont(chartFont(60, QFont::DemiBold));
        painter.setPen(secondaryText);
        painter.drawText(plotRect, Qt::AlignCenter, QString::fromStdString(waitingForDataText(language)));
        return;
    }

    const double spanIndex = static_cast<double>(std::max<std::size_t>(samples.size(), 2) - 1);
    auto polyline = [&](auto rateOf) {
        QPolygonF polygon;
        polygon.reserve(static_cast<qsizetype>(points.size()));
        for (const auto& point : points) {
            double x = left + static_cast<double>(point.index) / spanIndex * plotWidth;
            double y = bottom + std::clamp(rateOf(point) / scale, 0.0, 1.0) * plotHeight;
            polygon << canvas.point(x, y);
        }
        return polygon;
    };
    painter.setBrush(Qt::NoBrush);
    strokePolyline(painter, polyline([](const DownsampledPoint& point) { return point.readSpeed; }), readColour);
    strokePolyline(painter, polyline([](const DownsampledPoint& point) { return point.writeSpeed; }), writeColour);

    // Legend above the plot: disc, label, disc, label.
    const QFont legendFont = chartFont(44, QFont::DemiBold);
    const QFontMetricsF legendMetrics(legendFont);
    painter.setFont(legendFont);
    constexpr double disc = 48;
    const double discBottom = top + 48;
    double x = left;
    auto legendEntry = [&](const QColor& colour, const std::string& text) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(QRectF(x, canvas.qtY(discBottom + disc), disc, disc));
        painter.setBrush(Qt::NoBrush);
        QString label = QString::fromStdString(text);
        double labelWidth = legendMetrics.horizontalAdvance(label);
        x += disc + 20;
        painter.setPen(primaryText);
        QRectF box(x, canvas.qtY(discBottom + disc / 2) - legendMetrics.height() / 2, labelWidth + 2,
            legendMetrics.height());
        painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, label);
        x += labelWidth + 28;
    };
    legendEntry(readColour, readLegendText(language));
    legendEntry(writeColour, writeLegendText(language));

    // Summary box in the plot's top-right corner.
    const QFont summaryFont = chartFont(40, QFont::Medium);
    const QFontMetricsF summaryMetrics(summaryFont);
    double widest = 0;
    double linesHeight = 0;
    for (const auto& line : lines) {
        widest = std::max(widest, summaryMetrics.horizontalAdvance(QString::fromStdString(line)));
        linesHeight += summaryMetrics.height();
    }
    const double boxWidth = widest + 64;
    const double boxHeight = linesHeight + 16 * static_cast<double>(lines.size() - 1) + 56;
    const QRectF box(right - 32 - boxWidth, canvas.qtY(top) + 32, boxWidth, boxHeight);
    QPainterPath boxPath;
    boxPath.addRoundedRect(box, 18, 18);
    painter.fillPath(boxPath, withOpacity(Qt::black, 0.45));
    painter.setFont(summaryFont);
    painter.setPen(Qt::white);
    double lineTop = box.top() + 28;
    for (const auto& line : lines) {
        QRectF lineBox(box.left() + 32, lineTop, boxWidth - 32, summaryMetrics.height());
        painter.drawText(lineBox, Qt::AlignLeft | Qt::AlignTop, QString::fromStdString(line));
        lineTop += summaryMetrics.height() + 16;
    }
}

}

Expected<std::vector<std::uint8_t>, ChartDataExportError> renderPNG(
    const std::vector<DiskSample>& samples, int sampleIntervalMs, double width, double height)
{
    if (!ensureGuiApplication())
        return Unexpected(ChartDataExportError::bitmapContextUnavailable);
    const int pixelWidth = pixelExtent(width);
    const int pixelHeight = pixelExtent(height);
    QImage image(pixelWidth, pixelHeight, QImage::Format_ARGB32_Premultiplied);
    if (image.isNull())
        return Unexpected(ChartDataExportError::bitmapContextUnavailable);
    image.fill(Qt::transparent);
    {
        QPainter painter;
        if (!painter.begin(&image))
            return Unexpected(ChartDataExportError::bitmapContextUnavailable);
        drawChart(painter, samples, sampleIntervalMs, pixelWidth, pixelHeight, currentLanguage());
    }

    QByteArray encoded;
    QBuffer buffer(&encoded);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG") || encoded.isEmpty())
        return Unexpected(ChartDataExportError::pngEncodingFailed);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(encoded.constData());
    return std::vector<std::uint8_t>(bytes, bytes + encoded.size());
}

}
