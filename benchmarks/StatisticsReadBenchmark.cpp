// What one statistics read costs on the monitor's hot path, against the bare system call, and
// what a monitor sampling every millisecond allocates per sample.

#include "core/Log.h"
#include "core/MainQueue.h"
#include "monitor/DiskIOKitStatisticsProvider.h"
#include "monitor/DiskIOMonitor.h"
#include "platform/SysfsRegistry.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fmt/format.h>
#include <new>
#include <optional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

namespace {
std::atomic<std::uint64_t> allocations { 0 };
}

// Counts every allocation of the process, on every thread.
void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void operator delete(void* memory) noexcept
{
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept
{
    std::free(memory);
}

using namespace tallowin;

namespace {

// The disk that holds the temporary folder, the one a test run writes to; for a partition, its
// whole disk. TALLOWIN_BENCHMARK_DEVICE names another one.
std::string findDevice()
{
    if (const char* name = std::getenv("TALLOWIN_BENCHMARK_DEVICE"); name && *name)
        return name;
    struct stat status { };
    if (::stat(std::filesystem::temp_directory_path().c_str(), &status) != 0 || major(status.st_dev) == 0)
        return "vda";
    std::error_code error;
    auto object = std::filesystem::canonical(
        fmt::format("/sys/dev/block/{}:{}", major(status.st_dev), minor(status.st_dev)), error);
    if (error)
        return "vda";
    if (std::filesystem::exists(object / "partition"))
        object = object.parent_path();
    return object.filename().string();
}

const char* device()
{
    static const std::string name = findDevice();
    return name.c_str();
}

DiskVolumeDescriptor descriptor()
{
    DiskVolumeDescriptor volume;
    volume.bsdName = device();
    volume.displayName = volume.bsdName;
    volume.connectionTypeDescription = "Unknown";
    return volume;
}

// Only errors are kept, as in a normal run without TALLOWIN_DEBUG.
void quietLog()
{
    setLogSink(makeStderrLogSink(LogLevel::Error));
}

// Runs `read` once per iteration and reports how many allocations each read made.
template<typename Read> void measureReads(benchmark::State& state, Read read)
{
    auto before = allocations.load();
    for (auto _ : state) {
        auto value = read();
        benchmark::DoNotOptimize(value);
    }
    state.counters["allocations/read"] = benchmark::Counter(
        static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations()));
}

// The registry object of the device, or nothing after marking the benchmark skipped.
std::optional<RegistryObjectRef> deviceObject(SysfsRegistry& registry, benchmark::State& state)
{
    auto objects = registry.matchBSDName(device());
    if (!objects || objects->empty()) {
        state.SkipWithError("no such device");
        return std::nullopt;
    }
    return objects->front();
}

void cachedSessionRead(benchmark::State& state)
{
    quietLog();
    auto session = DiskIOKitStatisticsProvider::StatisticsSession::create(
        std::make_shared<SysfsRegistry>(), descriptor());
    if (!session) {
        state.SkipWithError("no statistics for the device");
        return;
    }
    measureReads(state, [&] { return (*session)->readSnapshot(); });
}
BENCHMARK(cachedSessionRead);

void registryStatisticsProperty(benchmark::State& state)
{
    SysfsRegistry registry;
    if (auto object = deviceObject(registry, state))
        measureReads(state, [&] { return registry.property(*object, "Statistics"); });
}
BENCHMARK(registryStatisticsProperty);

// The typed read that the statistics session uses: one pread and a parse, no allocation.
void registryReadStatistics(benchmark::State& state)
{
    SysfsRegistry registry;
    if (auto object = deviceObject(registry, state))
        measureReads(state, [&] { return registry.readStatistics(*object); });
}
BENCHMARK(registryReadStatistics);

void barePreadAndParse(benchmark::State& state)
{
    std::string path = fmt::format("/sys/class/block/{}/stat", device());
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        state.SkipWithError("cannot open the stat file");
        return;
    }
    char buffer[512];
    for (auto _ : state) {
        ssize_t count = ::pread(fd, buffer, sizeof buffer - 1, 0);
        buffer[count > 0 ? count : 0] = '\0';
        std::uint64_t fields[7] = {};
        char* cursor = buffer;
        for (auto& field : fields)
            field = std::strtoull(cursor, &cursor, 10);
        benchmark::DoNotOptimize(fields);
    }
    ::close(fd);
}
BENCHMARK(barePreadAndParse);

// A real monitor at 1 ms for the benchmark's time, the main queue drained as the CLI does.
// Reports allocations per sample across all threads (sampling, aggregation and the main
// thread's batch application), and the samples and batches per second.
void monitorAtOneMillisecond(benchmark::State& state)
{
    quietLog();
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    auto monitor = DiskIOMonitor::create(std::make_shared<SysfsRegistry>(), mainQueue);
    std::uint64_t samples = 0;
    std::uint64_t batches = 0;
    monitor->addBatchObserver([&](std::span<const DiskSample> batch) {
        samples += batch.size();
        ++batches;
    });
    monitor->updateSamplingPrecision(DiskIOMonitor::SamplingPrecision::ms1);
    monitor->setSelectedVolume(descriptor());
    monitor->startMonitoring();
    if (!mainQueue->runUntil([&] { return samples >= 100; }, std::chrono::seconds(5))) {
        state.SkipWithError("the monitor produced no samples");
        return;
    }
    auto firstSamples = samples;
    auto firstBatches = batches;
    auto before = allocations.load();
    auto start = std::chrono::steady_clock::now();
    for (auto _ : state)
        mainQueue->runUntil([] { return false; }, std::chrono::milliseconds(100));
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto allocated = allocations.load() - before;
    auto sampled = samples - firstSamples;
    monitor->stopMonitoring();
    mainQueue->runUntil([&] { return !monitor->isMonitoring(); }, std::chrono::seconds(5));
    state.counters["samples/s"] = static_cast<double>(sampled) / elapsed;
    state.counters["batches/s"] = static_cast<double>(batches - firstBatches) / elapsed;
    state.counters["allocations/sample"]
        = static_cast<double>(allocated) / static_cast<double>(sampled ? sampled : 1);
}
BENCHMARK(monitorAtOneMillisecond)->Iterations(30)->Unit(benchmark::kMillisecond);

}

BENCHMARK_MAIN();
