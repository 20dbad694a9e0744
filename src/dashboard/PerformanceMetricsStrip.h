#pragma once

#include "dashboard/DashboardContent.h"

#include <QWidget>

#include <vector>

class QHBoxLayout;
class QScrollArea;

namespace tallowin {

// One labelled value of the strip: the icon and title above, the value below.
class MetricItemView : public QWidget {
    Q_OBJECT

public:
    explicit MetricItemView(QWidget* parent = nullptr);
    void setItem(MetricItem);
    const MetricItem& item() const { return m_item; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    MetricItem m_item;
};

// The band under the panel while a test runs or after one: its progress, or its results, as a
// horizontally scrolling row of labelled values.
class PerformanceMetricsStrip : public QWidget {
    Q_OBJECT

public:
    using MetricItem = ::tallowin::MetricItem;
    using Style = MetricItemStyle;
    static constexpr int stripHeight = 64;

    explicit PerformanceMetricsStrip(QWidget* parent = nullptr);

    void setInputs(PerformanceStripInputs);
    const PerformanceStripInputs& inputs() const { return m_inputs; }
    std::vector<MetricItem> items() const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    PerformanceStripInputs m_inputs;
    QScrollArea* m_scrollArea { nullptr };
    QWidget* m_row { nullptr };
    QHBoxLayout* m_rowLayout { nullptr };
    // Children of the row; Qt deletes them with it. The pointers only observe.
    std::vector<MetricItemView*> m_views;
};

}
