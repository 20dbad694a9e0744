#pragma once

#include "benchmark/DiskPerformanceTester.h"
#include "core/MainQueue.h"
#include "monitor/DiskIOMonitor.h"

#include <QWidget>

#include <functional>
#include <memory>

namespace tallowin {

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
    };

    explicit DashboardRootView(Dependencies, QWidget* parent = nullptr);
    ~DashboardRootView() override;

private:
    Dependencies m_dependencies;
};

}
