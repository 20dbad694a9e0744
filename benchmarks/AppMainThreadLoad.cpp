// The desktop application's GUI thread under the heaviest live load: the monitor sampling a
// real volume every millisecond until its 60000-sample history is full and beyond, with the
// main window shown (run it on a display, e.g. Xvfb). Prints the busy time of each second and,
// at the end, the median and the highest second once the history was full.
//
//   tallowin_app_main_thread_load [FOLDER [SECONDS]]     defaults: the current folder, 80

#include "app/MainThreadLoadMeter.h"
#include "app/QtMainQueue.h"
#include "app/TallowinApp.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    std::string folder = argc > 1 ? argv[1] : ".";
    int seconds = argc > 2 ? std::atoi(argv[2]) : 80;

    auto mainQueue = std::make_shared<tallowin::QtMainQueue>();
    auto app = tallowin::TallowinApp::createForThisMachine(mainQueue,
        tallowin::TallowinApp::aboutScene([](QWidget* window) { return new QLabel(window); }),
        tallowin::TallowinApp::feedbackScene([](QWidget* window) { return new QLabel(window); }));
    app->showMainWindow();
    auto monitor = app->monitor();

    std::vector<double> fullHistorySeconds;
    QElapsedTimer clock;
    clock.start();
    tallowin::MainThreadLoadProbe probe([&] { return std::chrono::nanoseconds(clock.nsecsElapsed()); },
        [&](const tallowin::MainThreadLoadMeter::Report& report) {
            bool full = monitor->sampleCount() >= static_cast<std::size_t>(tallowin::DiskIOMonitor::maximumSamples);
            std::printf("%s; %zu samples%s\n", report.text().c_str(), monitor->sampleCount(), full ? " (full)" : "");
            std::fflush(stdout);
            if (full)
                fullHistorySeconds.push_back(report.load() * 100);
        });

    monitor->updateSamplingPrecision(tallowin::DiskIOMonitor::SamplingPrecision::ms1);
    monitor->selectVolume(folder);
    QTimer::singleShot(500, [&] {
        if (!monitor->selectedVolume()) {
            std::fprintf(stderr, "%s\n", monitor->errorMessage().value_or("no volume").c_str());
            QApplication::exit(1);
            return;
        }
        monitor->startMonitoring();
    });
    QTimer::singleShot(seconds * 1000, [] { QApplication::quit(); });
    int status = QApplication::exec();
    monitor->stopMonitoring();

    if (!fullHistorySeconds.empty()) {
        std::sort(fullHistorySeconds.begin(), fullHistorySeconds.end());
        std::printf("with a full history: median %.1f %%, highest %.1f %% of one core over %zu seconds\n",
            fullHistorySeconds[fullHistorySeconds.size() / 2], fullHistorySeconds.back(), fullHistorySeconds.size());
    }
    app.reset();
    mainQueue->close();
    return status;
}
