#pragma once

#include "dashboard/DashboardContent.h"

#include <QDialog>

#include <vector>

class QLabel;
class QScrollArea;

namespace tallowin {

// The SMART report of a volume in a modal sheet over the main window: the header, the status
// and capability rows, and one card per detail in a scrolling area of at most 320 high.
class SmartInfoSheet : public QDialog {
    Q_OBJECT

public:
    static constexpr int minimumSheetWidth = 520;
    static constexpr int preferredSheetWidth = 560;
    static constexpr int maximumSheetWidth = 640;
    static constexpr int maximumDetailsHeight = 320;

    SmartInfoSheet(QString volumeName, DiskSMARTInfo, QWidget* parent = nullptr);

    QString titleText() const;
    // The summary rows as label and value.
    std::vector<std::pair<QString, QString>> summaryTexts() const;
    // Each detail card's lines, top to bottom.
    std::vector<std::vector<QString>> detailCardTexts() const;
    // The note shown instead of cards when the report has no details, or empty.
    QString emptyDetailsText() const;
    // The scrolling area of the cards, or null without details.
    QScrollArea* detailsArea() const { return m_detailsArea; }

    QSize sizeHint() const override;

private:
    QLabel* m_title { nullptr };
    std::vector<std::pair<QLabel*, QLabel*>> m_summary;
    std::vector<std::vector<QLabel*>> m_cards;
    QLabel* m_emptyDetails { nullptr };
    QScrollArea* m_detailsArea { nullptr };
};

}
