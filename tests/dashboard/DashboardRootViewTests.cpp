#include "dashboard/DashboardRootView.h"
#include "dashboard/DashboardTestSupport.h"
#include "dashboard/ErrorBannerView.h"
#include "dashboard/HoverButton.h"
#include "dashboard/MetricCardView.h"
#include "dashboard/PerformanceMetricsStrip.h"
#include "dashboard/VolumeControlPanel.h"
#include "smart/PrivilegedHelperManager.h"
#include "support/FakeSmartctl.h"
#include "support/LanguageGuard.h"
#include "support/TemporaryDirectory.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <thread>

using namespace tallowin;
using namespace std::chrono_literals;
using tallowin::testing::DashboardModels;
using tallowin::testing::LanguageGuard;
using tallowin::testing::sampleSmartInfo;
using tallowin::testing::sampleVolume;

namespace {

std::vector<DiskSample> samplesReading(std::vector<std::uint64_t> readBytes)
{
    std::vector<DiskSample> samples;
    for (auto bytes : readBytes)
        samples.push_back({ Uuid::random(), 0, bytes, bytes / 2, 3, 1 });
    return samples;
}

std::vector<std::string> cardValues(const DashboardRootView& view)
{
    std::vector<std::string> values;
    for (const auto& card : view.metricsSection().cards())
        values.push_back(card.valueText);
    return values;
}

void processEvents()
{
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
}

class DashboardRootViewTest : public ::testing::Test {
protected:
    LanguageGuard english { "en" };
    DashboardModels models;
    NotificationCenter notifications;

    std::unique_ptr<DashboardRootView> makeView(DashboardRootView::Dependencies dependencies)
    {
        dependencies.notificationCenter = &notifications;
        auto view = std::make_unique<DashboardRootView>(std::move(dependencies));
        view->resize(1100, 800);
        return view;
    }
    std::unique_ptr<DashboardRootView> makeView() { return makeView(models.dependencies()); }
};

}

TEST_F(DashboardRootViewTest, NoVolume)
{
    auto view = makeView();
    view->show();
    processEvents();
    EXPECT_EQ(view->minimumSize(), QSize(960, 760));
    auto& panel = view->volumeControlPanel();
    EXPECT_EQ(panel.titleText(), "No volume selected");
    EXPECT_EQ(panel.capacityLineText(), "Available Capacity: Unknown / Unknown");
    EXPECT_TRUE(panel.chooseVolumeButton()->isEnabled());
    for (auto* button : { panel.monitoringButton(), panel.smartButton(), panel.exportButton(), panel.testButton() })
        EXPECT_FALSE(button->isEnabled()) << button->text().toStdString();
    EXPECT_EQ(panel.testButton()->text(), "Start Test");
    EXPECT_EQ(cardValues(*view), (std::vector<std::string> { "0 B/s", "0 B/s", "0/s", "0/s", "0 Bytes", "0 Bytes", "00:00:00" }));
    EXPECT_FALSE(view->isPerformanceStripShown());
    EXPECT_TRUE(view->bubbleStack().banners().empty());
    // The bands stack top to bottom without overlapping, the chart taking what is left.
    auto panelGeometry = panel.geometry();
    auto chartGeometry = view->chartSection().geometry();
    EXPECT_EQ(panelGeometry.topLeft(), QPoint(32, 32));
    EXPECT_EQ(panelGeometry.height(), 108);
    EXPECT_GT(chartGeometry.top(), panelGeometry.bottom() + 108);
    EXPECT_EQ(chartGeometry.bottom() + 1, view->height() - 32);
}

TEST_F(DashboardRootViewTest, MonitoringFiguresFollowBatchesAndPrecision)
{
    auto view = makeView();
    auto volume = sampleVolume();
    volume.smartInfo = sampleSmartInfo();
    models.select(volume);
    DiskIOMonitorTestPeer::setMonitoring(*models.monitor, true);
    DiskIOMonitorTestPeer::applyBatch(*models.monitor, samplesReading({ 3'000'000, 5'000'000 }));
    DiskIOMonitorTestPeer::setDuration(*models.monitor, 100000);
    processEvents();
    auto values = cardValues(*view);
    ASSERT_EQ(values.size(), 8u);
    EXPECT_EQ(values[0], "5 MB/s"); // 1000 ms: the newest sample only
    EXPECT_EQ(values[4], "8 MB");
    EXPECT_EQ(values[6], "27:46:40");
    EXPECT_EQ(values[7], "44 ℃");
    auto& panel = view->volumeControlPanel();
    EXPECT_EQ(panel.titleText(), "Archive · sdb1");
    EXPECT_EQ(panel.monitoringButton()->text(), "Stop");
    EXPECT_TRUE(panel.exportButton()->isEnabled());
    EXPECT_TRUE(panel.smartButton()->isEnabled());
    EXPECT_EQ(panel.chipTexts()[3], "Samsung SSD 980 PRO 1TB");

    // At 100 ms the byte walk covers eleven samples over 1.0999999999999999 s.
    models.monitor->updateSamplingPrecision(DiskIOMonitor::SamplingPrecision::ms100);
    std::vector<std::uint64_t> reads(20, 1'100'000);
    DiskIOMonitorTestPeer::applyBatch(*models.monitor, samplesReading(reads));
    EXPECT_EQ(cardValues(*view)[0], "11 MB/s");
    EXPECT_EQ(cardValues(*view)[2], "30/s");
}

TEST_F(DashboardRootViewTest, ChangingTheSelectedVolumeStopsARunningTest)
{
    auto view = makeView();
    models.select(sampleVolume("/media/user/A"));
    DiskPerformanceTesterTestPeer::setRunning(*models.tester, ProgressState { BenchmarkPhase::randomRead, 0.3, 4, 9 });
    processEvents();
    EXPECT_TRUE(view->isPerformanceStripShown());
    view->finishAnimations();
    EXPECT_FALSE(view->performanceStrip().isHidden());
    EXPECT_EQ(view->performanceStrip().height(), 64);
    EXPECT_EQ(view->volumeControlPanel().testButton()->text(), "Stop");

    // New SMART data for the same folder is not a new volume.
    auto same = sampleVolume("/media/user/A");
    same.smartInfo = sampleSmartInfo();
    models.monitor->setSelectedVolume(same);
    models.mainQueue->runPending();
    EXPECT_TRUE(models.tester->isRunning());

    models.select(sampleVolume("/media/user/B"));
    EXPECT_FALSE(models.tester->isRunning());

    // Losing the selection counts as a change too.
    DiskPerformanceTesterTestPeer::setRunning(*models.tester, std::nullopt);
    models.monitor->setSelectedVolume(std::nullopt);
    models.mainQueue->runPending();
    EXPECT_FALSE(models.tester->isRunning());
    processEvents();
    EXPECT_FALSE(view->isPerformanceStripShown());
    // It slides away, then is gone from the layout.
    view->finishAnimations();
    EXPECT_TRUE(view->performanceStrip().isHidden());
}

TEST_F(DashboardRootViewTest, ChoosingAFolderStopsTheTestThenSelects)
{
    std::vector<std::string> startDirectories;
    std::optional<std::string> answer;
    auto dependencies = models.dependencies();
    dependencies.chooseFolder = [&](const std::string& start) {
        startDirectories.push_back(start);
        return answer;
    };
    auto view = makeView(dependencies);
    models.volumes["/media/user/A"] = sampleVolume("/media/user/A");

    view->chooseVolume(); // cancelled
    EXPECT_FALSE(models.monitor->selectedVolume());
    answer = "/media/user/A";
    DiskPerformanceTesterTestPeer::setRunning(*models.tester, std::nullopt);
    view->volumeControlPanel().chooseVolumeButton()->click();
    EXPECT_FALSE(models.tester->isRunning());
    models.mainQueue->runPending();
    ASSERT_TRUE(models.monitor->selectedVolume());
    EXPECT_EQ(models.monitor->selectedVolume()->url, "/media/user/A");
    EXPECT_EQ(startDirectories.size(), 2u);
}

TEST_F(DashboardRootViewTest, BubblesFollowTheMessagesOfMonitorAndTester)
{
    auto view = makeView();
    view->show();
    models.monitor->startMonitoring(); // no volume: the monitor reports it
    DiskPerformanceTesterTestPeer::setMessages(*models.tester, "Test failed", "Report saved to: /tmp/r.html");
    processEvents();
    view->bubbleStack().finishAnimations();
    // The monitor's error, the tester's error, then the tester's report.
    auto banners = view->bubbleStack().banners();
    ASSERT_EQ(banners.size(), 3u);
    EXPECT_EQ(banners[0]->message(), "Please select a valid volume.");
    EXPECT_EQ(banners[1]->message(), "Test failed");
    EXPECT_EQ(banners[1]->style(), BannerStyle::error);
    EXPECT_EQ(banners[2]->style(), BannerStyle::success);

    // The owner clears its message; the dashboard never does. Rebuilt bubbles keep their banners.
    DiskPerformanceTesterTestPeer::setMessages(*models.tester, "Test failed", std::nullopt);
    processEvents();
    view->bubbleStack().finishAnimations();
    EXPECT_EQ(view->bubbleStack().banners(), (std::vector { banners[0], banners[1] }));
}

TEST_F(DashboardRootViewTest, ApprovalNotificationFromAnotherThreadShowsTheAlert)
{
    auto view = makeView();
    view->show();
    std::thread poster([&] { notifications.post(privilegedHelperRequiresApprovalNotification); });
    poster.join();
    EXPECT_FALSE(view->isHelperApprovalAlertVisible()); // handled on the view's thread, not the poster's
    processEvents();
    EXPECT_TRUE(view->isHelperApprovalAlertVisible());
    ASSERT_NE(view->approvalAlert(), nullptr);
    EXPECT_EQ(view->approvalAlert()->windowTitle(), "Enable Permissions");
    auto buttons = view->approvalAlert()->buttons();
    ASSERT_EQ(buttons.size(), 1);
    EXPECT_EQ(buttons[0]->text(), "Understood");
    buttons[0]->click();
    processEvents();
    EXPECT_FALSE(view->isHelperApprovalAlertVisible());

    // Once the view is gone a late notification reaches nothing.
    view.reset();
    notifications.post(privilegedHelperRequiresApprovalNotification);
    processEvents();
}

TEST_F(DashboardRootViewTest, HelperRegistrationRunsOffTheMainThreadAndNeverBlocksIt)
{
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::atomic<int> calls { 0 };
    std::atomic<bool> onMainThread { true };
    auto mainThread = std::this_thread::get_id();
    auto dependencies = models.dependencies();
    dependencies.ensureHelperInstalled = [&] {
        onMainThread = std::this_thread::get_id() == mainThread;
        ++calls;
        // A helper that does not answer until the test lets it.
        released.wait();
    };
    auto view = makeView(dependencies);
    view->show(); // returns although the registration is still waiting
    view->hide();
    view->show();
    processEvents();
    for (int i = 0; i < 500 && calls == 0; ++i)
        std::this_thread::sleep_for(2ms);
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(onMainThread);
    release.set_value();
    view.reset(); // joins the finished registration
    EXPECT_EQ(calls, 1);
}

TEST_F(DashboardRootViewTest, ExportWritesBothFilesAndReportsTheOutcome)
{
    tallowin::testing::TemporaryDirectory folder("tallowin-dashboard-export");
    int asked = 0;
    std::string target = (folder / "run.csv").string();
    auto dependencies = models.dependencies();
    dependencies.chooseExportPath = [&](const std::string& proposed) -> std::optional<std::string> {
        ++asked;
        EXPECT_TRUE(proposed.starts_with("Tallowin-")) << proposed;
        return target;
    };
    auto view = makeView(dependencies);
    view->show();
    models.select(sampleVolume());
    DiskIOMonitorTestPeer::applyBatch(*models.monitor, samplesReading({ 1000 }));
    view->exportChart(); // one sample: nothing to export, nobody asked
    EXPECT_EQ(asked, 0);

    DiskIOMonitorTestPeer::applyBatch(*models.monitor, samplesReading({ 2000, 3000 }));
    view->exportChart();
    EXPECT_EQ(asked, 1);
    // The export works on the history as it was when the file was chosen.
    DiskIOMonitorTestPeer::applyBatch(*models.monitor, samplesReading({ 4000 }));
    ASSERT_TRUE(models.mainQueue->runUntil([&] { return view->exportMessage().has_value(); }, 30s));
    auto table = tallowin::testing::readText(folder / "run.csv");
    EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 3) << "the header and three samples";
    EXPECT_TRUE(std::filesystem::exists(folder / "run.png"));
    ASSERT_TRUE(view->exportMessage());
    EXPECT_EQ(view->exportMessage()->text,
        "CSV saved to: " + target + "\nPNG saved to: " + (folder / "run.png").string());
    ASSERT_NE(view->exportAlert(), nullptr);
    EXPECT_EQ(view->exportAlert()->windowTitle(), "Export Finished");
    view->exportAlert()->buttons().front()->click();
    processEvents();
    EXPECT_FALSE(view->exportMessage());

    // A failure goes to the monitor's message, shown as a bubble.
    target = (folder / "missing" / "run.csv").string();
    view->exportChart();
    ASSERT_TRUE(models.mainQueue->runUntil([&] { return models.monitor->errorMessage().has_value(); }, 30s));
    EXPECT_FALSE(view->exportMessage());
    EXPECT_TRUE(models.monitor->errorMessage()->starts_with("Export failed: ")) << *models.monitor->errorMessage();
    processEvents();
    EXPECT_EQ(view->bubbleStack().messages().size(), 1u);
}

TEST_F(DashboardRootViewTest, AViewClosedDuringAnExportLetsItFinishAndHearsNothing)
{
    tallowin::testing::TemporaryDirectory folder("tallowin-dashboard-export-closed");
    auto dependencies = models.dependencies();
    dependencies.chooseExportPath = [&](const std::string&) -> std::optional<std::string> {
        return (folder / "run.csv").string();
    };
    auto view = makeView(dependencies);
    models.select(sampleVolume());
    DiskIOMonitorTestPeer::applyBatch(*models.monitor, samplesReading({ 2000, 3000 }));
    view->exportChart();
    view.reset();
    // The outcome posted by the finished export finds no view and is dropped.
    models.mainQueue->runPending();
    EXPECT_TRUE(std::filesystem::exists(folder / "run.csv"));
    EXPECT_TRUE(std::filesystem::exists(folder / "run.png"));
    EXPECT_FALSE(models.monitor->errorMessage());
}

TEST_F(DashboardRootViewTest, SmartSheetOpensForAVolumeWithSmartDataAndClearsWhenClosed)
{
    auto view = makeView();
    view->show();
    models.select(sampleVolume());
    view->showSMARTInfo(); // no SMART data yet
    EXPECT_EQ(view->smartSheet(), nullptr);

    auto volume = sampleVolume();
    volume.smartInfo = sampleSmartInfo();
    models.monitor->setSelectedVolume(volume);
    models.mainQueue->runPending();
    processEvents();
    view->volumeControlPanel().smartButton()->click();
    ASSERT_TRUE(view->smartSheetPayload());
    EXPECT_EQ(view->smartSheetPayload()->info, *volume.smartInfo);
    ASSERT_NE(view->smartSheet(), nullptr);
    EXPECT_EQ(view->smartSheet()->titleText(), "SMART Details for Archive");
    view->smartSheet()->reject(); // the platform's usual way out
    processEvents();
    EXPECT_FALSE(view->smartSheetPayload());
}

TEST_F(DashboardRootViewTest, StripShowsTheResultAndTheTestButtonOffersARetest)
{
    LanguageGuard chinese("zh_CN");
    auto view = makeView();
    int testerChanges = 0;
    QObject::connect(view.get(), &DashboardRootView::performanceTesterChanged, [&] { ++testerChanges; });
    models.select(sampleVolume());
    DiskPerformanceTester::Result result;
    result.actualByteCount = 16'000'000'000ULL;
    result.writeThroughput = 1'234'000'000;
    DiskPerformanceTesterTestPeer::setResult(*models.tester, result);
    processEvents();
    EXPECT_TRUE(view->isPerformanceStripShown());
    auto items = view->performanceStrip().items();
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ(items[0].title, "实际样本");
    EXPECT_EQ(items[1].value, "1.23 GB/秒");
    EXPECT_EQ(view->volumeControlPanel().testButton()->text(), "重测");
    EXPECT_TRUE(view->volumeControlPanel().testButton()->isEnabled());
    // The payload menu follows the tester through the view, which holds its one handler.
    models.tester->setDataSize(DiskPerformanceTester::DataSize::gigabytes(4));
    EXPECT_EQ(testerChanges, 2);
    processEvents();
    EXPECT_EQ(view->performanceStrip().inputs().payloadSelection, DiskPerformanceTester::DataSize::gigabytes(4));
}
