#include "monitor/DiskIOMonitor.h"
#include "platform/SysfsRegistry.h"
#include "support/BlockDeviceUnderPath.h"
#include "support/FakeSysfsTree.h"
#include "support/LanguageGuard.h"
#include "support/ShellCommand.h"

#include <array>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <numeric>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace tallowin;
using namespace std::chrono_literals;
using tallowin::testing::FakeSysfsTree;
namespace fs = std::filesystem;

namespace {

class MonitorOverSysfs : public ::testing::Test {
protected:
    std::shared_ptr<DiskIOMonitor> start(std::shared_ptr<DeviceRegistry> registry, const std::string& name,
        DiskIOMonitor::SamplingPrecision precision)
    {
        auto monitor = DiskIOMonitor::create(std::move(registry), mainQueue);
        monitor->updateSamplingPrecision(precision);
        DiskVolumeDescriptor volume;
        volume.bsdName = name;
        monitor->setSelectedVolume(volume);
        monitor->startMonitoring();
        EXPECT_TRUE(mainQueue->runUntil([&] { return monitor->isMonitoring(); }, 5s));
        return monitor;
    }

    std::shared_ptr<EventLoopMainQueue> mainQueue = std::make_shared<EventLoopMainQueue>();
    ScopedTestLogSink log;
    tallowin::testing::LanguageGuard english { "en" };
};

// The whole disk holding the temporary folder, which the tests write to.
std::optional<std::string> temporaryFolderDisk()
{
    auto found = tallowin::testing::blockDeviceUnder(fs::temp_directory_path());
    return found ? std::optional(found->disk) : std::nullopt;
}

std::optional<StatisticsSnapshot> kernelCounters(const std::string& disk)
{
    std::ifstream file("/sys/class/block/" + disk + "/stat");
    return parseBlockStat(std::string(std::istreambuf_iterator<char>(file), {}));
}

}

// What else a stat file may hold is read at the registry, below.
TEST_F(MonitorOverSysfs, BrokenStatFilesEndInTheStatisticsErrorNotACrash)
{
    for (const char* stat : { "", "reads and words\n" }) { // "": no stat file at all
        FakeSysfsTree tree;
        tree.block("virtual/block/fake0", 252, 0, stat);
        auto monitor = start(std::make_shared<SysfsRegistry>(tree.rootString()), "fake0",
            DiskIOMonitor::SamplingPrecision::ms10);
        ASSERT_TRUE(mainQueue->runUntil(
            [&] { return monitor->errorMessage().has_value() && !monitor->isMonitoring(); }, 10s));
        EXPECT_EQ(monitor->errorMessage(), "Unable to fetch statistics for the selected volume.") << stat;
        EXPECT_EQ(monitor->sampleCount(), 0u);
    }
}

TEST_F(MonitorOverSysfs, TotalsOfADirectWriteMatchTheKernelCounters)
{
    auto disk = temporaryFolderDisk();
    if (::geteuid() != 0 || !disk)
        GTEST_SKIP() << "needs root and a temporary folder on a block device";
    tallowin::testing::TemporaryDirectory directory("tallowin-monitor-accuracy");

    constexpr std::size_t chunk = 4 * 1024 * 1024, total = 64 * 1024 * 1024;
    alignas(4096) static std::array<char, chunk> buffer {}; // O_DIRECT needs an aligned buffer
    auto before = kernelCounters(*disk);
    ASSERT_TRUE(before);
    auto monitor = start(std::make_shared<SysfsRegistry>(), *disk, DiskIOMonitor::SamplingPrecision::ms1);
    ASSERT_TRUE(mainQueue->runUntil([&] { return monitor->sampleCount() >= 5; }, 10s));
    {
        int fd = ::open((directory / "written").c_str(), O_WRONLY | O_CREAT | O_DIRECT | O_CLOEXEC, 0600);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        std::unique_ptr<int, void (*)(int*)> closer(&fd, [](int* open) { ::close(*open); });
        for (std::size_t written = 0; written < total; written += chunk)
            ASSERT_EQ(::write(fd, buffer.data(), chunk), static_cast<ssize_t>(chunk)) << std::strerror(errno);
        ASSERT_EQ(::fsync(fd), 0);
    }
    mainQueue->runPending();
    std::this_thread::sleep_for(20ms); // a few more samples after the write completed
    monitor->stopMonitoring();
    auto after = kernelCounters(*disk);
    ASSERT_TRUE(after);
    ASSERT_TRUE(mainQueue->runUntil([&] { return !monitor->isMonitoring(); }, 10s));

    auto summed = std::accumulate(monitor->samples().begin(), monitor->samples().end(), std::uint64_t { 0 },
        [](std::uint64_t sum, const DiskSample& sample) { return sum + sample.writeBytes; });
    EXPECT_EQ(summed, monitor->totalWriteBytes()); // every sample reached the totals, none twice
    // The run lies between `before` and `after`; others may write meanwhile, but the run cannot
    // have seen more than the kernel counted.
    auto kernelWritten = after->bytesWritten - before->bytesWritten;
    EXPECT_GE(monitor->totalWriteBytes(), total);
    EXPECT_LE(monitor->totalWriteBytes(), kernelWritten);
    EXPECT_LE(kernelWritten - monitor->totalWriteBytes(), 8u * 1024 * 1024);
    EXPECT_LE(monitor->totalReadBytes(), after->bytesRead - before->bytesRead);
}

namespace {

// Runs a shell command line in which "CLI" stands for tallowin-cli, in English.
tallowin::testing::ShellOutcome run(const std::string& commandLine)
{
    return tallowin::testing::runShell(
        "LANGUAGE=en; export LANGUAGE; CLI=" TALLOWIN_CLI_PATH "; " + commandLine);
}

// Checks the per-batch JSON lines against the summary, which scripts rely on; returns the summary.
nlohmann::ordered_json expectConsistent(const std::string& output)
{
    std::vector<nlohmann::ordered_json> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(nlohmann::ordered_json::parse(line));
    EXPECT_GE(lines.size(), 2u) << output;
    if (lines.size() < 2)
        return {};
    const std::vector<std::string> keys { "samples", "currentReadBytes", "currentWriteBytes",
        "currentReadOperations", "currentWriteOperations", "totalReadBytes", "totalWriteBytes",
        "monitoringDuration", "scope", "devices" };
    std::uint64_t samples = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        std::vector<std::string> lineKeys;
        for (const auto& item : lines[i].items())
            lineKeys.push_back(item.key());
        EXPECT_EQ(lineKeys, keys);
        EXPECT_GE(lines[i]["samples"].get<std::uint64_t>(), 1u);
        samples += lines[i]["samples"].get<std::uint64_t>();
    }
    const auto& summary = lines.back();
    EXPECT_EQ(summary["summary"], true);
    EXPECT_EQ(summary["samples"].get<std::uint64_t>(), samples);
    EXPECT_EQ(summary["batches"].get<std::size_t>(), lines.size() - 1);
    EXPECT_EQ(summary["totalWriteBytes"], lines[lines.size() - 2]["totalWriteBytes"]);
    EXPECT_EQ(summary["totalReadBytes"], lines[lines.size() - 2]["totalReadBytes"]);
    return summary;
}

}

TEST(MonitorCommand, JsonLinesAddUpToTheSummaryForADurationAndForCtrlCAndErrorsFail)
{
    auto disk = temporaryFolderDisk();
    if (!disk)
        GTEST_SKIP() << "needs a temporary folder on a block device";
    auto timed = run("\"$CLI\" monitor --device " + *disk + " --interval 10 --duration 1 --json 2>/dev/null");
    EXPECT_EQ(timed.exitStatus, 0);
    auto summary = expectConsistent(timed.output);
    // About a hundred 10 ms samples in a second; a loaded machine coalesces late ticks, so only
    // what no coarser interval could give is asserted.
    EXPECT_GE(summary.value("samples", 0), 10);
    EXPECT_LE(summary.value("samples", 0), 101);
    EXPECT_GE(summary.value("monitoringDuration", 0.0), 0.9);

    // Ctrl-C once the first line is out: a fixed delay may interrupt a slow start (a loaded
    // machine, a sanitizer build) before the command has taken over SIGINT.
    auto interrupted
        = run("out=$(mktemp); \"$CLI\" monitor / --interval 1 --json 2>/dev/null >\"$out\" & pid=$!; "
              "for i in $(seq 200); do [ -s \"$out\" ] && break; sleep 0.05; done; sleep 0.2; "
              "kill -INT $pid; wait $pid; status=$?; cat \"$out\"; rm -f \"$out\"; exit $status");
    EXPECT_EQ(interrupted.exitStatus, 0);
    expectConsistent(interrupted.output);

    for (const auto& [arguments, message] : std::initializer_list<std::pair<const char*, const char*>> {
             { "--device sda --interval 5", "Unsupported sampling interval: 5 ms." },
             { "", "Give either a folder or --device NAME." } }) {
        auto outcome = run(std::string("\"$CLI\" monitor ") + arguments + " 2>&1 >/dev/null");
        EXPECT_TRUE(outcome.exitStatus == 1 || outcome.exitStatus == 2)
            << arguments; // a status, not a signal
        EXPECT_NE(outcome.output.find(message), std::string::npos) << arguments << ": " << outcome.output;
    }
}

// The terminal says first what is wrong with the folder in Linux terms; log records stay off it
// unless asked for.
TEST(MonitorCommand, UnwatchableFoldersAreExplainedWithoutLogRecords)
{
    struct Case {
        const char* arguments;
        const char* expected; // standard error, exactly
    };
    for (const auto& [arguments, expected] : std::initializer_list<Case> {
             { "/nonexistent",
                 "No such file or folder: /nonexistent\nFailed to resolve the BSD name for the selected "
                 "path.\n" },
             { "/proc",
                 "/proc is on a proc file system, which has no block device. Choose a folder on a disk.\n" },
         }) {
        auto outcome = run(std::string("\"$CLI\" monitor ") + arguments + " --duration 1 2>&1 >/dev/null");
        EXPECT_EQ(outcome.exitStatus, 1) << arguments;
        EXPECT_EQ(outcome.output, expected) << arguments;
    }
    // --verbose (anywhere on the line) lets the records through to the terminal.
    auto verbose = run("\"$CLI\" monitor --device nosuchdisk0 --duration 1 --verbose 2>&1 >/dev/null");
    EXPECT_EQ(verbose.exitStatus, 1);
    EXPECT_NE(verbose.output.find("[Tallowin:DiskIOKitStatistics] error: statisticsUnavailable triggered"),
        std::string::npos)
        << verbose.output;
    auto quiet = run("\"$CLI\" monitor --device nosuchdisk0 --duration 1 2>&1 >/dev/null");
    EXPECT_EQ(quiet.output, "Unable to fetch statistics for the selected volume.\n");
}

// run.sh starts the monitor on the current folder; options given to it join that folder
// instead of replacing it.
TEST(RunScript, OptionsJoinTheDefaultFolder)
{
    for (const auto& [arguments, expected] : std::initializer_list<std::pair<const char*, const char*>> {
             { "", ".|" }, { "--duration 3", ".|--duration|3|" }, { "/home --json", "/home|--json|" },
             { "--duration 3 /tmp", "--duration|3|/tmp|" }, { "--device vda --json", "--device|vda|--json|" },
             { "--device=vda", "--device=vda|" } }) {
        auto outcome = tallowin::testing::runShell(std::string("bash -c 'set -euo pipefail; source \"")
            + TALLOWIN_SOURCE_DIR "/scripts/monitor-arguments.sh\"; with_default_folder " + arguments
            + "; printf \"%s|\" \"${monitor_arguments[@]}\"'");
        EXPECT_EQ(outcome.exitStatus, 0) << arguments;
        EXPECT_EQ(outcome.output, expected) << arguments;
    }
}

// The typed counters read is what the statistics session uses on every tick; it must fail like
// the dictionary on whatever a stat file holds.
TEST(SysfsRegistryStatistics, TypedReadMatchesTheDictionaryAndFailsLikeIt)
{
    struct Case {
        const char* what;
        std::optional<std::string> stat; // nothing: a directory stands where the file should be
        std::optional<StatisticsSnapshot> expected; // nothing: unreadable
    };
    for (const auto& [what, stat, expected] :
        std::initializer_list<Case> { { "a disk", "  100 0 800 0 50 0 400 0 0 0 0 0 0 0 0 0 0\n",
                                          StatisticsSnapshot { 800 * 512, 400 * 512, 100, 50 } },
            { "maximal counters", "18446744073709551615 0 1 0 7 0 2 0 0 0 0\n",
                StatisticsSnapshot { 512, 1024, 18446744073709551615u, 7 } },
            { "a directory", std::nullopt, std::nullopt }, { "empty", "", std::nullopt },
            { "not numbers", "reads and words\n", std::nullopt },
            { "too few fields", "1 2 3 4\n", std::nullopt },
            { "overflowing", "1 0 99999999999999999999999 0 5 0 8 0 0\n", std::nullopt },
            { "binary", std::string("\x01\xff\0\x7f 12 \n", 8), std::nullopt },
            { "huge", std::string(100000, '7'), std::nullopt } }) {
        SCOPED_TRACE(what);
        FakeSysfsTree tree;
        auto device = tree.block("virtual/block/fake0", 252, 0, "");
        if (stat)
            FakeSysfsTree::write(device / "stat", *stat);
        else
            fs::create_directory(device / "stat");
        SysfsRegistry registry(tree.rootString());
        auto objects = registry.matchBSDName("fake0");
        ASSERT_TRUE(objects && objects->size() == 1);
        auto typed = registry.readStatistics(objects->front());
        auto dictionary = registry.property(objects->front(), "Statistics");
        ASSERT_EQ(typed.has_value(), expected.has_value());
        ASSERT_EQ(dictionary.has_value(), expected.has_value());
        if (!expected)
            continue;
        EXPECT_EQ(*typed, expected);
        ASSERT_TRUE(*dictionary && (*dictionary)->dictionary());
        EXPECT_EQ(statisticsFromDictionary(*(*dictionary)->dictionary()), expected);
        // A second read reuses the open descriptor and sees the file's new contents.
        FakeSysfsTree::write(device / "stat", "1 0 2 0 3 0 4 0 0 0 0\n");
        EXPECT_EQ(
            registry.readStatistics(objects->front()).value(), (StatisticsSnapshot { 1024, 2048, 1, 3 }));
    }
    // Objects that are not block devices have no counters, and no error either.
    FakeSysfsTree tree;
    tree.block("pci0000:00/0000:00:02.0/virtio1/block/fake1", 252, 16);
    tree.device("pci0000:00/0000:00:02.0/virtio1", "bus/virtio");
    SysfsRegistry registry(tree.rootString());
    auto objects = registry.matchBSDName("fake1");
    ASSERT_TRUE(objects && objects->size() == 1);
    auto parent = registry.parent(objects->front());
    ASSERT_TRUE(parent);
    auto none = registry.readStatistics(*parent);
    ASSERT_TRUE(none);
    EXPECT_EQ(*none, std::nullopt);
}
