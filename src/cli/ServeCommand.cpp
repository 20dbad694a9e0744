#include "benchmark/BenchmarkHistory.h"
#include "cli/Command.h"
#include "cli/Interrupt.h"
#include "core/Language.h"
#include "exporter/BlockDeviceInventory.h"
#include "exporter/DiskMetricsCollector.h"
#include "exporter/MetricsServer.h"
#include "exporter/MountedFileSystems.h"
#include "exporter/SmartRefresher.h"
#include "platform/SysfsRegistry.h"
#include "smart/BlockDeviceTopology.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fmt/format.h>
#include <memory>
#include <mutex>
#include <set>

namespace tallowin::cli {

namespace {

struct ServeOptions {
    std::string listen { fmt::format("{}:{}", defaultExporterHost, defaultExporterPort) };
    std::vector<std::string> devices;
    unsigned smartIntervalSeconds { 30 * 60 };
    // Empty: the history the desktop app and `tallowin-cli benchmark` append to.
    std::string history;
};

void printError(bool english, const std::string& englishText, const std::string& chineseText)
{
    fmt::print(stderr, "{}\n", english ? englishText : chineseText);
}

int runServe(const ServeOptions& options)
{
    const bool english = isEnglish();
    auto address = parseListenAddress(options.listen);
    if (!address) {
        fmt::print(stderr, "tallowin-cli serve: {}\n", address.error());
        return 2;
    }
    const auto sysfsRoot = SysfsRegistry::defaultRoot();
    auto inventory = std::make_shared<SysfsBlockDeviceInventory>(sysfsRoot);
    DiskMetricsCollector::Selection selection;
    if (!options.devices.empty()) {
        const auto present = inventory->blockDevices();
        selection.emplace();
        for (auto name : options.devices) {
            if (name.starts_with("/dev/"))
                name.erase(0, 5);
            if (std::none_of(
                    present.begin(), present.end(), [&](const auto& entry) { return entry.name == name; })) {
                std::string known;
                for (const auto& entry : present)
                    known += (known.empty() ? "" : ", ") + entry.name;
                printError(english,
                    fmt::format(
                        "tallowin-cli serve: there is no block device \"{}\" (present: {})", name, known),
                    fmt::format("tallowin-cli serve：没有名为“{}”的块设备（现有：{}）", name, known));
                return 2;
            }
            selection->insert(std::move(name));
        }
    }

    // Label values are identities in Prometheus: the connection names must not change with the
    // language of whoever started the exporter. Set before any worker thread reads it.
    ::setenv("LANGUAGE", "en", 1);

    auto registry = std::make_shared<SysfsRegistry>(sysfsRoot);
    auto fileSystems = std::make_shared<LinuxMountedFileSystemSource>("/proc", sysfsRoot);
    // The refresher asks the collector which disks to cover, and the collector reads the
    // refresher's figures: the refresher holds the collector weakly. Declared first, so that it
    // outlives the refresher's thread.
    std::weak_ptr<DiskMetricsCollector> collectorForTargets;
    std::shared_ptr<SmartRefresher> smart;
    if (options.smartIntervalSeconds > 0) {
        smart = std::make_shared<SmartRefresher>(makeExporterSmartSource(),
            std::make_shared<SysfsBlockDeviceTopology>(sysfsRoot), [&collectorForTargets] {
                auto collector = collectorForTargets.lock();
                return collector ? collector->smartTargets() : std::vector<std::string> {};
            });
    }
    auto collector = std::make_shared<DiskMetricsCollector>(
        DiskMetricsCollector::Sources { registry, inventory, fileSystems, smart,
            options.history.empty() ? defaultHistoryPath() : options.history },
        std::move(selection));
    collectorForTargets = collector;

    auto server = MetricsServer::start(*address, collector);
    if (!server) {
        fmt::print(stderr, "tallowin-cli serve: {}\n",
            server.error().description(english ? Language::English : Language::Chinese));
        return 1;
    }
    if (smart)
        smart->start(std::chrono::seconds(options.smartIntervalSeconds));

    ListenAddress bound { address->host, server.value()->port() };
    printError(english, fmt::format("Serving http://{}/metrics (Ctrl-C stops)", bound.text()),
        fmt::format("正在提供 http://{}/metrics（Ctrl-C 停止）", bound.text()));
    // Scripts and tests that asked for port 0 read the chosen one here.
    fmt::print("{}\n", bound.text());
    std::fflush(stdout);

    std::mutex mutex;
    std::condition_variable stopped;
    bool stop = false;
    auto* interrupts = InterruptWatcher::current();
    if (interrupts) {
        interrupts->setHandler([&] {
            std::lock_guard lock(mutex);
            stop = true;
            stopped.notify_all();
        });
    }
    {
        std::unique_lock lock(mutex);
        stopped.wait(lock, [&] { return stop; });
    }
    if (interrupts)
        interrupts->setHandler(nullptr);
    // The server goes first, so that no scrape reads the refresher while it stops.
    server.value().reset();
    smart.reset();
    return 0;
}

CommandRegistration serveCommand { {
    "serve",
    "Serve the disks' counters, links, file systems, SMART figures and newest benchmarks for "
    "Prometheus on /metrics.",
    [](CLI::App& command, CommandRunner& runner) {
        auto options = std::make_shared<ServeOptions>();
        command
            .add_option("--listen", options->listen, "Address and port to listen on (ADDR:PORT, [::1]:PORT)")
            ->capture_default_str();
        command
            .add_option(
                "--devices", options->devices, "Only these block devices, comma-separated (sda,nvme0n1)")
            ->delimiter(',');
        command
            .add_option("--smart-interval", options->smartIntervalSeconds,
                "Seconds between SMART refreshes through the helper; 0 turns SMART off")
            ->capture_default_str();
        command.add_option("--history", options->history,
            "Benchmark history file whose newest run per drive is served (default: "
            "$XDG_STATE_HOME/tallowin/benchmarks.jsonl)");
        command.callback([options, &runner] { runner = [options] { return runServe(*options); }; });
    },
} };

}

}
