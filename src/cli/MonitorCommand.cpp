// tallowin-cli monitor: live I/O of the block device behind a folder (or of a named device),
// as a refreshing line for people or as one JSON line per applied batch for scripts.

#include "cli/Command.h"
#include "cli/Interrupt.h"
#include "cli/MonitorExport.h"
#include "volumes/SystemVolume.h"
#include "core/Clock.h"
#include "core/Language.h"
#include "core/MainQueue.h"
#include "monitor/DiskIOMonitor.h"
#include "monitor/DiskScope.h"
#include "platform/SysfsRegistry.h"
#include "volumes/DiskVolumeResolver.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fmt/format.h>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stop_token>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tallowin::cli {

namespace {

struct MonitorOptions {
    std::string path;
    std::string device;
    int interval { 1000 };
    double duration { 0 };
    bool json { false };
    std::string exportPath;
    std::string scope { "volume" };
};

// Decimal units, as the byte-count formatters of the application use them.
std::string humanBytes(double bytes)
{
    static constexpr const char* units[] = { "B", "kB", "MB", "GB", "TB", "PB" };
    std::size_t unit = 0;
    while (bytes >= 1000 && unit + 1 < std::size(units)) {
        bytes /= 1000;
        ++unit;
    }
    return unit == 0 ? fmt::format("{:.0f} {}", bytes, units[unit])
                     : fmt::format("{:.1f} {}", bytes, units[unit]);
}

std::string elapsedText(double seconds)
{
    auto whole = static_cast<long>(seconds);
    return fmt::format("{:02}:{:02}:{:02}", whole / 3600, whole / 60 % 60, whole % 60);
}

void printLine(std::FILE* stream, const std::string& line)
{
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
}

// The samples of the last second: a sample covers one sampling interval, so a second is
// 1000 ÷ interval samples. Rates are counts × 1000 ÷ the interval in milliseconds.
class LastSecondWindow {
public:
    explicit LastSecondWindow(int intervalMilliseconds)
        : m_interval(intervalMilliseconds)
        , m_slots(static_cast<std::size_t>(std::max(1, 1000 / intervalMilliseconds)))
    { }

    void add(const DiskSample& sample)
    {
        auto& slot = m_slots[m_next];
        if (m_count == m_slots.size())
            m_sums = subtract(m_sums, slot);
        else
            ++m_count;
        slot = { sample.readBytes, sample.writeBytes, sample.readOperations, sample.writeOperations };
        m_sums = { m_sums[0] + slot[0], m_sums[1] + slot[1], m_sums[2] + slot[2], m_sums[3] + slot[3] };
        m_next = (m_next + 1) % m_slots.size();
    }

    // Per second: read bytes, written bytes, reads, writes.
    std::array<double, 4> rates() const
    {
        std::array<double, 4> result {};
        if (m_count == 0)
            return result;
        double scale = 1000.0 / (static_cast<double>(m_interval) * static_cast<double>(m_count));
        for (std::size_t i = 0; i < 4; ++i)
            result[i] = static_cast<double>(m_sums[i]) * scale;
        return result;
    }

private:
    using Counts = std::array<std::uint64_t, 4>;
    static Counts subtract(const Counts& a, const Counts& b)
    {
        return { a[0] - b[0], a[1] - b[1], a[2] - b[2], a[3] - b[3] };
    }

    int m_interval;
    std::vector<Counts> m_slots;
    std::size_t m_next { 0 };
    std::size_t m_count { 0 };
    Counts m_sums {};
};

// A device named directly: no folder, so only what the registry knows about its connection.
Expected<DiskVolumeDescriptor, std::string> descriptorForDevice(
    const std::string& name, DeviceRegistry& registry)
{
    DiskVolumeDescriptor descriptor;
    descriptor.bsdName = name;
    descriptor.displayName = name;
    auto connection = DiskVolumeResolver::connectionMetadata(name, registry);
    descriptor.connectionTypeDescription = connection.type;
    descriptor.connectionSpeedDescription = connection.speed;
    descriptor.hardwareVendor = connection.vendor;
    descriptor.hardwareModel = connection.product;
    return descriptor;
}

int runMonitor(const MonitorOptions& options)
{
    auto precision = DiskIOMonitor::SamplingPrecision::fromRawValue(options.interval);
    if (!precision) {
        printLine(stderr,
            localized(fmt::format("Unsupported sampling interval: {} ms. Choose 1, 10, 100 or 1000.",
                          options.interval),
                fmt::format("不支持的采样间隔：{} 毫秒。请选择 1、10、100 或 1000。", options.interval)));
        return 2;
    }
    if (options.path.empty() == options.device.empty()) {
        printLine(stderr,
            localized("Give either a folder or --device NAME.", "请指定一个文件夹或 --device NAME。"));
        return 2;
    }
    auto scope = monitorScopeFromRawValue(options.scope).value_or(MonitorScope::volume);
    auto sysfs = std::make_shared<SysfsRegistry>();
    auto descriptor = options.device.empty() ? volumeAtPath(options.path, *sysfs)
                                             : descriptorForDevice(options.device, *sysfs);
    if (!descriptor) {
        printLine(stderr, descriptor.error());
        return 1;
    }
    // The whole disks under the volume, read as one device by the same statistics session.
    std::vector<std::string> devices { descriptor->bsdName };
    std::shared_ptr<DeviceRegistry> registry = sysfs;
    if (scope == MonitorScope::disk) {
        devices = wholeDisksUnder(descriptor->bsdName, sysfsBlockStack(sysfs->root()));
        registry = std::make_shared<SummedStatisticsRegistry>(sysfs, descriptor->bsdName, devices);
    }
    std::string devicesText;
    for (const auto& device : devices)
        devicesText += (devicesText.empty() ? "" : "+") + device;

    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    auto monitor = DiskIOMonitor::create(registry, mainQueue);
    std::weak_ptr<DiskIOMonitor> weakMonitor = monitor;
    auto requestStop = [weakMonitor, mainQueue] {
        mainQueue->post([weakMonitor] {
            if (auto target = weakMonitor.lock())
                target->stopMonitoring();
        });
    };

    const bool interactive = !options.json && ::isatty(STDOUT_FILENO);
    LastSecondWindow window(options.interval);
    std::uint64_t totalSamples = 0;
    std::uint64_t batches = 0;
    bool started = false;
    bool failed = false;
    std::optional<MonotonicTime> startInstant;
    double lastPrinted = -1;

    auto humanLine = [&] {
        auto rates = window.rates();
        return localized(
            fmt::format("{}  read {}/s ({:.0f} IO/s)  write {}/s ({:.0f} IO/s)  total read {}  written {}  "
                        "elapsed {}",
                devicesText, humanBytes(rates[0]), rates[2], humanBytes(rates[1]), rates[3],
                humanBytes(static_cast<double>(monitor->totalReadBytes())),
                humanBytes(static_cast<double>(monitor->totalWriteBytes())),
                elapsedText(monitor->monitoringDuration())),
            fmt::format("{}  读取 {}/s（{:.0f} 次/秒）  写入 {}/s（{:.0f} 次/秒）  累计读取 {}  累计写入 {}  "
                        "已用时间 {}",
                devicesText, humanBytes(rates[0]), rates[2], humanBytes(rates[1]), rates[3],
                humanBytes(static_cast<double>(monitor->totalReadBytes())),
                humanBytes(static_cast<double>(monitor->totalWriteBytes())),
                elapsedText(monitor->monitoringDuration())));
    };

    monitor->addBatchObserver([&](std::span<const DiskSample> batch) {
        totalSamples += batch.size();
        ++batches;
        for (const auto& sample : batch)
            window.add(sample);
        if (options.json) {
            nlohmann::ordered_json line;
            line["samples"] = batch.size();
            line["currentReadBytes"] = monitor->currentReadBytes();
            line["currentWriteBytes"] = monitor->currentWriteBytes();
            line["currentReadOperations"] = monitor->currentReadOperations();
            line["currentWriteOperations"] = monitor->currentWriteOperations();
            line["totalReadBytes"] = monitor->totalReadBytes();
            line["totalWriteBytes"] = monitor->totalWriteBytes();
            line["monitoringDuration"] = monitor->monitoringDuration();
            line["scope"] = rawValue(scope);
            line["devices"] = devices;
            printLine(stdout, line.dump());
            return;
        }
        // A person reads at most a few updates a second; a pipe gets one line a second.
        double now = monitor->monitoringDuration();
        if (interactive && now - lastPrinted >= 0.1) {
            auto text = "\r\033[K" + humanLine();
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
            lastPrinted = now;
        } else if (!interactive && now - lastPrinted >= 1.0) {
            printLine(stdout, humanLine());
            lastPrinted = now;
        }
    });

    monitor->addObserver([&](DiskIOMonitor::Property property) {
        using Property = DiskIOMonitor::Property;
        if (property == Property::errorMessage && monitor->errorMessage()) {
            failed = true;
            if (interactive)
                std::fputs("\r\033[K", stdout);
            printLine(stderr, *monitor->errorMessage());
        } else if (property == Property::isMonitoring) {
            if (monitor->isMonitoring()) {
                started = true;
                startInstant = std::chrono::steady_clock::now();
            } else if (started) {
                mainQueue->quit();
            }
        }
    });

    if (auto* interrupts = InterruptWatcher::current())
        interrupts->setHandler(requestStop);

    monitor->updateSamplingPrecision(*precision);
    monitor->setSelectedVolume(*descriptor);
    monitor->startMonitoring();

    std::jthread stopper;
    if (options.duration > 0) {
        auto duration = std::chrono::duration<double>(options.duration);
        stopper = std::jthread([duration, requestStop](std::stop_token stopToken) {
            std::mutex mutex;
            std::condition_variable_any wakeUp;
            std::unique_lock lock(mutex);
            wakeUp.wait_for(lock, stopToken, duration, [] { return false; });
            if (!stopToken.stop_requested())
                requestStop();
        });
    }

    mainQueue->run();

    stopper = {};
    if (auto* interrupts = InterruptWatcher::current())
        interrupts->setHandler(nullptr);

    double elapsed = startInstant ? secondsBetween(*startInstant, std::chrono::steady_clock::now()) : 0;
    std::optional<Expected<ChartExportFiles, std::string>> exported;
    if (!options.exportPath.empty())
        exported = exportMonitorRun(monitor->samples(), monitor->samplingPrecision().rawValue(), options.exportPath);
    if (options.json) {
        nlohmann::ordered_json summary;
        summary["summary"] = true;
        summary["samples"] = totalSamples;
        summary["batches"] = batches;
        summary["totalReadBytes"] = monitor->totalReadBytes();
        summary["totalWriteBytes"] = monitor->totalWriteBytes();
        summary["monitoringDuration"] = elapsed;
        summary["scope"] = rawValue(scope);
        summary["devices"] = devices;
        if (exported && *exported) {
            summary["exportCsvPath"] = (*exported)->csvPath;
            summary["exportPngPath"] = (*exported)->pngPath;
        }
        printLine(stdout, summary.dump());
    } else if (!failed || batches > 0) {
        if (interactive)
            std::fputc('\n', stdout);
        printLine(stdout,
            localized(
                fmt::format("Stopped after {:.1f} s: {} samples in {} batches; read {}, written {}.", elapsed,
                    totalSamples, batches, humanBytes(static_cast<double>(monitor->totalReadBytes())),
                    humanBytes(static_cast<double>(monitor->totalWriteBytes()))),
                fmt::format("已在 {:.1f} 秒后停止：{} 个样本，{} 批；读取 {}，写入 {}。", elapsed,
                    totalSamples, batches, humanBytes(static_cast<double>(monitor->totalReadBytes())),
                    humanBytes(static_cast<double>(monitor->totalWriteBytes())))));
    }
    if (exported) {
        // Standard output carries only JSON lines in --json mode.
        if (*exported)
            printLine(options.json ? stderr : stdout, chartExportSuccessMessage(**exported));
        else
            printLine(stderr, exported->error());
    }
    return failed || (exported && !*exported) ? 1 : 0;
}

const CommandRegistration registration { {
    "monitor",
    "Show live reads and writes of the disk behind a folder, or of a block device",
    [](CLI::App& command, CommandRunner& runner) {
        auto options = std::make_shared<MonitorOptions>();
        auto* path = command.add_option("path", options->path, "A folder on the volume to watch");
        command
            .add_option("--device", options->device,
                "A kernel block device name instead of a folder (vda, sda1, nvme0n1)")
            ->excludes(path);
        command
            .add_option(
                "--interval", options->interval, "Sampling interval in milliseconds: 1, 10, 100 or 1000")
            ->capture_default_str();
        command
            .add_option(
                "--duration", options->duration, "Stop after this many seconds (default: until Ctrl-C)")
            ->check(CLI::NonNegativeNumber);
        command.add_flag("--json", options->json, "One JSON line per applied batch, then a summary line");
        command
            .add_option("--scope", options->scope,
                "volume: the volume's own block device; disk: the whole disks under it (the disk of a "
                "partition, the members of LVM, LUKS, device-mapper and md stacks), summed")
            ->check(CLI::IsMember({ "volume", "disk" }))
            ->capture_default_str();
        command.add_option("--export", options->exportPath,
            "At the end, write the run as this CSV file and a PNG chart next to it");
        // Only the chosen subcommand's callback runs, so only it decides what to run.
        command.callback([&runner, options] { runner = [options] { return runMonitor(*options); }; });
    },
} };

}

}
