// What one scrape of /metrics costs with 64 block devices: listing them, one counter read each,
// the classification kept from the first scrape, each disk's link check, the benchmark history
// (one run per disk, parsed once, then one stat() per scrape), and the text encoding Prometheus
// receives.
#include "benchmark/BenchmarkHistory.h"
#include "exporter/DiskMetricsCollector.h"
#include "platform/SysfsRegistry.h"
#include "support/FakeSysfsTree.h"

#include <benchmark/benchmark.h>
#include <fmt/format.h>
#include <prometheus/text_serializer.h>

namespace {

using namespace tallowin;

class NoFileSystems final : public MountedFileSystemSource {
public:
    std::vector<MountedFileSystem> mountedFileSystems() override { return {}; }
};

void scrapeOf64Devices(benchmark::State& state)
{
    tallowin::testing::FakeSysfsTree tree;
    std::string history;
    for (unsigned index = 0; index < 64; ++index) {
        const auto name = "vd" + (static_cast<char>('a' + index % 26) + std::string(index / 26, 'x'));
        tree.block(fmt::format("pci0000:00/0000:00:{:02x}.0/virtio{}/block/{}", index, index, name), 252,
            index * 16,
            fmt::format("  {} 0 {} 0 {} 0 {} 0 0 0 0 0 0 0 0 0 0\n", index, index * 8, index, index * 8));
        BenchmarkRecord run;
        run.finishedAt = 1'700'000'000 + index;
        run.device.key = "serial:" + name;
        run.device.bsdName = name;
        history += historyLine(run) + "\n";
    }
    const auto historyPath = (tree.root() / "benchmarks.jsonl").string();
    tallowin::testing::FakeSysfsTree::write(historyPath, history);
    DiskMetricsCollector collector({ std::make_shared<SysfsRegistry>(tree.rootString()),
                                       std::make_shared<SysfsBlockDeviceInventory>(tree.rootString()),
                                       std::make_shared<NoFileSystems>(), nullptr, historyPath },
        std::nullopt);
    prometheus::TextSerializer serializer;
    benchmark::DoNotOptimize(serializer.Serialize(collector.Collect())); // sessions and classification
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto text = serializer.Serialize(collector.Collect());
        bytes = text.size();
        benchmark::DoNotOptimize(text);
    }
    state.counters["exposition_bytes"] = static_cast<double>(bytes);
}
BENCHMARK(scrapeOf64Devices)->Unit(benchmark::kMicrosecond);

}

BENCHMARK_MAIN();
