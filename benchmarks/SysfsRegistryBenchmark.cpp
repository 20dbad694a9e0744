#include "platform/SysfsRegistry.h"

#include <benchmark/benchmark.h>

namespace {

// Reads of this machine's vda through `read`.
template<typename Read> void readVda(benchmark::State& state, Read read)
{
    tallowin::SysfsRegistry registry;
    auto matches = registry.matchBSDName("vda");
    if (!matches || matches->empty()) {
        state.SkipWithError("no vda");
        return;
    }
    auto disk = matches->front();
    for (auto _ : state)
        benchmark::DoNotOptimize(read(registry, disk));
}
// The monitor's hot path at 1 ms sampling: one "Statistics" read of a cached object.
BENCHMARK_CAPTURE(readVda, statisticsRead, [](tallowin::SysfsRegistry& registry, const auto& disk) {
    return registry.property(disk, "Statistics");
});
// What a read would cost without the kept-open descriptor: the whole property dictionary.
BENCHMARK_CAPTURE(readVda, allProperties,
    [](tallowin::SysfsRegistry& registry, const auto& disk) { return registry.properties(disk); });

void parseStat(benchmark::State& state)
{
    const std::string_view line
        = "   37063     7831  3101010    18901    23301     9111  1643104     5463        0     5508    "
          "24785     5316       45   616968      379     1213       40\n";
    for (auto _ : state)
        benchmark::DoNotOptimize(tallowin::parseBlockStat(line));
}
BENCHMARK(parseStat);

}

BENCHMARK_MAIN();
