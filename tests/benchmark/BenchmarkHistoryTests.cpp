#include "benchmark/BenchmarkHistory.h"
#include "platform/SysfsRegistry.h"
#include "support/BlockDeviceUnderPath.h"
#include "support/FakeSysfsTree.h"
#include "support/LanguageGuard.h"
#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"

#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>
#include <thread>

namespace tallowin {
namespace {

namespace fs = std::filesystem;
using testing::FakeSysfsTree;
using testing::LanguageGuard;
using testing::TemporaryDirectory;

BenchmarkRecord record(const std::string& key, double writeThroughput, WallClockTime finishedAt = 1.8e9)
{
    BenchmarkRecord made;
    made.finishedAt = finishedAt;
    made.device = { key, "Samsung", "SSD 970", std::nullopt, "nvme0n1p2", "PCIe", "8Gbps" };
    made.path = "/home/user/bench";
    made.payloadBytes = 1000000000;
    made.writeThroughput = writeThroughput;
    made.readThroughput = 2e9;
    made.randomWriteIOPS = 10000;
    made.randomReadIOPS = 20000;
    made.honesty.linkCeiling = LinkCeiling { "PCIe 8 GT/s x4", 3.9e9 };
    made.honesty.phases
        = { { BenchmarkPhase::randomWrite, 40960000, 4.1e7, StatisticsSnapshot { 0, 50000000, 0, 900 }, {} },
              { BenchmarkPhase::sequentialRead, 1000000000, 2e9, std::nullopt,
                  { { "cache", "Served from a cache: “quoted”, 缓存" } } } };
    return made;
}

TEST(BenchmarkHistory, RecordsComeBackAsWrittenAndDamagedLinesAreSkippedWithAWarning)
{
    TemporaryDirectory folder("tallowin-history");
    auto path = (folder / "state/tallowin/benchmarks.jsonl").string();
    ASSERT_TRUE(appendToHistory(path, record("serial:A", 1e9)));
    struct stat status;
    ASSERT_EQ(::stat((folder / "state/tallowin").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u) << "the folder is the user's alone";
    {
        // A torn write, a line of another program, an object without the keys, a blank line.
        std::ofstream damage(path, std::ios::app);
        damage << historyLine(record("serial:A", 2e9)).substr(0, 80) << "\n"
               << "not json at all\n{\"finishedAt\": 1}\n\n";
    }
    ASSERT_TRUE(appendToHistory(path, record("serial:B", 3e9)));

    LanguageGuard english { "en_US" };
    auto contents = loadHistory(path);
    ASSERT_EQ(contents.records.size(), 2u);
    EXPECT_EQ(contents.records[0], record("serial:A", 1e9)) << "every field survives the round trip";
    EXPECT_EQ(contents.records[1], record("serial:B", 3e9));
    EXPECT_EQ(contents.warnings,
        (std::vector<std::string> { "Line 2 of " + path + " is damaged and was skipped.",
            "Line 3 of " + path + " is damaged and was skipped.",
            "Line 4 of " + path + " is damaged and was skipped." }));
    LanguageGuard chinese { "zh_CN" };
    EXPECT_EQ(loadHistory(path).warnings[0], path + " 的第 2 行已损坏，已跳过。");
    EXPECT_TRUE(loadHistory((folder / "missing.jsonl").string()).records.empty());
}

TEST(BenchmarkHistory, OnlyTheNewestRunsAreKeptAndConcurrentAppendsStayWhole)
{
    TemporaryDirectory folder("tallowin-history");
    auto path = (folder / "benchmarks.jsonl").string();
    constexpr std::size_t limit = 30;
    for (int run = 0; run < 40; ++run)
        ASSERT_TRUE(appendToHistory(path, record("serial:A", run), limit));
    auto sequential = loadHistory(path).records;
    // Rotated down to 30 whenever 34 runs are stored: after the 34th and the 38th append.
    ASSERT_EQ(sequential.size(), 32u);
    EXPECT_EQ(sequential.front().writeThroughput, 8);
    EXPECT_EQ(sequential.back().writeThroughput, 39);

    auto shared = (folder / "shared.jsonl").string();
    std::vector<std::jthread> writers;
    for (int writer = 0; writer < 4; ++writer) {
        writers.emplace_back([&, writer] {
            for (int run = 0; run < 25; ++run) {
                if (auto appended
                    = appendToHistory(shared, record(fmt::format("serial:{}", writer), run), limit);
                    !appended)
                    ADD_FAILURE() << appended.error();
            }
        });
    }
    writers.clear();
    auto contents = loadHistory(shared);
    EXPECT_TRUE(contents.warnings.empty()) << "no line is torn or interleaved";
    EXPECT_GE(contents.records.size(), limit);
    EXPECT_LE(contents.records.size(), limit + limit / 10);
    // Each writer's runs are in the order it wrote them, and its newest one is the last kept.
    std::map<std::string, double> last;
    for (const auto& kept : contents.records) {
        if (last.contains(kept.device.key)) {
            EXPECT_EQ(kept.writeThroughput, last[kept.device.key] + 1) << kept.device.key;
        }
        last[kept.device.key] = kept.writeThroughput;
    }
    for (const auto& [key, newest] : last)
        EXPECT_EQ(newest, 24) << key;
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.path()), fs::directory_iterator()), 2)
        << "no rotation file is left behind";
}

TEST(BenchmarkHistory, DefaultPathFollowsXdgStateHome)
{
    auto environment = [](std::map<std::string, std::string> values) {
        return [values](const char* name) -> std::optional<std::string> {
            auto found = values.find(name);
            return found == values.end() ? std::nullopt : std::optional(found->second);
        };
    };
    EXPECT_EQ(defaultHistoryPath(environment({ { "XDG_STATE_HOME", "/s" }, { "HOME", "/h" } })),
        "/s/tallowin/benchmarks.jsonl");
    EXPECT_EQ(
        defaultHistoryPath(environment({ { "HOME", "/h" } })), "/h/.local/state/tallowin/benchmarks.jsonl");
    // A relative XDG_STATE_HOME is invalid and ignored, as the base directory rules say.
    EXPECT_EQ(defaultHistoryPath(environment({ { "XDG_STATE_HOME", "rel" }, { "HOME", "/h" } })),
        "/h/.local/state/tallowin/benchmarks.jsonl");
}

TEST(BenchmarkHistory, DrivesAreKnownBySerialThenWwidThenFileSystemUuid)
{
    FakeSysfsTree tree;
    tree.device("pci0000:00", "");
    // A virtio disk with its own serial; an NVMe namespace with a wwid below a controller with
    // a serial; a SCSI disk with only a wwid; a disk with nothing, whose file system udev knows.
    tree.block("pci0000:00/0000:00:02.0/virtio1/block/vda", 254, 0);
    FakeSysfsTree::write(tree.devicePath("pci0000:00/0000:00:02.0/virtio1/block/vda/serial"), "disk-7\n");
    tree.block("pci0000:00/0000:00:02.0/virtio1/block/vda/vda1", 254, 1, "1 0 1 0 1 0 1\n", true);
    tree.device("pci0000:00/0000:00:1d.0/nvme/nvme0", "class/nvme", "", { { "serial", "S4EW  \n" } });
    tree.block("pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1", 259, 0);
    FakeSysfsTree::write(tree.devicePath("pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1/wwid"), "eui.0025\n");
    tree.device("pci0000:00/0000:00:17.0/host0/0:0:0:0", "bus/scsi", "DEVTYPE=scsi_device\n",
        { { "wwid", "naa.5000\n" } });
    tree.block("pci0000:00/0000:00:17.0/host0/0:0:0:0/block/sda", 8, 0);
    tree.block("pci0000:00/0000:00:17.0/host0/0:0:0:0/block/sda/sda1", 8, 1, "1 0 1 0 1 0 1\n", true);
    tree.block("virtual/block/loop0", 7, 0);
    tree.block("virtual/block/loop1", 7, 1);
    FakeSysfsTree::write(
        tree.root() / "udev/b7:0", "S:disk/by-uuid/1234\nE:ID_FS_UUID=1234-abcd\nE:ID_FS_TYPE=ext4\n");
    // A device-mapper volume over two disks is known by both.
    tree.block("virtual/block/dm-0", 253, 0);
    tree.link(tree.devicePath("virtual/block/dm-0/slaves/vda1"),
        tree.devicePath("pci0000:00/0000:00:02.0/virtio1/block/vda/vda1"));
    tree.link(tree.devicePath("virtual/block/dm-0/slaves/nvme0n1"),
        tree.devicePath("pci0000:00/0000:00:1d.0/nvme/nvme0/nvme0n1"));

    SysfsRegistry registry(tree.rootString(), HardwareIdDatabase::empty());
    auto stack = sysfsBlockStack(tree.rootString());
    auto keyOf = [&](const char* name) {
        DiskVolumeDescriptor volume;
        volume.bsdName = name;
        return benchmarkDevice(volume, registry, stack, (tree.root() / "udev").string()).key;
    };
    EXPECT_EQ(keyOf("vda1"), "serial:disk-7");
    EXPECT_EQ(keyOf("nvme0n1"), "serial:S4EW");
    EXPECT_EQ(keyOf("sda1"), "wwid:naa.5000");
    EXPECT_EQ(keyOf("loop0"), "uuid:1234-abcd");
    EXPECT_EQ(keyOf("loop1"), "device:loop1");
    EXPECT_EQ(keyOf("dm-0"), "serial:S4EW+disk-7");
}

// The command lists the stored runs: two runs of this machine's disk and one of another drive.
TEST(BenchmarkHistory, CommandListsTheDrivesRunsNewestFirstWithTheChangeAndTheBest)
{
    auto folder = fs::canonical(fs::temp_directory_path());
    auto disk = testing::blockDeviceUnder(folder);
    if (!disk)
        GTEST_SKIP() << folder << " is not on a block device";
    TemporaryDirectory state("tallowin-history-state");
    SysfsRegistry registry;
    DiskVolumeDescriptor volume;
    volume.bsdName = disk->volume;
    auto key = benchmarkDevice(volume, registry, sysfsBlockStack(registry.root())).key;
    auto path = (state / "tallowin/benchmarks.jsonl").string();
    ASSERT_TRUE(appendToHistory(path, record(key, 100e6, 1.8e9)));
    ASSERT_TRUE(appendToHistory(path, record("serial:elsewhere", 999e6, 1.8e9 + 50)));
    ASSERT_TRUE(appendToHistory(path, record(key, 80e6, 1.8e9 + 100)));
    std::ofstream(path, std::ios::app) << "damaged\n";

    auto command = [&](const std::string& arguments) {
        return testing::runShell(
            fmt::format("env -i XDG_STATE_HOME={} LANGUAGE=en LC_ALL=C TZ=UTC {} bench --history {} 2>&1",
                state.path().string(), TALLOWIN_CLI_PATH, arguments));
    };
    auto json = command(folder.string() + " --json");
    ASSERT_EQ(json.exitStatus, 0);
    auto start = json.output.find('[');
    ASSERT_NE(start, std::string::npos) << json.output;
    EXPECT_NE(json.output.find("Line 4 of " + path + " is damaged and was skipped."), std::string::npos);
    auto runs = nlohmann::json::parse(json.output.substr(start));
    ASSERT_EQ(runs.size(), 2u) << "only this drive's runs";
    EXPECT_EQ(runs[0]["writeThroughput"], 80e6) << "newest first";
    EXPECT_EQ(runs[1]["writeThroughput"], 100e6);
    EXPECT_EQ(runs[0]["phases"][0]["deviceWriteBytes"], 50000000);

    auto human = command(folder.string());
    ASSERT_EQ(human.exitStatus, 0);
    auto newest = human.output.find("Sequential write");
    ASSERT_NE(newest, std::string::npos) << human.output;
    auto line = human.output.substr(newest, human.output.find('\n', newest) - newest);
    EXPECT_NE(line.find("80 MB/s"), std::string::npos) << line;
    EXPECT_NE(line.find("-20.0%"), std::string::npos) << line;
    EXPECT_NE(line.find("best 100 MB/s"), std::string::npos) << line;
    EXPECT_EQ(human.output.find("999 MB/s"), std::string::npos) << "another drive's runs are not listed";

    auto all = command("--json");
    start = all.output.find('[');
    ASSERT_NE(start, std::string::npos) << all.output;
    EXPECT_EQ(nlohmann::json::parse(all.output.substr(start)).size(), 3u);
}

}
}
