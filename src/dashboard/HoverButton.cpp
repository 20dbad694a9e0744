#include "dashboard/HoverButton.h"

#include "dashboard/DashboardStyle.h"
#include "dashboard/SymbolIcon.h"

#include <QEnterEvent>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace tallowin {

namespace {

constexpr qreal iconSpacing = 6;

}

InteractiveButtonStyle::Metrics InteractiveButtonStyle::metrics(StyleSize size)
{
    if (size == StyleSize::compact)
        return { 13, 10, 6 };
    return { 15, 14, 10 };
}

qreal InteractiveButtonStyle::fillOpacity(bool isPressed, bool isHovering)
{
    return isPressed ? 0.85 : isHovering ? 0.75 : 0.6;
}

qreal InteractiveButtonStyle::outlineOpacity(bool isPressed, bool isHovering)
{
    return isPressed ? 0.4 : isHovering ? 0.35 : 0.25;
}

qreal InteractiveButtonStyle::scale(bool isPressed)
{
    return isPressed ? 0.97 : 1.0;
}

HoverButton::HoverButton(InteractiveButtonStyle style, QWidget* parent)
    : QAbstractButton(parent)
    , m_style(std::move(style))
{
    setAttribute(Qt::WA_Hover);
    setCursor(Qt::PointingHandCursor);
    setFocusPolicy(Qt::TabFocus);
    setFont(DashboardStyle::font(InteractiveButtonStyle::metrics(m_style.size).fontPixelSize, QFont::DemiBold));
}

void HoverButton::setButtonStyle(InteractiveButtonStyle style)
{
    if (style == m_style)
        return;
    bool resized = style.size != m_style.size;
    m_style = std::move(style);
    if (resized) {
        setFont(DashboardStyle::font(InteractiveButtonStyle::metrics(m_style.size).fontPixelSize, QFont::DemiBold));
        updateGeometry();
    }
    update();
}

void HoverButton::setIconSystemName(std::string name)
{
    if (name == m_iconSystemName)
        return;
    m_iconSystemName = std::move(name);
    updateGeometry();
    update();
}

qreal HoverButton::currentFillOpacity() const
{
    return InteractiveButtonStyle::fillOpacity(isDown(), m_isHovering);
}

qreal HoverButton::currentOutlineOpacity() const
{
    return InteractiveButtonStyle::outlineOpacity(isDown(), m_isHovering);
}

qreal HoverButton::currentScale() const
{
    return InteractiveButtonStyle::scale(isDown());
}

QSize HoverButton::sizeHint() const
{
    auto metrics = InteractiveButtonStyle::metrics(m_style.size);
    QFontMetricsF fontMetrics(font());
    qreal width = fontMetrics.horizontalAdvance(text());
    if (!m_iconSystemName.empty())
        width += metrics.fontPixelSize + iconSpacing;
    qreal height = std::max(fontMetrics.height(), metrics.fontPixelSize);
    return QSize(qCeil(width) + 2 * metrics.horizontalPadding, qCeil(height) + 2 * metrics.verticalPadding);
}

QSize HoverButton::minimumSizeHint() const
{
    return sizeHint();
}

void HoverButton::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    if (!isEnabled())
        painter.setOpacity(InteractiveButtonStyle::disabledOpacity);

    QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    qreal scale = currentScale();
    if (scale != 1.0) {
        QPointF centre = bounds.center();
        painter.translate(centre);
        painter.scale(scale, scale);
        painter.translate(-centre);
    }

    QColor fill = m_style.accentColor;
    fill.setAlphaF(static_cast<float>(currentFillOpacity()));
    QColor outline(Qt::white);
    outline.setAlphaF(static_cast<float>(currentOutlineOpacity()));
    painter.setPen(QPen(outline, 1));
    painter.setBrush(fill);
    painter.drawRoundedRect(bounds, InteractiveButtonStyle::cornerRadius, InteractiveButtonStyle::cornerRadius);

    auto metrics = InteractiveButtonStyle::metrics(m_style.size);
    QFontMetricsF fontMetrics(font());
    qreal textWidth = fontMetrics.horizontalAdvance(text());
    qreal iconWidth = m_iconSystemName.empty() ? 0 : metrics.fontPixelSize + iconSpacing;
    qreal left = bounds.center().x() - (textWidth + iconWidth) / 2;
    if (!m_iconSystemName.empty())
        SymbolIcon::paint(painter, QRectF(left, bounds.top(), metrics.fontPixelSize, bounds.height()), m_iconSystemName,
            Qt::white, metrics.fontPixelSize + 2);
    painter.setPen(Qt::white);
    painter.setFont(font());
    painter.drawText(QRectF(left + iconWidth, bounds.top(), textWidth + 1, bounds.height()), Qt::AlignVCenter | Qt::AlignLeft,
        text());
}

void HoverButton::enterEvent(QEnterEvent* event)
{
    m_isHovering = true;
    update();
    QAbstractButton::enterEvent(event);
}

void HoverButton::leaveEvent(QEvent* event)
{
    m_isHovering = false;
    update();
    QAbstractButton::leaveEvent(event);
}

}
