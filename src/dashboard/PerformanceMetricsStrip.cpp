#include "dashboard/PerformanceMetricsStrip.h"

#include "dashboard/DashboardStyle.h"
#include "dashboard/HorizontalScrollArea.h"
#include "dashboard/SymbolIcon.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

namespace tallowin {

namespace {

constexpr qreal headerPixelSize = 12;
constexpr qreal valuePixelSize = 14;
constexpr int itemHorizontalInset = 12;
// The band is 64 high with 10 above and below; the item keeps 2 of its own so that header and
// value fit.
constexpr int itemVerticalInset = 2;
constexpr int headerValueSpacing = 6;
constexpr int iconSize = 14;
constexpr int iconTitleSpacing = 4;

QFont headerFont()
{
    return DashboardStyle::font(headerPixelSize, QFont::Medium);
}

QFont valueFont()
{
    return DashboardStyle::font(valuePixelSize, QFont::Medium);
}

}

MetricItemView::MetricItemView(QWidget* parent)
    : QWidget(parent)
{
}

QSize MetricItemView::sizeHint() const
{
    QFontMetricsF header(headerFont());
    QFontMetricsF value(valueFont());
    qreal headerWidth = iconSize + iconTitleSpacing + header.horizontalAdvance(QString::fromStdString(m_item.title));
    qreal valueWidth = value.horizontalAdvance(QString::fromStdString(m_item.value)) + 4;
    qreal width = std::max(headerWidth, valueWidth) + 2 * itemHorizontalInset;
    qreal height = header.height() + headerValueSpacing + value.height() + 2 * itemVerticalInset;
    return QSize(qCeil(width), qCeil(height));
}

void MetricItemView::setItem(MetricItem item)
{
    bool same = item.icon == m_item.icon && item.title == m_item.title && item.value == m_item.value
        && item.style == m_item.style;
    bool resized = item.title != m_item.title || item.value.size() != m_item.value.size();
    m_item = std::move(item);
    if (same)
        return;
    if (resized) {
        setFixedSize(sizeHint());
        updateGeometry();
    }
    update();
}

void MetricItemView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::TextAntialiasing);
    QColor accent = DashboardStyle::color(AccentColor::systemAccent);
    bool highlight = m_item.style == MetricItemStyle::highlight;
    QColor headerColour = highlight ? accent : DashboardStyle::secondaryText();
    QColor valueColour = highlight ? accent
        : m_item.style == MetricItemStyle::normal ? DashboardStyle::primaryText()
                                                  : DashboardStyle::secondaryText();

    QFontMetricsF header(headerFont());
    qreal top = itemVerticalInset;
    QRectF icon(itemHorizontalInset, top + (header.height() - iconSize) / 2, iconSize, iconSize);
    SymbolIcon::paint(painter, icon, m_item.icon, headerColour, iconSize);
    painter.setFont(headerFont());
    painter.setPen(headerColour);
    painter.drawText(QRectF(icon.right() + iconTitleSpacing, top, width(), header.height()), Qt::AlignLeft | Qt::AlignVCenter,
        QString::fromStdString(m_item.title));

    painter.setFont(valueFont());
    painter.setPen(valueColour);
    qreal valueTop = top + header.height() + headerValueSpacing;
    painter.drawText(QRectF(itemHorizontalInset + 2, valueTop, width(), QFontMetricsF(valueFont()).height()),
        Qt::AlignLeft | Qt::AlignVCenter, QString::fromStdString(m_item.value));
}

PerformanceMetricsStrip::PerformanceMetricsStrip(QWidget* parent)
    : QWidget(parent)
{
    setFixedHeight(stripHeight);
    setMinimumWidth(512);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(16, 10, 16, 10);
    m_scrollArea = new HorizontalScrollArea(this);
    m_scrollArea->setFrameShape(QFrame::NoFrame);
    m_scrollArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scrollArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scrollArea->setWidgetResizable(false);
    m_scrollArea->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget, QScrollArea > QWidget > QWidget { background: transparent; }"));
    m_row = new QWidget;
    m_rowLayout = new QHBoxLayout(m_row);
    m_rowLayout->setContentsMargins(0, 0, 0, 0);
    m_rowLayout->setSpacing(12);
    m_scrollArea->setWidget(m_row);
    layout->addWidget(m_scrollArea);
    setInputs({});
}

void PerformanceMetricsStrip::setInputs(PerformanceStripInputs inputs)
{
    m_inputs = std::move(inputs);
    auto items = performanceStripItems(m_inputs);
    bool countChanged = items.size() != m_views.size();
    while (m_views.size() > items.size()) {
        delete m_views.back();
        m_views.pop_back();
    }
    while (m_views.size() < items.size()) {
        auto* view = new MetricItemView(m_row);
        m_rowLayout->addWidget(view, 0, Qt::AlignVCenter);
        m_views.push_back(view);
    }
    for (std::size_t i = 0; i < items.size(); ++i)
        m_views[i]->setItem(std::move(items[i]));
    if (countChanged)
        m_scrollArea->horizontalScrollBar()->setValue(0);
    m_row->adjustSize();
}

std::vector<MetricItem> PerformanceMetricsStrip::items() const
{
    std::vector<MetricItem> items;
    for (auto* view : m_views)
        items.push_back(view->item());
    return items;
}

void PerformanceMetricsStrip::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(255, 255, 255, 31), 1));
    painter.setBrush(QColor(255, 255, 255, 12));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 20, 20);
}

}
