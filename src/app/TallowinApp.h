#pragma once

#include "app/SingleWindow.h"
#include "app/WindowScenes.h"
#include "benchmark/DiskPerformanceTester.h"
#include "core/MainQueue.h"
#include "monitor/DiskIOMonitor.h"

#include <QObject>

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

class QAction;
class QActionGroup;
class QMainWindow;
class QMenu;
class QMenuBar;

namespace tallowin {

class DashboardRootView;
class MainThreadLoadProbe;

// The application object: the one monitor and the one performance tester, kept until the
// application quits, the main window with the dashboard, the About and Feedback windows and
// the menu bar's commands. GUI thread only.
class TallowinApp final : public QObject {
public:
    static constexpr const char* launchAnnouncement = "[Tallowin] App launched and root window created.";

    struct Dependencies {
        std::shared_ptr<DiskIOMonitor> monitor;
        std::shared_ptr<DiskPerformanceTester> performanceTester;
        std::shared_ptr<MainQueue> mainQueue;
        // Empty when privileged operations are off.
        std::function<void()> ensureHelperInstalled;
        AboutWindowScene aboutScene;
        FeedbackWindowScene feedbackScene;
        // Where the launch line goes (standard output in the application).
        std::function<void(const char*)> announce;
    };

    // The application as it runs on this machine: the sysfs registry and the mount table behind
    // the monitor, SMART through the helper daemon (its registration on a queue of its own), and
    // the real file system behind the tester.
    static std::unique_ptr<TallowinApp> createForThisMachine(
        std::shared_ptr<MainQueue>, AboutWindowScene, FeedbackWindowScene);

    explicit TallowinApp(Dependencies);
    ~TallowinApp() override;

    // Scene titles in the user's language, with the given content.
    static AboutWindowScene aboutScene(WindowContentBuilder);
    static FeedbackWindowScene feedbackScene(WindowContentBuilder);

    void showMainWindow();
    // Opens the window with that identifier, or brings it forward when it is open; the opened
    // window, or null for an identifier that names no window.
    QWidget* openWindow(std::string_view identifier);
    // The open window with that identifier, or null.
    QWidget* openedWindow(std::string_view identifier) const;

    // Stops a running test and lets the tester finish deleting its files and writing its
    // report, serving the event loop meanwhile, for at most `limit`. Whether it settled.
    bool settleBeforeExit(std::chrono::milliseconds limit);

    const std::shared_ptr<DiskIOMonitor>& monitor() const { return m_monitor; }
    const std::shared_ptr<DiskPerformanceTester>& performanceTester() const { return m_performanceTester; }
    QMainWindow& mainWindow() const { return *m_mainWindow; }
    DashboardRootView& rootView() const { return *m_rootView; }

    // The menu bar's commands, for tests and for the window's own shortcuts.
    QMenuBar& menuBar() const;
    const std::vector<QAction*>& samplingPrecisionActions() const { return m_precisionActions; }
    const std::vector<QAction*>& dataSizeActions() const { return m_dataSizeActions; }
    QAction& aboutAction() const { return *m_aboutAction; }
    QAction& feedbackAction() const { return *m_feedbackAction; }
    QAction& quitAction() const { return *m_quitAction; }
    // Brings the Test Sample Size picker's check mark up to date (done whenever the menu opens,
    // since the dashboard owns the tester's change handler).
    void synchroniseDataSizeChecks();

private:
    void buildMenus();
    void synchronisePrecisionChecks();

    std::shared_ptr<DiskIOMonitor> m_monitor;
    std::shared_ptr<DiskPerformanceTester> m_performanceTester;
    std::shared_ptr<MainQueue> m_mainQueue;
    std::function<void(const char*)> m_announce;
    std::unique_ptr<QMainWindow> m_mainWindow;
    // Observers of widgets Qt owns (the main window's children).
    DashboardRootView* m_rootView { nullptr };
    QActionGroup* m_precisionGroup { nullptr };
    QActionGroup* m_dataSizeGroup { nullptr };
    QAction* m_aboutAction { nullptr };
    QAction* m_feedbackAction { nullptr };
    QAction* m_quitAction { nullptr };
    std::vector<QAction*> m_precisionActions;
    std::vector<QAction*> m_dataSizeActions;
    std::vector<DiskPerformanceTester::DataSize> m_dataSizes;
    std::unique_ptr<SingleWindow> m_aboutWindow;
    std::unique_ptr<SingleWindow> m_feedbackWindow;
    std::optional<DiskIOMonitor::ObserverID> m_precisionObserver;
    bool m_announced { false };
    std::unique_ptr<MainThreadLoadProbe> m_loadProbe;
};

}
