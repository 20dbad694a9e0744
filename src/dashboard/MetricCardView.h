#pragma once

#include "dashboard/DashboardContent.h"

#include <QWidget>

#include <vector>

namespace tallowin {

// One metric tile: the icon on a tinted badge and the title, the value in large heavy digits
// (shrinking to 65 % at most to fit), and the footer.
class MetricCardView : public QWidget {
    Q_OBJECT

public:
    // 108 high as laid out; wider than high so that the longer titles and values are not cut.
    static constexpr int cardWidth = 172;
    static constexpr int cardHeight = 108;
    static constexpr qreal valuePixelSize = 24;
    static constexpr qreal minimumValueScale = 0.65;

    explicit MetricCardView(MetricCardContent, QWidget* parent = nullptr);

    void setContent(MetricCardContent);
    const MetricCardContent& content() const { return m_content; }
    // The value's font size after shrinking it to the card's width.
    qreal valueFontPixelSize() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    MetricCardContent m_content;
};

// The row of metric cards, side by side, 16 apart, left-aligned.
class MetricsDashboardSection : public QWidget {
    Q_OBJECT

public:
    static constexpr int spacing = 16;

    explicit MetricsDashboardSection(QWidget* parent = nullptr);

    // Updates the cards in place; cards are only created or removed when the count changes.
    void setCards(std::vector<MetricCardContent>);
    std::vector<MetricCardContent> cards() const;
    const std::vector<MetricCardView*>& cardViews() const { return m_views; }

private:
    // Child widgets belong to this section, which Qt has delete them; the pointers only observe.
    std::vector<MetricCardView*> m_views;
};

}
