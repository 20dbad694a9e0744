#include "dashboard/VolumeControlPanel.h"

#include "dashboard/DashboardStyle.h"
#include "dashboard/HorizontalScrollArea.h"
#include "dashboard/HoverButton.h"
#include "dashboard/SymbolIcon.h"

#include <QFontMetricsF>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace tallowin {

namespace {

QColor withAlpha(QColor color, qreal alpha)
{
    color.setAlphaF(static_cast<float>(alpha));
    return color;
}

QString colourStyle(const QColor& color)
{
    return QStringLiteral("color: rgba(%1, %2, %3, %4);").arg(color.red()).arg(color.green()).arg(color.blue()).arg(color.alphaF());
}

}

InfoChipView::InfoChipView(QWidget* parent)
    : QWidget(parent)
{
    setFixedSize(sizeHint());
}

QSize InfoChipView::sizeHint() const
{
    QFontMetricsF metrics(DashboardStyle::font(12, QFont::Medium));
    // Insets 12, the 16-point icon and 6 before the text: wide enough for the usual facts
    // ("USB · 10 Gb/s"), with longer ones cut and shown whole in the tooltip.
    qreal text = metrics.horizontalAdvance(QString::fromStdString(m_item.value));
    int width = std::clamp(qCeil(12 + 16 + 6 + text + 12), minimumChipWidth, maximumChipWidth);
    return QSize(width, qCeil(std::max<qreal>(metrics.height(), 16)) + 12);
}

void InfoChipView::setItem(const InfoItem& item, bool isVolumeSelected)
{
    if (item.icon == m_item.icon && item.value == m_item.value && isVolumeSelected == m_isVolumeSelected)
        return;
    m_item = item;
    m_isVolumeSelected = isVolumeSelected;
    setToolTip(QString::fromStdString(m_item.value));
    setFixedSize(sizeHint());
    if (parentWidget())
        parentWidget()->adjustSize();
    update();
}

void InfoChipView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(withAlpha(DashboardStyle::primaryText(), 0.05));
    painter.drawRoundedRect(QRectF(rect()), 14, 14);
    QRectF icon(12, (height() - 16) / 2.0, 16, 16);
    SymbolIcon::paint(painter, icon, m_item.icon, DashboardStyle::secondaryText(), 14);
    QFont font = DashboardStyle::font(12, QFont::Medium);
    painter.setFont(font);
    painter.setPen(m_isVolumeSelected ? DashboardStyle::primaryText() : DashboardStyle::tertiaryText());
    QRectF text(icon.right() + 6, 0, width() - icon.right() - 6 - 12, height());
    painter.drawText(text, Qt::AlignVCenter | Qt::AlignLeft,
        QFontMetricsF(font).elidedText(QString::fromStdString(m_item.value), Qt::ElideRight, text.width()));
}

VolumeControlPanel::VolumeControlPanel(Actions actions, QWidget* parent)
    : QWidget(parent)
    , m_actions(std::move(actions))
{
    setFixedHeight(panelHeight);
    setMinimumWidth(minimumWidth);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(18, 16, 18, 16);
    column->setSpacing(12);

    // At the band's height the name and the capacity share the first line, and the facts and
    // the buttons the second.
    auto* heading = new QHBoxLayout;
    heading->setSpacing(16);
    m_title = new QLabel(this);
    m_title->setFont(DashboardStyle::font(16, QFont::Bold));
    m_title->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_title->setTextFormat(Qt::PlainText);
    m_capacity = new QLabel(this);
    m_capacity->setFont(DashboardStyle::font(14, QFont::Medium));
    m_capacity->setTextFormat(Qt::PlainText);
    m_capacity->setStyleSheet(colourStyle(DashboardStyle::secondaryText()));
    heading->addWidget(m_title, 0, Qt::AlignBaseline);
    heading->addWidget(m_capacity, 0, Qt::AlignBaseline);
    heading->addStretch(1);
    column->addLayout(heading);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(12);
    auto* chipsArea = new HorizontalScrollArea(this);
    chipsArea->setFrameShape(QFrame::NoFrame);
    chipsArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    chipsArea->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    chipsArea->setWidgetResizable(false);
    chipsArea->viewport()->setAutoFillBackground(false);
    chipsArea->setStyleSheet(QStringLiteral("QScrollArea, QScrollArea > QWidget, QScrollArea > QWidget > QWidget { background: transparent; }"));
    auto* chipsRow = new QWidget;
    chipsRow->setAutoFillBackground(false);
    auto* chipsLayout = new QHBoxLayout(chipsRow);
    chipsLayout->setContentsMargins(0, 0, 0, 0);
    chipsLayout->setSpacing(10);
    for (int i = 0; i < 4; ++i) {
        auto* chip = new InfoChipView(chipsRow);
        chipsLayout->addWidget(chip);
        m_chips.push_back(chip);
    }
    chipsRow->adjustSize();
    chipsArea->setWidget(chipsRow);
    chipsArea->setFixedHeight(chipsRow->sizeHint().height());
    chipsArea->setMinimumWidth(InfoChipView::minimumChipWidth);
    controls->addWidget(chipsArea, 1, Qt::AlignVCenter);

    auto makeButton = [this, controls](std::function<void()> VolumeControlPanel::Actions::*action) {
        auto* button = new HoverButton({ DashboardStyle::color(AccentColor::systemAccent),
                                           InteractiveButtonStyle::StyleSize::compact },
            this);
        connect(button, &QAbstractButton::clicked, this, [this, action] {
            if (m_actions.*action)
                (m_actions.*action)();
        });
        controls->addWidget(button, 0, Qt::AlignVCenter);
        return button;
    };
    m_chooseVolume = makeButton(&Actions::onSelectVolume);
    m_monitoring = makeButton(&Actions::onToggleMonitoring);
    m_smart = makeButton(&Actions::onShowSMARTInfo);
    m_export = makeButton(&Actions::onExport);
    m_test = new HoverButton({ DashboardStyle::color(AccentColor::indigo), InteractiveButtonStyle::StyleSize::compact }, this);
    connect(m_test, &QAbstractButton::clicked, this, [this] {
        auto& action = m_testButtonStops ? m_actions.onStopPerformanceTest : m_actions.onRunPerformanceTest;
        if (action)
            action();
    });
    controls->addWidget(m_test, 0, Qt::AlignVCenter);
    column->addLayout(controls);

    apply();
}

void VolumeControlPanel::setModel(VolumeControlPanelModel model)
{
    if (model == m_model)
        return;
    m_model = std::move(model);
    apply();
}

void VolumeControlPanel::applyButton(HoverButton& button, const PanelButtonContent& content)
{
    QString title = QString::fromStdString(content.title);
    if (button.text() != title) {
        button.setText(title);
        button.updateGeometry();
    }
    button.setIconSystemName(content.iconSystemName);
    button.setButtonStyle({ DashboardStyle::color(content.accentColor), InteractiveButtonStyle::StyleSize::compact });
    button.setEnabled(content.isEnabled);
    button.setToolTip(QString::fromStdString(content.toolTip));
}

void VolumeControlPanel::apply()
{
    m_title->setText(QString::fromStdString(panelTitle(m_model)));
    m_title->setStyleSheet(
        colourStyle(m_model.isVolumeSelected ? DashboardStyle::primaryText() : DashboardStyle::secondaryText()));
    m_capacity->setText(QString::fromStdString(capacityLine(m_model)));
    auto chips = infoChips(m_model);
    for (std::size_t i = 0; i < chips.size() && i < m_chips.size(); ++i)
        m_chips[i]->setItem(chips[i], m_model.isVolumeSelected);

    auto buttons = panelButtons(m_model);
    applyButton(*m_chooseVolume, buttons.chooseVolume);
    applyButton(*m_monitoring, buttons.monitoring);
    applyButton(*m_smart, buttons.smart);
    applyButton(*m_export, buttons.exportChart);
    applyButton(*m_test, buttons.test);
    m_testButtonStops = buttons.testButtonStops;
}

QString VolumeControlPanel::titleText() const
{
    return m_title->text();
}

QString VolumeControlPanel::capacityLineText() const
{
    return m_capacity->text();
}

std::vector<QString> VolumeControlPanel::chipTexts() const
{
    std::vector<QString> texts;
    for (auto* chip : m_chips)
        texts.push_back(QString::fromStdString(chip->item().value));
    return texts;
}

void VolumeControlPanel::paintEvent(QPaintEvent*)
{
    // The translucent material: a faint light fill with a light hairline, inset by half a unit.
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(255, 255, 255, 31), 1));
    painter.setBrush(QColor(255, 255, 255, 15));
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 20, 20);
}

}
