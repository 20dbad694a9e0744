// Writes pictures of the dashboard's main states in English and Chinese, for people to look at:
// no volume, monitoring with data, a test running, a result, the SMART sheet, and the bubbles.
// The folder is $TALLOWIN_SCREENSHOT_DIR, else the build folder's screenshots/.

#include "dashboard/DashboardRootView.h"
#include "dashboard/DashboardStyle.h"
#include "dashboard/DashboardTestSupport.h"
#include "dashboard/ErrorBannerView.h"
#include "dashboard/SmartInfoSheet.h"
#include "support/LanguageGuard.h"

#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QPixmap>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

using namespace tallowin;
using tallowin::testing::DashboardModels;
using tallowin::testing::LanguageGuard;

namespace {

std::vector<DiskSample> busyHistory(std::size_t count)
{
    std::vector<DiskSample> samples;
    double start = wallClockNow() - static_cast<double>(count);
    for (std::size_t i = 0; i < count; ++i) {
        double phase = static_cast<double>(i) / 9.0;
        auto read = static_cast<std::uint64_t>(180e6 + 120e6 * std::sin(phase));
        auto written = static_cast<std::uint64_t>(90e6 + 80e6 * std::cos(phase / 2));
        samples.push_back({ Uuid::random(), start + static_cast<double>(i), read, written, read / 131072, written / 65536 });
    }
    return samples;
}

DiskPerformanceTester::Result sampleResult()
{
    DiskPerformanceTester::Result result;
    result.actualByteCount = 16'000'000'000ULL;
    result.writeDuration = 14.2;
    result.writeThroughput = 1'126'760'563;
    result.readDuration = 6.1;
    result.readThroughput = 2'622'950'819;
    result.randomWriteIOPS = 48'213.4;
    result.randomReadIOPS = 9'876.54;
    result.maximumWriteThroughput = 1'412'000'000;
    result.maximumReadThroughput = 2'981'000'000;
    result.finishedAt = wallClockNow();
    return result;
}

// Saves a picture; a picture that cannot be written fails the program.
bool save(const QPixmap& picture, const QString& folder, const QString& name)
{
    QString path = QDir(folder).filePath(name + ".png");
    bool saved = picture.save(path, "PNG");
    std::fprintf(saved ? stdout : stderr, saved ? "%s\n" : "cannot write %s\n", qPrintable(path));
    return saved;
}

// Builds a dashboard, lets `arrange` put the models in a state, and saves the window, or the
// window `subject` picks: the sheet, a window of its own, is also drawn over the dimmed main
// window, where the user sees it.
bool shoot(const QString& folder, const QString& name, const std::function<void(DashboardModels&, DashboardRootView&)>& arrange,
    const std::function<QWidget*(DashboardRootView&)>& subject = {})
{
    DashboardModels models;
    NotificationCenter notifications;
    auto dependencies = models.dependencies();
    dependencies.notificationCenter = &notifications;
    DashboardRootView view(dependencies);
    view.resize(1280, 860);
    view.show();
    arrange(models, view);
    models.mainQueue->runPending();
    view.rebuildNow();
    for (int i = 0; i < 5; ++i)
        QApplication::processEvents();
    view.finishAnimations();
    QWidget* target = subject ? subject(view) : &view;
    QApplication::processEvents();
    bool saved = save(target->grab(), folder, name);
    if (subject) {
        QPixmap window = view.grab();
        QPixmap sheet = target->grab();
        QPainter painter(&window);
        painter.fillRect(window.rect(), QColor(0, 0, 0, 110));
        painter.drawPixmap((window.width() - sheet.width()) / 2, 28, sheet);
        painter.end();
        saved = save(window, folder, name + "-window") && saved;
    }
    return saved;
}

void selectVolume(DashboardModels& models, bool withSmart)
{
    auto volume = testing::sampleVolume();
    if (withSmart)
        volume.smartInfo = testing::sampleSmartInfo();
    models.select(volume);
}

}

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    DashboardStyle::applyDarkAppearance(application);

    const char* configured = std::getenv("TALLOWIN_SCREENSHOT_DIR");
    QString folder = configured && *configured ? QString::fromLocal8Bit(configured) : QStringLiteral(TALLOWIN_DEFAULT_SCREENSHOT_DIR);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(folder));
        return 1;
    }
    int failures = 0;
    auto shooter = [&](const QString& name, const std::function<void(DashboardModels&, DashboardRootView&)>& arrange,
                       const std::function<QWidget*(DashboardRootView&)>& subject = {}) {
        failures += shoot(folder, name, arrange, subject) ? 0 : 1;
    };

    for (const char* language : { "en", "zh" }) {
        LanguageGuard guard(std::string(language) == "en" ? "en_US" : "zh_CN");
        QString suffix = QStringLiteral("-") + language;

        shooter("no-volume" + suffix, [](DashboardModels&, DashboardRootView&) { });

        shooter("monitoring" + suffix, [](DashboardModels& models, DashboardRootView&) {
            selectVolume(models, true);
            DiskIOMonitorTestPeer::setMonitoring(*models.monitor, true);
            DiskIOMonitorTestPeer::setDuration(*models.monitor, 3725);
            DiskIOMonitorTestPeer::applyBatch(*models.monitor, busyHistory(600));
        });

        shooter("test-running" + suffix, [](DashboardModels& models, DashboardRootView&) {
            selectVolume(models, false);
            DiskPerformanceTesterTestPeer::setRunning(
                *models.tester, ProgressState { BenchmarkPhase::sequentialWrite, 0.425, 83.4, 112.6 });
        });

        shooter("result" + suffix, [](DashboardModels& models, DashboardRootView&) {
            selectVolume(models, true);
            DiskIOMonitorTestPeer::applyBatch(*models.monitor, busyHistory(120));
            DiskPerformanceTesterTestPeer::setResult(*models.tester, sampleResult());
        });

        shooter(
            "smart-sheet" + suffix,
            [](DashboardModels& models, DashboardRootView& view) {
                selectVolume(models, true);
                view.rebuildNow();
                view.showSMARTInfo();
            },
            [](DashboardRootView& view) -> QWidget* { return view.smartSheet(); });

        shooter("bubbles" + suffix, [](DashboardModels& models, DashboardRootView&) {
            selectVolume(models, false);
            models.monitor->reportError(localized("Export failed: Permission denied", "导出失败：权限不足"));
            DiskPerformanceTesterTestPeer::setResult(*models.tester, sampleResult());
            DiskPerformanceTesterTestPeer::setMessages(*models.tester,
                localized("The volume is not available.", "卷不可用。"),
                localized("Performance test finished. Report automatically saved to: "
                          "/media/user/Archive/Tallowin-Performance-20251207-051500.html",
                    "性能测试完成，报告已自动保存至：/media/user/Archive/Tallowin-Performance-20251207-051500.html"));
        });
    }
    return failures == 0 ? 0 : 1;
}
