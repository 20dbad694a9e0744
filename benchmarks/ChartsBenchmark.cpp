// What the chart costs for a full history of 60000 samples. Run by hand in a release build:
// build/benchmarks/tallowin_charts_benchmark
#include "charts/ChartExportSupport.h"
#include "charts/ChartPngRenderer.h"
#include "charts/DiskIOGraphRendererCache.h"

#include <benchmark/benchmark.h>
#include <random>

namespace tallowin {
namespace {

constexpr std::size_t fullHistory = 60000;

const std::vector<DiskSample>& history()
{
    static const std::vector<DiskSample> samples = [] {
        std::mt19937_64 random(7);
        std::vector<DiskSample> result(fullHistory);
        for (std::size_t i = 0; i < result.size(); ++i) {
            result[i].id = Uuid::random();
            result[i].timestamp = 1'700'000'000.0 + 0.001 * static_cast<double>(i);
            result[i].readBytes = random() % 4'000'000;
            result[i].writeBytes = random() % 2'000'000;
        }
        return result;
    }();
    return samples;
}

// The downsampling job's work: 60000 samples into a 2000-point plot (chunks of 30).
void downsampleFullHistory(benchmark::State& state)
{
    const auto& samples = history();
    auto target = DiskIOGraphRendererCache::effectiveTargetCount(fullHistory, 2000);
    auto chunk = DiskIOGraphRendererCache::chunkSize(fullHistory, target);
    for (auto _ : state) {
        auto bins = DiskIOGraphRendererCache::downsample(samples, 0, fullHistory, chunk, 1000.0);
        benchmark::DoNotOptimize(bins.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(fullHistory));
}
BENCHMARK(downsampleFullHistory)->Unit(benchmark::kMicrosecond);

// The whole round trip through the cache: update on the main thread, the job on its queue, the
// apply step back on the main thread. A new last sample id each time forces a full recomputation.
void cacheRoundTrip(benchmark::State& state)
{
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    auto cache = DiskIOGraphRendererCache::create(mainQueue);
    auto samples = std::make_shared<std::vector<DiskSample>>(history());
    std::size_t applied = 0;
    cache->addObserver([&](const std::vector<IndexedSample>&) { ++applied; });
    for (auto _ : state) {
        samples->back().id = Uuid::random();
        state.PauseTiming();
        auto snapshot = std::make_shared<const std::vector<DiskSample>>(*samples);
        state.ResumeTiming();
        auto before = applied;
        cache->update(snapshot, 0, static_cast<std::int64_t>(fullHistory), 2000, 1);
        mainQueue->runUntil([&] { return applied > before; }, std::chrono::seconds(10));
    }
}
BENCHMARK(cacheRoundTrip)->Unit(benchmark::kMicrosecond);

// What the main thread spends in update() when the samples are unchanged (every redraw), and
// when they changed (it only submits the job): neither loops over the samples.
void cacheUpdateOnMainThread(benchmark::State& state)
{
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    auto cache = DiskIOGraphRendererCache::create(mainQueue);
    auto snapshot = std::make_shared<const std::vector<DiskSample>>(history());
    cache->update(snapshot, 0, static_cast<std::int64_t>(fullHistory), 2000, 1);
    mainQueue->runUntil([&] { return !cache->plottedSamples().empty(); }, std::chrono::seconds(10));
    const bool changed = state.range(0) != 0;
    // Another list (its last id differs). No apply step runs inside the loop, so the cache keeps
    // the first list's signature and every update with this one submits a job.
    auto otherSamples = history();
    otherSamples.back().id = Uuid::random();
    auto other = std::make_shared<const std::vector<DiskSample>>(std::move(otherSamples));
    const auto& chosen = changed ? other : snapshot;
    for (auto _ : state)
        cache->update(chosen, 0, static_cast<std::int64_t>(fullHistory), 2000, 1);
    cache->downsamplingQueue().sync([] { });
    mainQueue->runPending();
    state.SetLabel(changed ? "new samples: submits a job" : "unchanged: no work");
}
BENCHMARK(cacheUpdateOnMainThread)->Arg(0)->Arg(1)->Iterations(100000)->Unit(benchmark::kNanosecond);

void csvOfFullHistory(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(ChartExportSupport::csv(history(), 1).size());
}
BENCHMARK(csvOfFullHistory)->Unit(benchmark::kMillisecond);

// The picture of a full history at 3840 × 2160, PNG encoding included.
void pngOfFullHistory(benchmark::State& state)
{
    for (auto _ : state) {
        auto png = ChartExportSupport::renderPNG(history(), 1, 3840, 2160);
        if (!png) {
            state.SkipWithError("rendering failed");
            break;
        }
        state.counters["bytes"] = static_cast<double>(png->size());
    }
}
BENCHMARK(pngOfFullHistory)->Unit(benchmark::kMillisecond);

}
}

BENCHMARK_MAIN();
