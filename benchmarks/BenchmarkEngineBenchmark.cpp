// What the engine adds to each measured operation, and what building a report costs. Run by hand:
// build/tests/benchmark/tallowin_benchmark_benchmarks
#include "benchmark/BenchmarkEngine.h"
#include "benchmark/PerformanceReport.h"
#include "benchmark/ProgressTracker.h"
#include "core/FileDescriptor.h"
#include "core/Formatting.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <random>
#include <unistd.h>
#include <vector>

namespace tallowin {
namespace {

// The bookkeeping after every 4 KiB random operation: the clock and the tracker.
void trackerAdvancePerOperation(benchmark::State& state)
{
    ProgressTracker tracker({ { BenchmarkPhase::randomWrite, 0 }, { BenchmarkPhase::randomRead, 0 },
        { BenchmarkPhase::sequentialWrite, 1e9 }, { BenchmarkPhase::sequentialRead, 1e9 } });
    double start = monotonicSeconds();
    for (auto _ : state) {
        auto now = monotonicSeconds();
        benchmark::DoNotOptimize(tracker.advance(
            BenchmarkPhase::randomWrite, 4096, now, start, ProgressTracker::Publication::whenDue));
    }
}
BENCHMARK(trackerAdvancePerOperation);

// One random 4 KiB write into a cached 64 MiB file: one pwrite (what the engine does) against an
// lseek followed by a write (what it did before). The pages stay cached, so this is the system
// calls' own cost, the part of a random-write figure that is not the disk.
void randomWriteCalls(benchmark::State& state)
{
    constexpr std::size_t region = 64 * 1024 * 1024;
    char name[] = "/var/tmp/tallowin-random-write-XXXXXX";
    FileDescriptor file(::mkstemp(name));
    int descriptor = file.get();
    if (!file) {
        state.SkipWithError("no temporary file");
        return;
    }
    ::unlink(name);
    std::vector<char> block(4096, 'x');
    std::vector<char> chunk(region, 'x');
    if (::write(descriptor, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) {
        state.SkipWithError("cannot fill the file");
        return;
    }
    std::mt19937_64 generator(42);
    std::uniform_int_distribution<std::uint64_t> offsets(0, region - block.size());
    bool oneCall = state.range(0) == 1;
    for (auto _ : state) {
        auto offset = static_cast<off_t>(offsets(generator));
        ssize_t written = 0;
        if (oneCall) {
            written = ::pwrite(descriptor, block.data(), block.size(), offset);
        } else {
            ::lseek(descriptor, offset, SEEK_SET);
            written = ::write(descriptor, block.data(), block.size());
        }
        benchmark::DoNotOptimize(written);
    }
    state.SetLabel(oneCall ? "pwrite" : "lseek+write");
}
BENCHMARK(randomWriteCalls)->Arg(1)->Arg(0);

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
