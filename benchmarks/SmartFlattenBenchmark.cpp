// The cost of turning smartctl's JSON into rows: a full -x report of a SATA SSD, and synthetic
// documents of growing width and depth, whose times should grow in proportion to their size.
#include "core/Log.h"
#include "smart/SmartmontoolsBridge.h"

#include <benchmark/benchmark.h>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>

namespace {

using nlohmann::json;

void realReport(benchmark::State& state)
{
    std::ifstream file(std::filesystem::path(TALLOWIN_TEST_DATA_DIR) / "smartctl/ata-ssd-samsung-860evo-xall.json");
    auto root = json::parse(file);
    std::size_t rows = 0;
    for (auto _ : state) {
        auto flattened = tallowin::SmartmontoolsBridge::flatten(root);
        rows = flattened.size();
        benchmark::DoNotOptimize(flattened);
    }
    state.counters["rows"] = static_cast<double>(rows);
}
BENCHMARK(realReport)->Unit(benchmark::kMicrosecond);

void wideTable(benchmark::State& state)
{
    json table = json::array();
    for (std::int64_t i = 0; i < state.range(0); ++i)
        table.push_back({ { "id", i }, { "name", fmt::format("Attribute_{}", i) }, { "raw", { { "value", i * 1000003 } } } });
    json root { { "ata_smart_attributes", { { "table", table } } } };
    for (auto _ : state)
        benchmark::DoNotOptimize(tallowin::SmartmontoolsBridge::flatten(root));
    state.SetComplexityN(state.range(0));
}
BENCHMARK(wideTable)->RangeMultiplier(4)->Range(256, 16384)->Complexity()->Unit(benchmark::kMillisecond);

void deepChain(benchmark::State& state)
{
    json node = 1;
    for (std::int64_t i = 0; i < state.range(0); ++i)
        node = json { { "level", node }, { "sibling", i } };
    json root { { "chain", node } };
    for (auto _ : state)
        benchmark::DoNotOptimize(tallowin::SmartmontoolsBridge::flatten(root));
}
BENCHMARK(deepChain)->Arg(16)->Arg(64)->Arg(4096)->Unit(benchmark::kMicrosecond);

}

int main(int argc, char** argv)
{
    // Rows are built without logging; keep the sink quiet anyway so the output is the table.
    tallowin::ScopedTestLogSink quiet;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
