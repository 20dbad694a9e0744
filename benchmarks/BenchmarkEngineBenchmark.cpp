// What the engine adds to each measured operation, and what building a report costs. Run by hand:
// build/tests/benchmark/tallowin_benchmark_benchmarks
#include "benchmark/PerformanceReport.h"
#include "benchmark/ProgressTracker.h"
#include "core/Formatting.h"

#include <benchmark/benchmark.h>

namespace tallowin {
namespace {

// The bookkeeping after every 4 KiB random operation: the clock and the tracker.
void trackerAdvancePerOperation(benchmark::State& state)
{
    ProgressTracker tracker({ { BenchmarkPhase::randomWrite, 0 }, { BenchmarkPhase::randomRead, 0 },
        { BenchmarkPhase::sequentialWrite, 1e9 }, { BenchmarkPhase::sequentialRead, 1e9 } });
    WallClockTime start = wallClockNow();
    for (auto _ : state) {
        auto now = wallClockNow();
        benchmark::DoNotOptimize(tracker.advance(
            BenchmarkPhase::randomWrite, 4096, now, start, ProgressTracker::Publication::whenDue));
    }
}
BENCHMARK(trackerAdvancePerOperation);

void reportWithTimeline(benchmark::State& state)
{
    DiskPerformanceTester::Result result;
    result.actualByteCount = 1000000000000;
    result.writeThroughput = 3.2e9;
    result.readThroughput = 3.5e9;
    result.randomWriteIOPS = 123456.7;
    result.randomReadIOPS = 98765.4;
    for (std::int64_t i = 0; i < state.range(0); ++i) {
        auto phase = i < state.range(0) / 2 ? TimelineSample::Phase::sequentialWrite
                                            : TimelineSample::Phase::sequentialRead;
        result.timeline.push_back({ Uuid::random(), phase, 10.0 + static_cast<double>(i), 3000000000,
            3.0e9 + static_cast<double>(i) });
    }
    DiskVolumeDescriptor volume;
    volume.url = "/data";
    volume.displayName = "Data";
    volume.connectionTypeDescription = "PCI-Express";
    for (auto _ : state)
        benchmark::DoNotOptimize(buildReportHTML(result, volume));
    state.SetItemsProcessed(state.iterations());
}
// About one sample per second of sequential I/O: a 1 TB test at 3 GB/s has ~700.
BENCHMARK(reportWithTimeline)->Arg(0)->Arg(700)->Arg(10000)->Unit(benchmark::kMicrosecond);

void byteCountFormatting(benchmark::State& state)
{
    std::uint64_t bytes = 1234567890123;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Formatting::byteCount(bytes,
            Formatting::ByteUnit::MB | Formatting::ByteUnit::GB | Formatting::ByteUnit::TB,
            Language::English));
        ++bytes;
    }
}
BENCHMARK(byteCountFormatting);

}
}

BENCHMARK_MAIN();
