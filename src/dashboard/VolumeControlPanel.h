#pragma once

#include "dashboard/DashboardContent.h"

#include <QWidget>

#include <functional>
#include <vector>

class QHBoxLayout;
class QLabel;

namespace tallowin {

class HoverButton;

// A small rounded chip: an icon and one fact about the volume, its full text as a tooltip.
class InfoChipView : public QWidget {
    Q_OBJECT

public:
    static constexpr int minimumChipWidth = 96;
    static constexpr int maximumChipWidth = 168;

    InfoChipView(QWidget* parent = nullptr);
    void setItem(const InfoItem&, bool isVolumeSelected);
    const InfoItem& item() const { return m_item; }
    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    InfoItem m_item;
    bool m_isVolumeSelected { false };
};

// The top band: the selected volume's name, its capacity and four facts, and the window's main
// buttons. A passive view: the root hands it a model on every change and receives the presses.
class VolumeControlPanel : public QWidget {
    Q_OBJECT

public:
    static constexpr int panelHeight = 108;
    static constexpr int minimumWidth = 512;

    struct Actions {
        std::function<void()> onSelectVolume;
        std::function<void()> onToggleMonitoring;
        std::function<void()> onExport;
        std::function<void()> onShowSMARTInfo;
        std::function<void()> onRunPerformanceTest;
        std::function<void()> onStopPerformanceTest;
    };

    explicit VolumeControlPanel(Actions, QWidget* parent = nullptr);

    void setModel(VolumeControlPanelModel);
    const VolumeControlPanelModel& model() const { return m_model; }

    // What is shown, for tests and pictures.
    QString titleText() const;
    QString capacityLineText() const;
    std::vector<QString> chipTexts() const;
    HoverButton* chooseVolumeButton() const { return m_chooseVolume; }
    HoverButton* monitoringButton() const { return m_monitoring; }
    HoverButton* smartButton() const { return m_smart; }
    HoverButton* exportButton() const { return m_export; }
    HoverButton* testButton() const { return m_test; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    void apply();
    static void applyButton(HoverButton&, const PanelButtonContent&);

    Actions m_actions;
    VolumeControlPanelModel m_model;
    bool m_testButtonStops { false };
    // Child widgets belong to the panel; Qt deletes them. The pointers only observe.
    QLabel* m_title { nullptr };
    QLabel* m_capacity { nullptr };
    std::vector<InfoChipView*> m_chips;
    HoverButton* m_chooseVolume { nullptr };
    HoverButton* m_monitoring { nullptr };
    HoverButton* m_smart { nullptr };
    HoverButton* m_export { nullptr };
    HoverButton* m_test { nullptr };
};

}
