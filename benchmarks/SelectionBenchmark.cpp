// What volume selection costs the main thread, and how fast the SMART refresh answers and ends.
// The SMART source is a stand-in: it answers at once or after a set delay, so the figures are the
// monitor's own overhead, not the helper's.

#include "core/Log.h"
#include "core/MainQueue.h"
#include "monitor/DiskIOMonitor.h"

#include <atomic>
#include <benchmark/benchmark.h>
#include <chrono>
#include <memory>
#include <thread>

using namespace tallowin;
using namespace std::chrono_literals;

namespace {

// No registry: nothing here starts a monitoring run.

// Discards every record: the benchmark must not measure the journal.
class NullLogSink final : public LogSink {
public:
    LogLevel threshold() const override { return LogLevel::Fault; }
    void write(const LogRecord&) override { }
};

DiskIOMonitor::VolumeSelectionServices services(
    std::chrono::milliseconds fetchTime, std::atomic<int>& fetches)
{
    DiskIOMonitor::VolumeSelectionServices result;
    result.resolveVolume = [](const std::string& location) -> Expected<DiskVolumeDescriptor, MonitorError> {
        DiskVolumeDescriptor volume;
        volume.url = location;
        volume.bsdName = location.substr(location.rfind('/') + 1);
        return volume;
    };
    result.fetchSMARTInfo = [fetchTime, &fetches](const std::string&) -> std::optional<DiskSMARTInfo> {
        if (fetchTime > 0ms)
            std::this_thread::sleep_for(fetchTime);
        ++fetches;
        return DiskSMARTInfo { "PASSED", true, {}, "smartctl -j -x /dev/sda" };
    };
    return result;
}

// From the user's choice to the first SMART report in the published volume: resolve, start the
// refresh thread, fetch, and the decision's round trip through the main queue.
void selectionToFirstReport(benchmark::State& state)
{
    setLogSink(std::make_shared<NullLogSink>());
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    std::atomic<int> fetches { 0 };
    auto monitor = DiskIOMonitor::create(nullptr, mainQueue, services(0ms, fetches));
    int round = 0;
    for (auto _ : state) {
        auto name = (++round % 2) ? std::string("/mnt/sda") : std::string("/mnt/sdb");
        monitor->selectVolume(name);
        mainQueue->runUntil(
            [&] { return monitor->selectedVolume() && monitor->selectedVolume()->smartInfo; }, 10s);
    }
}
BENCHMARK(selectionToFirstReport)->Unit(benchmark::kMicrosecond);

// A new selection while the old refresh is inside a 200 ms fetch: the main thread must not wait for it.
void reselectionDuringASlowFetch(benchmark::State& state)
{
    setLogSink(std::make_shared<NullLogSink>());
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    std::atomic<int> fetches { 0 };
    auto monitor = DiskIOMonitor::create(nullptr, mainQueue, services(200ms, fetches));
    int round = 0;
    for (auto _ : state) {
        monitor->selectVolume((++round % 2) ? "/mnt/sda" : "/mnt/sdb");
        mainQueue->runPending();
    }
    monitor.reset(); // after the timed loop: waits for the last fetch
}
BENCHMARK(reselectionDuringASlowFetch)->Iterations(50)->Unit(benchmark::kMicrosecond);

// Destroying the monitor while its refresh pauses between two fetches: the stop ends the pause.
void destructionDuringThePause(benchmark::State& state)
{
    setLogSink(std::make_shared<NullLogSink>());
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    for (auto _ : state) {
        state.PauseTiming();
        std::atomic<int> fetches { 0 };
        auto monitor = DiskIOMonitor::create(nullptr, mainQueue, services(0ms, fetches));
        monitor->selectVolume("/mnt/sda");
        mainQueue->runUntil(
            [&] { return monitor->selectedVolume() && monitor->selectedVolume()->smartInfo; }, 10s);
        std::this_thread::sleep_for(1ms); // into the one-second pause
        state.ResumeTiming();
        monitor.reset();
    }
}
BENCHMARK(destructionDuringThePause)->Iterations(50)->Unit(benchmark::kMicrosecond);

}

BENCHMARK_MAIN();
