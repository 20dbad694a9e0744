#include "platform/SysfsRegistry.h"
#include "support/BlockDeviceUnderPath.h"

#include <benchmark/benchmark.h>
#include <filesystem>

namespace {

// Reads through `read` of the disk that holds the temporary folder (vda on a virtual machine,
// nvme0n1 on most laptops).
template<typename Read> void readDisk(benchmark::State& state, Read read)
{
    auto device = tallowin::testing::blockDeviceUnder(std::filesystem::temp_directory_path());
    tallowin::SysfsRegistry registry;
    // An empty name matches nothing.
    auto matches = registry.matchBSDName(device ? device->disk : std::string());
    if (!matches || matches->empty()) {
        state.SkipWithError("the temporary folder is not on a block device");
        return;
    }
    state.SetLabel(device->disk);
    auto disk = matches->front();
    for (auto _ : state)
        benchmark::DoNotOptimize(read(registry, disk));
}
// The monitor's hot path at 1 ms sampling: one "Statistics" read of a cached object.
BENCHMARK_CAPTURE(readDisk, statisticsRead, [](tallowin::SysfsRegistry& registry, const auto& disk) {
    return registry.property(disk, "Statistics");
});
// What a read would cost without the kept-open descriptor: the whole property dictionary.
BENCHMARK_CAPTURE(readDisk, allProperties,
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
