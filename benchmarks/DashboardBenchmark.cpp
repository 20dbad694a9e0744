// What the dashboard costs the main thread per batch of samples at 1 ms sampling, with a full
// 60000-sample history. Run by hand in a release build:
// QT_QPA_PLATFORM=offscreen build/benchmarks/tallowin_dashboard_benchmark
#include "dashboard/DashboardContent.h"
#include "dashboard/DashboardRootView.h"
#include "dashboard/DashboardTestSupport.h"

#include <QApplication>

#include <benchmark/benchmark.h>
#include <cstdlib>
#include <random>

namespace tallowin {
namespace {

std::vector<DiskSample> randomSamples(std::size_t count, std::mt19937_64& random)
{
    std::vector<DiskSample> samples(count);
    for (auto& sample : samples) {
        sample.id = Uuid::random();
        sample.readBytes = random() % 4'000'000;
        sample.writeBytes = random() % 2'000'000;
        sample.readOperations = random() % 40;
        sample.writeOperations = random() % 20;
    }
    return samples;
}

// The eight cards from the newest thousand samples, as every batch computes them.
void metricCardsAt1ms(benchmark::State& state)
{
    std::mt19937_64 random(3);
    auto samples = randomSamples(metricCardSampleWindow, random);
    auto volume = std::optional<DiskVolumeDescriptor>(testing::sampleVolume());
    volume->smartInfo = testing::sampleSmartInfo();
    for (auto _ : state) {
        auto cards = metricCards({ samples, 1, 123'456'789, 987'654'321, 42.0, &volume });
        benchmark::DoNotOptimize(cards.data());
    }
}
BENCHMARK(metricCardsAt1ms);

// One batch of 17 samples (1 ms sampling handed over 60 times a second) through the monitor to
// the shown dashboard, including the repaint it causes; 60 of these are one second of work.
void rootViewBatchAt1ms(benchmark::State& state, bool shown)
{
    testing::DashboardModels models;
    models.monitor->updateSamplingPrecision(DiskIOMonitor::SamplingPrecision::ms1);
    auto volume = testing::sampleVolume();
    volume.smartInfo = testing::sampleSmartInfo();
    models.select(volume);
    std::mt19937_64 random(5);
    for (int i = 0; i < 60; ++i)
        DiskIOMonitorTestPeer::applyBatch(*models.monitor, randomSamples(1000, random));
    NotificationCenter notifications;
    auto dependencies = models.dependencies();
    dependencies.notificationCenter = &notifications;
    DashboardRootView view(dependencies);
    view.resize(1280, 860);
    if (shown)
        view.show();
    QApplication::processEvents();
    std::vector<std::vector<DiskSample>> batches;
    for (int i = 0; i < 64; ++i)
        batches.push_back(randomSamples(17, random));
    std::size_t next = 0;
    for (auto _ : state) {
        DiskIOMonitorTestPeer::applyBatch(*models.monitor, batches[next++ % batches.size()]);
        QApplication::processEvents();
    }
}
// Shown: with the repaint; hidden: the observers, the cards' computation and the widgets' updates
// alone.
BENCHMARK_CAPTURE(rootViewBatchAt1ms, shown, true)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rootViewBatchAt1ms, hidden, false)->Unit(benchmark::kMicrosecond);

}
}

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
