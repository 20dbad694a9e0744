#include "charts/view/TooltipBubbleView.h"

#include "charts/view/ChartAppearance.h"

#include <QFontMetricsF>
#include <QGraphicsDropShadowEffect>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace tallowin {

TooltipBubbleView::TooltipBubbleView(QFont unifiedFont, QWidget* parent)
    : QWidget(parent)
    , m_unifiedFont(std::move(unifiedFont))
{
    // Hovering and gestures belong to the chart underneath.
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_TranslucentBackground);
    // The effect draws outside the widget's own rectangle, so the shadow may fall below it.
    auto* shadow = new QGraphicsDropShadowEffect(this);
    shadow->setColor(ChartAppearance::black(0.30));
    shadow->setBlurRadius(16);
    shadow->setOffset(0, 12);
    setGraphicsEffect(shadow);
}

QSizeF TooltipBubbleView::measure(const QFont& font, const QString& primaryLine, const QString& secondaryLine)
{
    const QFontMetricsF metrics(font);
    const double width = std::max(metrics.horizontalAdvance(primaryLine), metrics.horizontalAdvance(secondaryLine));
    const double height = metrics.height() * 2 + lineSpacing;
    return { std::ceil(width + 2 * padding), std::ceil(height + 2 * padding) };
}

void TooltipBubbleView::setLines(QString primaryLine, QString secondaryLine)
{
    if (primaryLine == m_primaryLine && secondaryLine == m_secondaryLine && !m_measuredSize.isEmpty())
        return;
    m_primaryLine = std::move(primaryLine);
    m_secondaryLine = std::move(secondaryLine);
    m_measuredSize = measure(m_unifiedFont, m_primaryLine, m_secondaryLine);
    update();
}

void TooltipBubbleView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    painter.setPen(QPen(ChartAppearance::white(0.18), 1));
    painter.setBrush(ChartAppearance::black(0.78));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), cornerRadius, cornerRadius);

    const QFontMetricsF metrics(m_unifiedFont);
    painter.setFont(m_unifiedFont);
    const double lineWidth = width() - 2 * padding;
    painter.setPen(ChartAppearance::primaryText());
    painter.drawText(QRectF(padding, padding, lineWidth, metrics.height()), Qt::AlignLeft | Qt::AlignVCenter,
        m_primaryLine);
    painter.setPen(ChartAppearance::secondaryText());
    painter.drawText(QRectF(padding, padding + metrics.height() + lineSpacing, lineWidth, metrics.height()),
        Qt::AlignLeft | Qt::AlignVCenter, m_secondaryLine);
}

}
