#include "platform/SysfsRegistry.h"

#include <benchmark/benchmark.h>

namespace {

// The monitor's hot path at 1 ms sampling: one "Statistics" read of a cached object.
void statisticsRead(benchmark::State& state)
{
    tallowin::SysfsRegistry registry;
    auto matches = registry.matchBSDName("vda");
    if (!matches || matches->empty()) {
        state.SkipWithError("no vda");
        return;
    }
    auto disk = matches->front();
    for (auto _ : state)
        benchmark::DoNotOptimize(registry.property(disk, "Statistics"));
}
BENCHMARK(statisticsRead);

// What a read would cost without the kept-open descriptor: the whole property dictionary.
void allProperties(benchmark::State& state)
{
    tallowin::SysfsRegistry registry;
    auto matches = registry.matchBSDName("vda");
    if (!matches || matches->empty()) {
        state.SkipWithError("no vda");
        return;
    }
    auto disk = matches->front();
    for (auto _ : state)
        benchmark::DoNotOptimize(registry.properties(disk));
}
BENCHMARK(allProperties);

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
