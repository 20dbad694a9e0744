#include "dashboard/MetricCardView.h"

#include "dashboard/DashboardStyle.h"
#include "dashboard/SymbolIcon.h"

#include <QFontMetricsF>
#include <QPainter>

#include <algorithm>

namespace tallowin {

namespace {

constexpr qreal cornerRadius = 16;
constexpr qreal badgeSize = 24;
constexpr qreal valueInset = 12;

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

QFont valueFont(qreal pixelSize)
{
    // The interface fonts' digits are of equal width already, so a changing figure does not jitter.
    return DashboardStyle::font(pixelSize, QFont::Black);
}

}

MetricCardView::MetricCardView(MetricCardContent content, QWidget* parent)
    : QWidget(parent)
    , m_content(std::move(content))
{
    setFixedSize(cardWidth, cardHeight);
}

void MetricCardView::setContent(MetricCardContent content)
{
    // The identity changes on every rebuild; only what is drawn decides a repaint.
    bool same = content.title == m_content.title && content.iconSystemName == m_content.iconSystemName
        && content.valueText == m_content.valueText && content.accentColor == m_content.accentColor
        && content.footer == m_content.footer;
    m_content = std::move(content);
    if (!same) {
        setToolTip(QString::fromStdString(m_content.title));
        update();
    }
}

QSize MetricCardView::sizeHint() const
{
    return QSize(cardWidth, cardHeight);
}

qreal MetricCardView::valueFontPixelSize() const
{
    qreal available = cardWidth - 2 * valueInset;
    QString text = QString::fromStdString(m_content.valueText);
    qreal width = QFontMetricsF(valueFont(valuePixelSize)).horizontalAdvance(text);
    if (width <= available)
        return valuePixelSize;
    return std::max(valuePixelSize * minimumValueScale, std::floor(valuePixelSize * available / width));
}

void MetricCardView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QColor accent = DashboardStyle::color(m_content.accentColor);
    QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);

    painter.setPen(QPen(withAlpha(accent, 0.25), 1));
    painter.setBrush(QColor(255, 255, 255, 13));
    painter.drawRoundedRect(bounds, cornerRadius, cornerRadius);

    // Header: badge and title, 10 from the top and 8 from the sides.
    QRectF badge(8, 10, badgeSize, badgeSize);
    painter.setPen(Qt::NoPen);
    painter.setBrush(withAlpha(accent, 0.18));
    painter.drawEllipse(badge);
    SymbolIcon::paint(painter, badge, m_content.iconSystemName, accent, 15);
    QFont titleFont = DashboardStyle::font(12, QFont::DemiBold);
    painter.setFont(titleFont);
    painter.setPen(DashboardStyle::secondaryText());
    QRectF titleRect(badge.right() + 6, badge.top(), width() - badge.right() - 6 - 8, badgeSize);
    painter.drawText(titleRect, Qt::AlignVCenter | Qt::AlignLeft,
        QFontMetricsF(titleFont).elidedText(QString::fromStdString(m_content.title), Qt::ElideRight, titleRect.width()));

    // Value: one line, shrunk to fit.
    QFont value = valueFont(valueFontPixelSize());
    painter.setFont(value);
    painter.setPen(accent);
    QRectF valueRect(valueInset, badge.bottom() + 6, width() - 2 * valueInset, QFontMetricsF(valueFont(valuePixelSize)).height());
    painter.drawText(valueRect, Qt::AlignVCenter | Qt::AlignLeft,
        QFontMetricsF(value).elidedText(QString::fromStdString(m_content.valueText), Qt::ElideRight, valueRect.width()));

    // Footer, 10 from the bottom.
    QFont footer = DashboardStyle::font(10, QFont::Medium);
    painter.setFont(footer);
    painter.setPen(DashboardStyle::secondaryText());
    qreal footerHeight = QFontMetricsF(footer).height();
    QRectF footerRect(valueInset, height() - 10 - footerHeight, width() - 2 * valueInset, footerHeight);
    painter.drawText(footerRect, Qt::AlignVCenter | Qt::AlignLeft,
        QFontMetricsF(footer).elidedText(QString::fromStdString(m_content.footer), Qt::ElideRight, footerRect.width()));
}

MetricsDashboardSection::MetricsDashboardSection(QWidget* parent)
    : QWidget(parent)
{
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    setFixedSize(1, MetricCardView::cardHeight);
}

void MetricsDashboardSection::setCards(std::vector<MetricCardContent> cards)
{
    while (m_views.size() > cards.size()) {
        delete m_views.back();
        m_views.pop_back();
    }
    for (std::size_t i = 0; i < cards.size(); ++i) {
        if (i < m_views.size()) {
            m_views[i]->setContent(std::move(cards[i]));
            continue;
        }
        auto* view = new MetricCardView(std::move(cards[i]), this);
        view->move(static_cast<int>(i) * (MetricCardView::cardWidth + spacing), 0);
        view->show();
        m_views.push_back(view);
    }
    // Side by side, 16 apart, and a 1-point spacer after the last card.
    auto count = static_cast<int>(m_views.size());
    setFixedSize(count * MetricCardView::cardWidth + std::max(count - 1, 0) * spacing + 1, MetricCardView::cardHeight);
}

std::vector<MetricCardContent> MetricsDashboardSection::cards() const
{
    std::vector<MetricCardContent> contents;
    for (auto* view : m_views)
        contents.push_back(view->content());
    return contents;
}

}
