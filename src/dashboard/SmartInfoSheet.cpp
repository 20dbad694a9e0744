#include "dashboard/SmartInfoSheet.h"

#include "core/Language.h"
#include "core/Messages.h"
#include "dashboard/DashboardStyle.h"

#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace tallowin {

namespace {

QString colourStyle(const QColor& color)
{
    return QStringLiteral("color: rgba(%1, %2, %3, %4);").arg(color.red()).arg(color.green()).arg(color.blue()).arg(color.alphaF());
}

QLabel* makeLabel(const QString& text, const QFont& font, const QColor& color, QWidget* parent, bool selectable = false)
{
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setStyleSheet(colourStyle(color));
    if (selectable)
        label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    return label;
}

// A detail's card: a rounded tile faintly lighter than the sheet.
class DetailCard : public QFrame {
public:
    using QFrame::QFrame;

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        QColor fill = DashboardStyle::primaryText();
        fill.setAlphaF(0.05f);
        painter.setBrush(fill);
        painter.drawRoundedRect(QRectF(rect()), 14, 14);
    }
};

}

SmartInfoSheet::SmartInfoSheet(QString volumeName, DiskSMARTInfo info, QWidget* parent)
    : QDialog(parent)
{
    setModal(true);
    setWindowModality(Qt::WindowModal);
    setWindowTitle(QString::fromStdString(Messages::smartSheetTitle(volumeName.toStdString())));
    setMinimumWidth(minimumSheetWidth);
    setMaximumWidth(maximumSheetWidth);
    setAutoFillBackground(true);
    QPalette palette = DashboardStyle::darkPalette();
    setPalette(palette);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(24, 24, 24, 24);
    column->setSpacing(20);

    auto* header = new QVBoxLayout;
    header->setSpacing(6);
    m_title = makeLabel(QString::fromStdString(Messages::smartSheetTitle(volumeName.toStdString())),
        DashboardStyle::font(22, QFont::Bold), DashboardStyle::primaryText(), this);
    header->addWidget(m_title);
    header->addWidget(makeLabel(QString::fromStdString(localized(
                                    "The following entries come from the system SMART report and help assess disk health.",
                                    "以下信息来自系统的 SMART 报告，用于评估磁盘健康状况。")),
        DashboardStyle::font(13, QFont::Normal), DashboardStyle::secondaryText(), this));
    column->addLayout(header);

    auto rows = smartSummaryRows(info);
    if (!rows.empty()) {
        auto* summary = new QGridLayout;
        summary->setHorizontalSpacing(12);
        summary->setVerticalSpacing(12);
        summary->setColumnMinimumWidth(0, 128);
        summary->setColumnStretch(1, 1);
        int row = 0;
        for (const auto& [labelText, valueText] : rows) {
            auto* label = makeLabel(QString::fromStdString(labelText), DashboardStyle::font(13, QFont::DemiBold),
                DashboardStyle::secondaryText(), this);
            label->setFixedWidth(128);
            auto* value = makeLabel(QString::fromStdString(valueText), DashboardStyle::font(15, QFont::Medium),
                DashboardStyle::primaryText(), this, true);
            summary->addWidget(label, row, 0, Qt::AlignLeft | Qt::AlignBaseline);
            summary->addWidget(value, row, 1, Qt::AlignLeft | Qt::AlignBaseline);
            m_summary.emplace_back(label, value);
            ++row;
        }
        column->addLayout(summary);
    }

    auto* divider = new QFrame(this);
    divider->setFrameShape(QFrame::HLine);
    divider->setFixedHeight(1);
    divider->setStyleSheet(QStringLiteral("background: rgba(255, 255, 255, 0.14); border: none;"));
    column->addWidget(divider);

    if (info.details.empty()) {
        m_emptyDetails = makeLabel(QString::fromStdString(localized("The system did not expose additional SMART attributes.",
                                       "系统未提供额外的 SMART 详细属性。")),
            DashboardStyle::font(13, QFont::Normal), DashboardStyle::secondaryText(), this);
        column->addWidget(m_emptyDetails);
    } else {
        m_detailsArea = new QScrollArea(this);
        m_detailsArea->setFrameShape(QFrame::NoFrame);
        m_detailsArea->setWidgetResizable(true);
        m_detailsArea->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        m_detailsArea->setStyleSheet(QStringLiteral(
            "QScrollArea, QScrollArea > QWidget > QWidget { background: transparent; }"
            "QScrollBar:vertical { width: 8px; background: transparent; margin: 0; }"
            "QScrollBar::handle:vertical { background: rgba(255, 255, 255, 0.22); border-radius: 4px; min-height: 30px; }"
            "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0; }"
            "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical { background: transparent; }"));
        auto* list = new QWidget;
        auto* cards = new QVBoxLayout(list);
        cards->setContentsMargins(0, 4, 0, 4);
        cards->setSpacing(12);
        for (const auto& detail : info.details) {
            auto* card = new DetailCard(list);
            auto* lines = new QVBoxLayout(card);
            lines->setContentsMargins(14, 14, 14, 14);
            lines->setSpacing(6);
            std::vector<QLabel*> labels;
            labels.push_back(makeLabel(QString::fromStdString(detail.displayName), DashboardStyle::font(15, QFont::DemiBold),
                DashboardStyle::primaryText(), card, true));
            if (showsKeyPath(detail))
                labels.push_back(makeLabel(QString::fromStdString(detail.keyPath), DashboardStyle::monospacedFont(11),
                    DashboardStyle::tertiaryText(), card, true));
            labels.push_back(makeLabel(QString::fromStdString(detail.value), DashboardStyle::font(13, QFont::Normal),
                DashboardStyle::primaryText(), card, true));
            for (auto* label : labels)
                lines->addWidget(label);
            cards->addWidget(card);
            m_cards.push_back(std::move(labels));
        }
        cards->addStretch(1);
        m_detailsArea->setWidget(list);
        // As high as the cards need, never past 320: longer reports scroll inside.
        list->setFixedWidth(preferredSheetWidth - 48 - m_detailsArea->verticalScrollBar()->sizeHint().width());
        list->adjustSize();
        m_detailsArea->setFixedHeight(std::min(maximumDetailsHeight, list->sizeHint().height()));
        list->setMinimumWidth(0);
        list->setMaximumWidth(QWIDGETSIZE_MAX);
        column->addWidget(m_detailsArea);
    }

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto* ok = new QPushButton(QString::fromStdString(localized("OK", "好")), this);
    ok->setDefault(true);
    ok->setAutoDefault(true);
    ok->setMinimumWidth(72);
    ok->setStyleSheet(QStringLiteral("QPushButton { background: rgb(10, 132, 255); color: white; border: none; "
                                     "border-radius: 6px; padding: 5px 16px; font-weight: 600; }"
                                     "QPushButton:pressed { background: rgb(8, 105, 204); }"));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    buttons->addWidget(ok);
    column->addLayout(buttons);
    column->setSizeConstraint(QLayout::SetMinAndMaxSize);
    resize(preferredSheetWidth, sizeHint().height());
}

QSize SmartInfoSheet::sizeHint() const
{
    return QSize(preferredSheetWidth, QDialog::sizeHint().height());
}

QString SmartInfoSheet::titleText() const
{
    return m_title->text();
}

std::vector<std::pair<QString, QString>> SmartInfoSheet::summaryTexts() const
{
    std::vector<std::pair<QString, QString>> texts;
    for (const auto& [label, value] : m_summary)
        texts.emplace_back(label->text(), value->text());
    return texts;
}

std::vector<std::vector<QString>> SmartInfoSheet::detailCardTexts() const
{
    std::vector<std::vector<QString>> cards;
    for (const auto& labels : m_cards) {
        std::vector<QString> lines;
        for (auto* label : labels)
            lines.push_back(label->text());
        cards.push_back(std::move(lines));
    }
    return cards;
}

QString SmartInfoSheet::emptyDetailsText() const
{
    return m_emptyDetails ? m_emptyDetails->text() : QString();
}

}
