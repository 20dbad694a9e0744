#include "benchmark/BenchmarkHistory.h"
#include "benchmark/DiskPerformanceTester.h"
#include "cli/BenchOutcome.h"
#include "cli/Command.h"
#include "cli/Interrupt.h"
#include "volumes/SystemVolume.h"
#include "core/Formatting.h"
#include "core/Language.h"
#include "core/MainQueue.h"
#include "core/Messages.h"
#include "monitor/DiskScope.h"
#include "platform/SysfsRegistry.h"

#include <atomic>
#include <cstdio>
#include <fmt/format.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace tallowin::cli {

namespace {

using Tester = DiskPerformanceTester;
using Formatting::ByteUnit;

struct BenchOptions {
    std::string path;
    std::string size { "full" };
    bool json { false };
    bool history { false };
};

Tester::DataSize dataSizeFor(const std::string& size)
{
    if (size == "full")
        return Tester::DataSize::availableSpace();
    return Tester::DataSize::gigabytes(std::stoll(size));
}


Language language()
{
    return isEnglish() ? Language::English : Language::Chinese;
}

std::string throughputText(double bytesPerSecond)
{
    return Formatting::byteCount(
               Formatting::wholeBytes(bytesPerSecond), ByteUnit::MB | ByteUnit::GB | ByteUnit::TB, language())
        + localized("/s", "/秒");
}

// One line redrawn in place on a terminal; plain lines when the output is a file or a pipe.
class ProgressLine {
public:
    ProgressLine()
        : m_isTerminal(::isatty(STDERR_FILENO) != 0)
    { }
    void show(const ProgressState& state)
    {
        constexpr int width = 30;
        int filled = static_cast<int>(std::clamp(state.fractionCompleted, 0.0, 1.0) * width);
        std::string bar = std::string(static_cast<std::size_t>(filled), '#')
            + std::string(static_cast<std::size_t>(width - filled), '-');
        std::string eta = state.estimatedRemainingTime
            ? Formatting::hoursMinutesSeconds(*state.estimatedRemainingTime)
            : localized("Calculating…", "计算中…");
        std::string line = fmt::format("{:<24} [{}] {:>6}  {} {}  {} {}", displayName(state.phase), bar,
            Formatting::percent(state.fractionCompleted), localized("Elapsed", "已用时"),
            Formatting::hoursMinutesSeconds(state.elapsedTime), localized("ETA", "剩余时间"), eta);
        if (m_isTerminal)
            fmt::print(stderr, "\r\033[K{}", line);
        else
            fmt::print(stderr, "{}\n", line);
        m_shown = true;
        std::fflush(stderr);
    }
    void finish()
    {
        if (m_isTerminal && m_shown)
            fmt::print(stderr, "\n");
        m_shown = false;
    }

private:
    bool m_isTerminal;
    bool m_shown { false };
};

// The payload as the control panel previews it; for the whole free space, what it keeps free.
std::string payloadPreview(
    const std::optional<Tester::EffectivePayload>& payload, std::optional<std::uint64_t> freeBytes)
{
    if (!payload)
        return "-";
    auto size = [](std::uint64_t bytes) {
        return Formatting::byteCount(bytes, ByteUnit::GB | ByteUnit::TB, language());
    };
    std::string text = size(payload->byteCount);
    if (payload->isAdjusted && freeBytes)
        text = Messages::payloadWithAdjustment(size(*freeBytes / 1000000000 * 1000000000), text);
    if (payload->bytesKeptFree > 0)
        text += fmt::format(
            fmt::runtime(localized("; {} kept free for the random-phase file and file-system metadata",
                "；保留 {} 给随机测试文件和文件系统元数据")),
            Formatting::byteCount(
                payload->bytesKeptFree, ByteUnit::MB | ByteUnit::GB | ByteUnit::TB, language()));
    return text;
}

nlohmann::ordered_json resultJson(const Tester::Result& result, const std::optional<std::string>& reportPath)
{
    nlohmann::ordered_json timeline = nlohmann::ordered_json::array();
    for (const auto& sample : result.timeline) {
        timeline.push_back({ { "phase", rawValue(sample.phase) }, { "timestamp", sample.timestamp },
            { "bytesTransferred", sample.bytesTransferred }, { "throughput", sample.throughput } });
    }
    nlohmann::ordered_json phases = nlohmann::ordered_json::array();
    for (const auto& phase : result.honesty.phases) {
        auto traffic = [&](std::uint64_t StatisticsSnapshot::*field) {
            return phase.deviceTraffic ? nlohmann::ordered_json((*phase.deviceTraffic).*field)
                                       : nlohmann::ordered_json(nullptr);
        };
        nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
        for (const auto& warning : phase.warnings)
            warnings.push_back({ { "kind", warning.kind }, { "message", warning.message } });
        phases.push_back({ { "phase", rawValue(phase.phase) }, { "countedBytes", phase.countedBytes },
            { "throughput", phase.throughput },
            { "deviceReadBytes", traffic(&StatisticsSnapshot::bytesRead) },
            { "deviceWriteBytes", traffic(&StatisticsSnapshot::bytesWritten) },
            { "deviceReadOperations", traffic(&StatisticsSnapshot::readOperations) },
            { "deviceWriteOperations", traffic(&StatisticsSnapshot::writeOperations) },
            { "warnings", warnings } });
    }
    const auto& ceiling = result.honesty.linkCeiling;
    return {
        { "actualByteCount", result.actualByteCount },
        { "writeThroughput", result.writeThroughput },
        { "readThroughput", result.readThroughput },
        { "randomWriteIOPS", result.randomWriteIOPS },
        { "randomReadIOPS", result.randomReadIOPS },
        { "randomOperationCount", result.randomOperationCount },
        { "maximumWriteThroughput", result.maximumWriteThroughput },
        { "maximumReadThroughput", result.maximumReadThroughput },
        { "writeDuration", result.writeDuration },
        { "readDuration", result.readDuration },
        { "timeline", timeline },
        { "reportPath", reportPath ? nlohmann::ordered_json(*reportPath) : nlohmann::ordered_json(nullptr) },
        { "phases", phases },
        { "linkCeiling",
            ceiling ? nlohmann::ordered_json { { "link", ceiling->link },
                { "bytesPerSecond", ceiling->bytesPerSecond } }
                    : nlohmann::ordered_json(nullptr) },
    };
}

void printResult(const Tester::Result& result)
{
    auto row = [](std::string_view label, const std::string& value) {
        fmt::print("{:<22}{}\n", fmt::format("{}:", label), value);
    };
    row(localized("Sample Size", "实际样本"),
        Formatting::byteCount(result.actualByteCount, ByteUnit::GB | ByteUnit::TB, language()));
    row(localized("Average Write Speed", "写入平均速度"), throughputText(result.writeThroughput));
    row(localized("Average Read Speed", "读取平均速度"), throughputText(result.readThroughput));
    row(localized("Random Write IOPS", "随机写入 IOPS"),
        Formatting::iops(result.randomWriteIOPS, language()));
    row(localized("Random Read IOPS", "随机读取 IOPS"), Formatting::iops(result.randomReadIOPS, language()));
    row(localized("Peak Write Speed", "写入最大速度"), throughputText(result.maximumWriteThroughput));
    row(localized("Peak Read Speed", "读取最大速度"), throughputText(result.maximumReadThroughput));
    for (const auto& phase : result.honesty.phases) {
        for (const auto& warning : phase.warnings)
            fmt::print("{}: {}\n", displayName(phase.phase), warning.message);
    }
}

// "+3.2%" against an earlier figure; nothing without one.
std::string changeText(double now, std::optional<double> before)
{
    if (!before || *before <= 0)
        return "";
    return fmt::format("{:+.1f}%", (now - *before) / *before * 100);
}

std::string dateText(WallClockTime time)
{
    return Formatting::mediumDateTime(time, language());
}

// The past runs, newest first, each figure with its change against the previous run of the same
// drive and the drive's best.
void printHistory(const std::vector<BenchmarkRecord>& newestFirst)
{
    struct Figure {
        std::string label;
        double BenchmarkRecord::*field;
        bool isRate;
    };
    const std::vector<Figure> figures {
        { localized("Sequential write", "顺序写入"), &BenchmarkRecord::writeThroughput, true },
        { localized("Sequential read", "顺序读取"), &BenchmarkRecord::readThroughput, true },
        { localized("Random write", "随机写入"), &BenchmarkRecord::randomWriteIOPS, false },
        { localized("Random read", "随机读取"), &BenchmarkRecord::randomReadIOPS, false },
    };
    auto figureText = [](const Figure& figure, double value) {
        return figure.isRate ? throughputText(value) : Formatting::iops(value, language()) + " IOPS";
    };
    for (std::size_t index = 0; index < newestFirst.size(); ++index) {
        const auto& record = newestFirst[index];
        const auto& device = record.device;
        std::string name = fmt::format("{} {}", device.vendor.value_or(""), device.model.value_or(""));
        fmt::print("{}  {} ({}, {})  {}  {}\n", dateText(record.finishedAt), Formatting::trimmed(name),
            device.bsdName, device.connection,
            Formatting::byteCount(record.payloadBytes, ByteUnit::GB | ByteUnit::TB, language()), record.path);
        // The previous run of the same drive is the next older record with its key.
        const BenchmarkRecord* previous = nullptr;
        for (std::size_t older = index + 1; older < newestFirst.size() && !previous; ++older) {
            if (newestFirst[older].device.key == device.key)
                previous = &newestFirst[older];
        }
        for (const auto& figure : figures) {
            double value = record.*figure.field;
            double best = value;
            for (const auto& other : newestFirst) {
                if (other.device.key == device.key)
                    best = std::max(best, other.*figure.field);
            }
            auto change = changeText(value, previous ? std::optional(previous->*figure.field) : std::nullopt);
            fmt::print("  {:<18}{:>16}  {:>8}  {} {}\n", figure.label, figureText(figure, value),
                change.empty() ? "-" : change, localized("best", "最佳"), figureText(figure, best));
        }
        for (const auto& phase : record.honesty.phases) {
            for (const auto& warning : phase.warnings)
                fmt::print("  {}: {}\n", displayName(phase.phase), warning.message);
        }
    }
}

int runHistory(const BenchOptions& options)
{
    auto path = defaultHistoryPath();
    auto contents = loadHistory(path);
    for (const auto& warning : contents.warnings)
        fmt::print(stderr, "{}\n", warning);
    std::optional<std::string> key;
    if (!options.path.empty()) {
        SysfsRegistry registry;
        auto volume = volumeAtPath(options.path, registry);
        if (!volume) {
            fmt::print(stderr, "{}\n", volume.error());
            return 1;
        }
        key = benchmarkDevice(*volume, registry, sysfsBlockStack(registry.root())).key;
    }
    std::vector<BenchmarkRecord> newestFirst;
    for (auto record = contents.records.rbegin(); record != contents.records.rend(); ++record) {
        if (!key || record->device.key == *key)
            newestFirst.push_back(*record);
    }
    if (options.json) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const auto& record : newestFirst)
            array.push_back(nlohmann::ordered_json::parse(historyLine(record)));
        fmt::print("{}\n", array.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
        return 0;
    }
    if (newestFirst.empty()) {
        fmt::print("{}\n", localized("No benchmark runs recorded yet.", "尚无测试记录。"));
        return 0;
    }
    printHistory(newestFirst);
    return 0;
}

int runBench(const BenchOptions& options)
{
    if (options.history)
        return runHistory(options);
    if (options.path.empty()) {
        fmt::print(stderr, "{}\n", localized("Give a folder to test.", "请指定要测试的文件夹。"));
        return 2;
    }
    SysfsRegistry registry;
    auto volume = volumeAtPath(options.path, registry);
    if (!volume) {
        fmt::print(stderr, "{}\n", volume.error());
        return 1;
    }

    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    auto tester = Tester::create(mainQueue);
    tester->setDataSize(dataSizeFor(options.size));

    ProgressLine progress;
    std::optional<ProgressState> shown;
    tester->setChangeHandler([&] {
        if (tester->progressState() && tester->progressState() != shown) {
            shown = tester->progressState();
            progress.show(*shown);
        }
    });

    auto interrupted = std::make_shared<std::atomic<bool>>(false);
    auto* interrupts = InterruptWatcher::current();
    if (interrupts) {
        interrupts->setHandler([mainQueue, weakTester = std::weak_ptr(tester), interrupted] {
            *interrupted = true;
            mainQueue->post([weakTester] {
                if (auto self = weakTester.lock())
                    self->stopTest();
            });
        });
    }

    if (!options.json)
        fmt::print(stderr, "{} {} ({})\n", localized("Testing", "正在测试"), volume->url,
            payloadPreview(tester->effectivePayload(*volume), volume->availableCapacityBytes));
    tester->startTest(*volume);
    // Runs the main queue until the test has ended and every deletion and the report are done,
    // so that the program never exits with a temporary file still on the disk.
    auto settled = [&] { return !tester->isRunning() && !tester->hasBackgroundWork(); };
    while (!mainQueue->runUntil(settled, std::chrono::milliseconds(50))) { }
    progress.finish();
    if (interrupts)
        interrupts->setHandler({});

    // The registry keeps every file whose removal failed; the clean-up has run by now.
    auto verdict = benchVerdict({ interrupted->load(), tester->lastResult().has_value(),
        tester->errorMessage(), tester->temporaryFileRegistry().pendingFiles() });
    if (verdict.printsResult) {
        if (options.json)
            fmt::print("{}\n", resultJson(*tester->lastResult(), tester->lastReportPath()).dump(2));
        else
            printResult(*tester->lastResult());
    }
    for (const auto& message : verdict.messages)
        fmt::print(stderr, "{}\n", message);
    if (tester->lastResult()) {
        // Every completed run joins the history; a history that cannot be written costs the
        // user nothing of this run's result.
        auto record = benchmarkRecord(*tester->lastResult(), *volume,
            benchmarkDevice(*volume, registry, sysfsBlockStack(registry.root())));
        if (auto appended = appendToHistory(defaultHistoryPath(), record); !appended)
            fmt::print(stderr, "{}\n", appended.error());
    }
    if (verdict.exitStatus != 0)
        return verdict.exitStatus;
    if (!options.json && tester->automaticReportMessage())
        fmt::print("{}\n", *tester->automaticReportMessage());
    return 0;
}

const CommandRegistration registration { CommandDefinition { "bench",
    "Benchmark the disk behind a folder: random 4 KiB writes and reads, then sequential 16 MiB writes and "
    "reads; "
    "writes an HTML report into the folder.",
    [](CLI::App& command, CommandRunner& runner) {
        auto options = std::make_shared<BenchOptions>();
        command.add_option("PATH", options->path,
            "A folder on the volume to test; with --history, whose drive's runs to list");
        command.add_option("--size", options->size, "Payload: the free space (full) or decimal gigabytes")
            ->check(CLI::IsMember({ "full", "1", "10", "100", "1000", "10000" }));
        command.add_flag("--json", options->json, "Print the result as one JSON object");
        command.add_flag("--history", options->history,
            "List the recorded runs (of the drive behind PATH, or all), newest first, with the change "
            "against the previous run and the best");
        runner = [options] { return runBench(*options); };
    } } };

}

}
