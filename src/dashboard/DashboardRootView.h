#pragma once

#include "benchmark/DiskPerformanceTester.h"
#include "charts/ChartExport.h"
#include "charts/view/DiskIOChartSection.h"
#include "core/AlertMessage.h"
#include "core/MainQueue.h"
#include "core/SerialQueue.h"
#include "dashboard/DashboardContent.h"
#include "dashboard/SmartInfoSheet.h"
#include "monitor/DiskIOMonitor.h"
#include "smart/NotificationCenter.h"

#include <QMessageBox>
#include <QPointer>
#include <QVariantAnimation>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

class QScrollArea;

namespace tallowin {

class ErrorBubbleStack;
class MetricsDashboardSection;
class PerformanceMetricsStrip;
class VolumeControlPanel;

// The main window's content: the volume panel, the test strip, the metric cards and the live
// chart, and the bubbles that show failures and notices. Main thread only.
class DashboardRootView : public QWidget {
    Q_OBJECT

public:
    struct Dependencies {
        std::shared_ptr<DiskIOMonitor> monitor;
        std::shared_ptr<DiskPerformanceTester> performanceTester;
        std::shared_ptr<MainQueue> mainQueue;
        // Makes sure the SMART helper is registered. It may wait for the administrator's approval
        // dialog, so it is called off the main thread. Empty when privileged operations are off.
        std::function<void()> ensureHelperInstalled;
        // The folder the user chose to monitor, or nothing when cancelled. Empty: a folder dialog.
        std::function<std::optional<std::string>(const std::string& startDirectory)> chooseFolder;
        // Where the chart export's CSV goes, or nothing when cancelled. Empty: a save dialog.
        std::function<std::optional<std::string>(const std::string& proposedName)> chooseExportPath;
        // Where approval notifications come from; null: NotificationCenter::defaultCenter().
        NotificationCenter* notificationCenter { nullptr };
    };

    static constexpr int minimumWindowWidth = 960;
    static constexpr int minimumWindowHeight = 760;
    static constexpr int outerPadding = 32;
    static constexpr int bandSpacing = 16;
    static constexpr int cardsRowHeight = 108;

    explicit DashboardRootView(Dependencies, QWidget* parent = nullptr);
    ~DashboardRootView() override;

    // The panel's actions, as its buttons trigger them.
    void chooseVolume();
    // What confirming a folder in the chooser does: stop any test, then select the folder.
    void selectVolume(const std::string& location);
    void toggleMonitoring();
    // Asks where to save, then renders and writes on the export queue; the outcome arrives on
    // the main queue as `exportMessage` or as the monitor's error.
    void exportChart();
    void showSMARTInfo();
    void runPerformanceTest();
    void stopPerformanceTest();

    // Applies every pending change now instead of on the next turn of the event loop.
    void rebuildNow();
    // Ends every running animation at its final state (for pictures and tests).
    void finishAnimations();

    // Window state.
    const std::optional<AlertMessage>& exportMessage() const { return m_exportMessage; }
    const std::optional<SmartSheetPayload>& smartSheetPayload() const { return m_smartSheetPayload; }
    bool isHelperApprovalAlertVisible() const { return m_isHelperApprovalAlertVisible; }
    const std::shared_ptr<ChartViewport>& chartViewport() const { return m_chartViewport; }
    QSizeF chartSize() const { return m_chartSize; }

    // The parts, for the shell's pictures and for tests.
    VolumeControlPanel& volumeControlPanel() const { return *m_panel; }
    PerformanceMetricsStrip& performanceStrip() const { return *m_strip; }
    bool isPerformanceStripShown() const;
    MetricsDashboardSection& metricsSection() const { return *m_metrics; }
    ErrorBubbleStack& bubbleStack() const { return *m_bubbles; }
    DiskIOChartSection& chartSection() const { return *m_chart; }
    SmartInfoSheet* smartSheet() const { return m_smartSheet; }
    QMessageBox* exportAlert() const { return m_exportAlert; }
    QMessageBox* approvalAlert() const { return m_approvalAlert; }

    // The folder chooser's texts.
    static QString folderChooserTitle();
    static QString folderChooserPrompt();

signals:
    // The tester has one change handler and this view holds it; whoever else follows the tester
    // (the payload menu) listens here instead of replacing it.
    void performanceTesterChanged();

protected:
    void showEvent(QShowEvent*) override;
    void resizeEvent(QResizeEvent*) override;

private:
    void observeModels();
    void onMonitorProperty(DiskIOMonitor::Property);
    void onBatch();
    void onTesterChange();
    void scheduleRebuild();
    void rebuildAll();
    void rebuildPanel();
    void rebuildLiveFigures();
    void rebuildBubbles();
    void rebuildStrip();
    void checkSelectedVolumeLocation();
    int sampleIntervalMs() const;
    void finishExport(Expected<ChartExportFiles, ChartExportFailure>);
    void showExportAlert();
    void showApprovalAlert();
    void positionBubbles();
    void setPerformanceStripVisible(bool);

    Dependencies m_dependencies;
    std::shared_ptr<ChartViewport> m_chartViewport { std::make_shared<ChartViewport>() };
    QSizeF m_chartSize;
    std::optional<AlertMessage> m_exportMessage;
    std::optional<SmartSheetPayload> m_smartSheetPayload;
    bool m_isHelperApprovalAlertVisible { false };

    std::optional<std::string> m_lastVolumeURL;
    bool m_rebuildScheduled { false };
    bool m_rebuildNeeded { false };
    bool m_liveFiguresDirty { false };
    bool m_exportEnabled { false };
    bool m_hasBeenShown { false };
    bool m_isStripVisible { false };
    std::vector<DiskIOMonitor::ObserverID> m_observerIDs;
    NotificationCenter::Registration m_approvalRegistration;

    // Child widgets belong to this view and Qt deletes them; the pointers only observe.
    VolumeControlPanel* m_panel { nullptr };
    PerformanceMetricsStrip* m_strip { nullptr };
    MetricsDashboardSection* m_metrics { nullptr };
    QScrollArea* m_metricsArea { nullptr };
    DiskIOChartSection* m_chart { nullptr };
    ErrorBubbleStack* m_bubbles { nullptr };
    QPointer<SmartInfoSheet> m_smartSheet;
    QPointer<QMessageBox> m_exportAlert;
    QPointer<QMessageBox> m_approvalAlert;
    QPointer<QVariantAnimation> m_stripAnimation;

    // "com.tallowin.dashboard.chartExport": renders the 3840 × 2160 picture and writes both files,
    // one export after another. A long run takes about a second to draw, which the window must not
    // spend frozen. When the view goes, the exports the user already asked for are finished first:
    // closing the window right after choosing a file must not lose it or leave half of it.
    std::unique_ptr<SerialQueue> m_chartExportQueue;

    // "tallowin-helper-registration": registers the SMART helper once, off the main thread; it
    // may sit in the administrator's approval dialog. Joined when the view goes.
    std::jthread m_helperRegistrationThread;
};

}
