#include "benchmark/BenchmarkHistory.h"
#include "exporter/DiskMetricsCollector.h"
#include "exporter/ExporterTestSupport.h"
#include "exporter/LatestBenchmarks.h"
#include "exporter/MetricsServer.h"
#include "exporter/SmartFigures.h"
#include "platform/SysfsRegistry.h"
#include "smart/BlockDeviceTopology.h"
#include "support/FakeSysfsTree.h"
#include "support/LanguageGuard.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <prometheus/text_serializer.h>
#include <regex>
#include <set>
#include <thread>

namespace tallowin {
namespace {

namespace fs = std::filesystem;
using testing::FakeSysfsTree;
using testing::sampleValue;

nlohmann::json recordedReport(const std::string& file)
{
    std::ifstream input(std::string(TALLOWIN_TEST_DATA_DIR) + "/smartctl/" + file);
    return nlohmann::json::parse(input);
}

class FixedFileSystems final : public MountedFileSystemSource {
public:
    std::vector<MountedFileSystem> mounted;
    std::vector<MountedFileSystem> mountedFileSystems() override { return mounted; }
};

// Reports by device name, recorded (a file under tests/data/smartctl) or written out; a name
// without one gets no answer, as from a helper that is not there.
class RecordedSmartSource final : public SmartctlResultSource {
public:
    std::map<std::string, std::string> reports; // device → file, or the report itself when it starts with {
    std::vector<std::string> asked;

    bool allowsPrivilegedOperations() const override { return true; }
    std::optional<SmartctlExecutionResult> fetchSMARTData(std::string_view name) override
    {
        asked.emplace_back(name);
        auto found = reports.find(std::string(name));
        if (found == reports.end())
            return std::nullopt;
        auto text = found->second.starts_with("{") ? found->second : recordedReport(found->second).dump();
        return SmartctlExecutionResult { bytesFrom(text), "smartctl -j -x /dev/" + found->first, {}, 0 };
    }
};

// A fake machine: disks and partitions in a sysfs tree, fixed mounts, recorded SMART reports.
struct FakeMachine {
    // The refresher reaches the collector through this, as the program's does; it outlives both.
    std::weak_ptr<DiskMetricsCollector> weakCollector;
    FakeSysfsTree tree;
    std::shared_ptr<FixedFileSystems> fileSystems = std::make_shared<FixedFileSystems>();
    std::shared_ptr<RecordedSmartSource> smartSource = std::make_shared<RecordedSmartSource>();
    std::shared_ptr<SmartRefresher> refresher;
    std::shared_ptr<DiskMetricsCollector> collector;

    // Reads 100 ops / 800 sectors and writes 50 ops / `writtenSectors`; a bare name is virtual.
    void addDisk(std::string path, unsigned minor, unsigned long writtenSectors = 400, bool partition = false)
    {
        if (path.find('/') == std::string::npos)
            path = "virtual/block/" + path;
        tree.block(path, 8, minor,
            "  100 0 800 0 50 0 " + std::to_string(writtenSectors) + " 0 0 0 0 0 0 0 0 0 0\n", partition);
    }
    // A USB device of descriptor version `version` negotiated at `megabits`, with disk `name`.
    void addUsbDisk(const std::string& port, const std::string& version, const std::string& megabits,
        const std::string& name, unsigned minor)
    {
        auto path = "pci0000:00/0000:00:14.0/usb2/" + port;
        tree.device(path, "bus/usb", "DEVTYPE=usb_device\nDRIVER=usb\n",
            { { "version", version + "\n" }, { "speed", megabits + "\n" } });
        auto interface = path + "/" + port + ":1.0";
        tree.device(
            interface, "bus/usb", "DEVTYPE=usb_interface\nDRIVER=uas\n", { { "bInterfaceClass", "08\n" } });
        tree.device(interface + "/host" + name, "bus/scsi", "DEVTYPE=scsi_host\n");
        auto device = interface + "/host" + name + "/target0:0:0/0:0:0:0";
        tree.device(fs::path(device).parent_path(), "bus/scsi", "DEVTYPE=scsi_target\n");
        tree.device(device, "bus/scsi", "DEVTYPE=scsi_device\nDRIVER=sd\n", { { "vendor", "ASMT\n" } });
        addDisk(device + "/block/" + name, minor);
    }
    // The history the collector reads, in the tree's temporary folder.
    std::string historyPath() const { return (tree.root() / "benchmarks.jsonl").string(); }
    void writeHistory(const std::vector<BenchmarkRecord>& runs, const std::string& damaged = {}) const
    {
        std::string lines = damaged;
        for (const auto& run : runs)
            lines += historyLine(run) + "\n";
        FakeSysfsTree::write(historyPath(), lines);
    }
    void removeDevice(const std::string& name)
    {
        auto target = fs::canonical(tree.root() / "class/block" / name);
        std::string number;
        std::ifstream(target / "dev") >> number;
        fs::remove(tree.root() / "dev/block" / number);
        fs::remove(tree.root() / "class/block" / name);
        fs::remove_all(target);
    }
    void start(DiskMetricsCollector::Selection selection = std::nullopt)
    {
        refresher = std::make_shared<SmartRefresher>(
            smartSource, std::make_shared<SysfsBlockDeviceTopology>(tree.rootString()), [this] {
                auto strong = weakCollector.lock();
                return strong ? strong->smartTargets() : std::vector<std::string> {};
            });
        collector = std::make_shared<DiskMetricsCollector>(
            DiskMetricsCollector::Sources { std::make_shared<SysfsRegistry>(tree.rootString()),
                std::make_shared<SysfsBlockDeviceInventory>(tree.rootString()), fileSystems, refresher,
                historyPath() },
            std::move(selection));
        weakCollector = collector;
    }
    std::string scrape() const { return prometheus::TextSerializer().Serialize(collector->Collect()); }
};

// A finished run of the drive `key`, seen as `device`, with figures that tell runs apart.
BenchmarkRecord benchmarkRun(
    const std::string& key, const std::string& device, double finishedAt, double figure)
{
    BenchmarkRecord record;
    record.finishedAt = finishedAt;
    record.device.key = key;
    record.device.bsdName = device;
    record.device.connection = "USB";
    record.path = "/media/" + device;
    record.payloadBytes = 1 << 30;
    record.writeThroughput = figure * 1e6;
    record.readThroughput = figure * 2e6;
    record.randomWriteIOPS = figure * 10;
    record.randomReadIOPS = figure * 20;
    return record;
}

std::set<std::string> familiesIn(const std::string& exposition)
{
    std::set<std::string> names;
    std::regex type("^# TYPE ([a-z_]+) ", std::regex::multiline);
    for (std::sregex_iterator match(exposition.begin(), exposition.end(), type), end; match != end; ++match)
        names.insert((*match)[1]);
    return names;
}

// Each series (`name{labels}`, written exactly as exposed) with its value; nullopt: absent.
void expectSamples(
    const std::string& exposition, std::initializer_list<std::pair<std::string, std::optional<double>>> samples)
{
    for (const auto& [series, value] : samples)
        EXPECT_EQ(sampleValue(exposition, "tallowin_" + series), value) << series << "\n" << exposition;
}

TEST(DiskMetricsCollector, CountersAreTheKernelsInBytesAndFollowTheDevicesPresent)
{
    FakeMachine machine;
    const std::string ata = "pci0000:00/0000:00:1f.2/ata";
    machine.addDisk(ata + "1/host0/target0:0:0/0:0:0:0/block/sda", 0, 400);
    machine.addDisk(ata + "1/host0/target0:0:0/0:0:0:0/block/sda/sda1", 1, 6, true);
    machine.addDisk(ata + "2/host1/target1:0:0/1:0:0:0/block/sdb", 16, 2);
    machine.start();

    auto first = machine.scrape();
    expectSamples(first,
        { { R"(disk_read_bytes_total{device="sda"})", 800 * 512.0 },
            { R"(disk_written_bytes_total{device="sda"})", 400 * 512.0 },
            { R"(disk_reads_completed_total{device="sda"})", 100 },
            { R"(disk_writes_completed_total{device="sda"})", 50 },
            { R"(disk_written_bytes_total{device="sda1"})", 6 * 512.0 },
            { R"(disk_written_bytes_total{device="sdb"})", 2 * 512.0 } });
    EXPECT_NE(first.find(R"(tallowin_disk_info{device="sdb",connection=")"), std::string::npos) << first;
    EXPECT_TRUE(sampleValue(first, "tallowin_scrape_duration_seconds"));

    // Counters move between scrapes; a device that went away takes its series with it, and one
    // back under the same name is counted again.
    FakeSysfsTree::write(
        machine.tree.root() / "class/block/sda/stat", "  100 0 800 0 60 0 131472 0 0 0 0 0 0 0 0 0 0\n");
    machine.removeDevice("sdb");
    auto second = machine.scrape();
    EXPECT_EQ(sampleValue(second, R"(tallowin_disk_written_bytes_total{device="sda"})"), 131472 * 512.0);
    EXPECT_EQ(second.find(R"(device="sdb")"), std::string::npos) << second;
    machine.addDisk(ata + "2/host1/target1:0:0/1:0:0:0/block/sdb", 16, 10);
    expectSamples(machine.scrape(), { { R"(disk_written_bytes_total{device="sdb"})", 10 * 512.0 } });

    for (const char* name : { "sda1", "sda", "sdb" })
        machine.removeDevice(name);
    EXPECT_EQ(familiesIn(machine.scrape()), std::set<std::string> { "tallowin_scrape_duration_seconds" });
}

TEST(DiskMetricsCollector, SelectionKeepsTheChosenDisksAndTheFileSystemsOnThem)
{
    const std::vector<MountedFileSystem> mounted { { "sda2", "/", "ext4", 1000, 400 },
        { "sdb", "/srv/with space", "xfs", 50, 5 } };
    FakeMachine machine;
    machine.addDisk("sda", 0);
    machine.addDisk("virtual/block/sda/sda2", 2, 400, true);
    machine.addDisk("sdb", 16);
    machine.fileSystems->mounted = mounted;
    machine.start(std::set<std::string> { "sda" });
    auto text = machine.scrape();
    expectSamples(text,
        { { R"(disk_read_bytes_total{device="sda"})", 800 * 512.0 },
            { R"(disk_read_bytes_total{device="sda2"})", std::nullopt },
            { R"(disk_read_bytes_total{device="sdb"})", std::nullopt },
            { R"(filesystem_size_bytes{device="sda2",mountpoint="/",fstype="ext4"})", 1000 },
            { R"(filesystem_avail_bytes{device="sda2",mountpoint="/",fstype="ext4"})", 400 } });
    EXPECT_EQ(text.find("/srv"), std::string::npos);

    FakeMachine everything;
    everything.addDisk("sdb", 16);
    everything.fileSystems->mounted = mounted;
    everything.start();
    expectSamples(everything.scrape(),
        { { R"(filesystem_size_bytes{device="sdb",mountpoint="/srv/with space",fstype="xfs"})", 50 } });
}

TEST(DiskMetricsCollector, SmartSeriesComeFromTheLastRefreshOfEachWholeDisk)
{
    FakeMachine machine;
    machine.addDisk("sda", 0);
    machine.addDisk("virtual/block/sda/sda1", 1, 400, true);
    machine.addDisk("sdb", 16);
    machine.addDisk("sdc", 32);
    machine.addDisk("loop0", 48);
    machine.smartSource->reports = { { "sda", "usb-jmicron-wdc-wd3200bevt-failing-all.json" },
        { "sdb", "nvme-samsung-970evo-xall.json" } };
    machine.start();

    EXPECT_EQ(familiesIn(machine.scrape()).count("tallowin_smart_healthy"), 0u); // nothing fetched yet
    machine.refresher->refreshNow();
    // sdc has no report: no figures, one failed refresh. The partition and the loop device are
    // never asked about; the disk under the partition is asked once.
    expectSamples(machine.scrape(),
        { { R"(smart_healthy{device="sda"})", 0 }, { R"(smart_reallocated_sectors{device="sda"})", 535 },
            { R"(smart_pending_sectors{device="sda"})", 1 }, { R"(smart_temperature_celsius{device="sda"})", 27 },
            { R"(smart_healthy{device="sdb"})", 1 }, { R"(smart_media_errors_total{device="sdb"})", 7 },
            { R"(smart_error_log_entries_total{device="sdb"})", 62 },
            { R"(smart_reallocated_sectors{device="sdb"})", std::nullopt },
            { R"(smart_healthy{device="sdc"})", std::nullopt },
            { R"(smart_refresh_failures_total{device="sdc"})", 1 },
            { R"(smart_refresh_failures_total{device="sda"})", 0 } });
    EXPECT_EQ(machine.smartSource->asked, (std::vector<std::string> { "sda", "sdb", "sdc" }));

    // A refresh that fails keeps the figures of the last good one and counts the failure.
    machine.smartSource->reports.erase("sdb");
    machine.refresher->refreshNow();
    expectSamples(machine.scrape(),
        { { R"(smart_healthy{device="sdb"})", 1 }, { R"(smart_refresh_failures_total{device="sdb"})", 1 },
            { R"(smart_refresh_failures_total{device="sdc"})", 2 } });

    // A disk that went away loses its SMART series at once, before the next refresh.
    machine.removeDevice("sda1");
    machine.removeDevice("sda");
    EXPECT_EQ(machine.scrape().find(R"(device="sda")"), std::string::npos);
}

// Scrapes come on the server's threads while the refresher works on its own, and the refresher
// ends while a refresh may be under way.
TEST(DiskMetricsCollector, ScrapesRunBesideTheRefresherThread)
{
    FakeMachine machine;
    machine.addDisk("sda", 0);
    machine.addDisk("sdb", 16);
    machine.smartSource->reports = { { "sda", "nvme-samsung-970evo-xall.json" } };
    machine.start();
    machine.refresher->start(std::chrono::milliseconds(1));
    auto scrapeUntilRefreshed = [&] {
        double failures = 0;
        while (machine.refresher->completedRefreshes() < 20) {
            auto seen
                = sampleValue(machine.scrape(), R"(tallowin_smart_refresh_failures_total{device="sdb"})");
            EXPECT_GE(seen.value_or(failures), failures); // a counter never goes back
            failures = seen.value_or(failures);
        }
    };
    std::thread other(scrapeUntilRefreshed);
    scrapeUntilRefreshed();
    other.join();
    expectSamples(machine.scrape(), { { R"(smart_healthy{device="sda"})", 1 } });
    machine.refresher.reset(); // the collector still holds it; its thread goes with the last owner
    machine.collector.reset();
}

TEST(DiskMetricsCollector, DegradedLinksOfSelectedWholeDisksAreFlaggedByKind)
{
    FakeMachine machine;
    machine.addUsbDisk("2-1", " 3.20", "480", "sda", 0);
    machine.addDisk(
        "pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/hostsda/target0:0:0/0:0:0:0/block/sda/sda1", 1, 400, true);
    machine.addUsbDisk("2-2", " 3.20", "5000", "sdb", 16);
    machine.addUsbDisk("2-3", " 2.00", "480", "sdc", 32);
    machine.addDisk("pci0000:00/0000:00:1f.2/ata1/host9/target9:0:0/9:0:0:0/block/sdd", 48);
    machine.addDisk("loop0", 64);
    // sdd's drive says its link runs at 1.5 Gb/s of 6; sdb's report has no such complaint.
    machine.smartSource->reports = { { "sdd", R"({"interface_speed": {
        "max": {"units_per_second": 60, "bits_per_unit": 100000000},
        "current": {"units_per_second": 15, "bits_per_unit": 100000000}}})" },
        { "sdb", "ata-ssd-samsung-860evo-xall.json" } };
    machine.start();

    auto degraded = [](const std::string& text) {
        std::set<std::string> series;
        std::regex line(R"re(^tallowin_disk_link_degraded\{device="([a-z0-9]+)",kind="([a-z-]+)"\} 1$)re",
            std::regex::multiline);
        for (std::sregex_iterator match(text.begin(), text.end(), line), end; match != end; ++match)
            series.insert((*match)[1].str() + " " + (*match)[2].str());
        return series;
    };
    // Before any SMART report only the registry's USB link is known.
    EXPECT_EQ(degraded(machine.scrape()), std::set<std::string> { "sda usb-speed" });
    machine.refresher->refreshNow();
    auto text = machine.scrape();
    EXPECT_EQ(degraded(text), (std::set<std::string> { "sda usb-speed", "sdd sata-speed" })) << text;
    EXPECT_EQ(text.find(R"(tallowin_disk_link_degraded{device="sda1")"), std::string::npos);
}

TEST(DiskMetricsCollector, BenchmarkSeriesShowTheNewestRunOfEachDrive)
{
    FakeMachine machine;
    machine.addDisk("sda", 0);
    machine.addDisk("sdb", 16);
    machine.addDisk("virtual/block/sdb/sdb1", 17, 400, true);
    // The drive "serial:A" was sda, later sdc; its runs are out of order in the file. "serial:B"
    // ran on a partition; one line is damaged.
    machine.writeHistory({ benchmarkRun("serial:A", "sda", 2000, 30), benchmarkRun("serial:A", "sdc", 1000, 10),
                             benchmarkRun("serial:B", "sdb1", 1500, 5) },
        "{\"finishedAt\": \n");
    machine.start();
    auto text = machine.scrape();
    const std::string a = R"({device="sda",drive="serial:A"})";
    expectSamples(text,
        { { "benchmark_write_bytes_per_second" + a, 30e6 }, { "benchmark_read_bytes_per_second" + a, 60e6 },
            { "benchmark_random_write_iops" + a, 300 }, { "benchmark_random_read_iops" + a, 600 },
            { "benchmark_payload_bytes" + a, 1 << 30 }, { "benchmark_timestamp_seconds" + a, 2000 },
            { R"(benchmark_timestamp_seconds{device="sdb1",drive="serial:B"})", 1500 } });
    EXPECT_EQ(text.find(R"(device="sdc")"), std::string::npos) << "an older run of the same drive";

    // A newer run appended between scrapes shows at the next one; a history that went away
    // takes the series with it.
    auto appended = appendToHistory(machine.historyPath(), benchmarkRun("serial:A", "sda", 3000, 40));
    ASSERT_TRUE(appended) << appended.error();
    expectSamples(machine.scrape(), { { "benchmark_write_bytes_per_second" + a, 40e6 } });
    fs::remove(machine.historyPath());
    EXPECT_EQ(familiesIn(machine.scrape()).count("tallowin_benchmark_timestamp_seconds"), 0u);

    // A selected disk keeps the runs on its partitions and nothing else.
    FakeMachine chosen;
    chosen.addDisk("sda", 0);
    chosen.addDisk("sdb", 16);
    chosen.addDisk("virtual/block/sdb/sdb1", 17, 400, true);
    chosen.writeHistory({ benchmarkRun("serial:A", "sda", 2000, 30), benchmarkRun("serial:B", "sdb1", 1500, 5) });
    chosen.start(std::set<std::string> { "sdb" });
    text = chosen.scrape();
    EXPECT_TRUE(sampleValue(text, R"(tallowin_benchmark_timestamp_seconds{device="sdb1",drive="serial:B"})"));
    EXPECT_EQ(text.find(R"(drive="serial:A")"), std::string::npos) << text;
}

TEST(LatestBenchmarks, ParsesTheFileOnlyWhenItChangedAndPrefersTheLaterLineOnATie)
{
    testing::TemporaryDirectory directory;
    const auto path = (directory.path() / "benchmarks.jsonl").string();
    LatestBenchmarks latest(path);
    EXPECT_TRUE(latest.records()->empty()); // no file yet
    FakeSysfsTree::write(path, historyLine(benchmarkRun("serial:A", "sda", 1000, 1)) + "\n");
    auto first = latest.records();
    ASSERT_EQ(first->size(), 1u);
    EXPECT_EQ(latest.records(), first) << "an unchanged file is not read again";
    EXPECT_EQ(latest.loads(), 1u);

    // A rotation writes a new file of the very same size and renames it over the old one.
    const auto rotated = path + ".new";
    FakeSysfsTree::write(rotated, historyLine(benchmarkRun("serial:A", "sda", 1000, 2)) + "\n");
    ASSERT_EQ(fs::file_size(rotated), fs::file_size(path));
    fs::last_write_time(rotated, fs::last_write_time(path));
    fs::rename(rotated, path);
    auto second = latest.records();
    ASSERT_EQ(second->size(), 1u);
    EXPECT_EQ(second->front().writeThroughput, 2e6);
    fs::remove(path);
    EXPECT_TRUE(latest.records()->empty());

    auto newest = newestPerDrive({ benchmarkRun("serial:B", "sdb", 5, 1), benchmarkRun("serial:A", "sda", 7, 1),
        benchmarkRun("serial:B", "sdb", 5, 2), benchmarkRun("serial:A", "sda", 6, 3) });
    ASSERT_EQ(newest.size(), 2u);
    EXPECT_EQ(newest[0].finishedAt, 7);
    EXPECT_EQ(newest[1].writeThroughput, 2e6);
}

TEST(SmartFigures, MinutesCountAndWrongTypesAreUnknownNotZero)
{
    auto scsi = smartFiguresFromReport(recordedReport("scsi-sas-seagate-st600mp0036-all.json"));
    EXPECT_EQ(scsi.powerOnHours, 4665 + 46 / 60.0);
    EXPECT_EQ(scsi.uncorrectedReadErrors, 0);
    auto odd = nlohmann::json::parse(R"({"smart_status":{"passed":"yes"},"temperature":{"current":"hot"},
        "ata_smart_attributes":{"table":[{"id":5,"raw":{"value":"many"}},{"id":"197","raw":{"value":3}}]}})");
    EXPECT_EQ(smartFiguresFromReport(odd), SmartFigures {});
}

TEST(ListenAddress, AcceptsNumericAddressesWithAPortOnly)
{
    testing::LanguageGuard english { "en" };
    for (auto [text, host, port] : { std::tuple { "127.0.0.1:18917", "127.0.0.1", 18917 },
             { "0.0.0.0:0", "0.0.0.0", 0 }, { "[::1]:9", "::1", 9 } }) {
        auto parsed = parseListenAddress(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(*parsed, (ListenAddress { host, static_cast<std::uint16_t>(port) }));
        EXPECT_EQ(parsed->text(), text);
    }
    for (const char* text : { "127.0.0.1:65536", "127.0.0.1", ":18917", "localhost:18917", "::1:18917",
             "127.0.0.1:18917x", "[127.0.0.1]:80" }) {
        auto parsed = parseListenAddress(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_NE(parsed.error().find(text), std::string::npos) << parsed.error();
    }
}

// The family list is what a full scrape writes (every protocol's report, a file system), and
// the dashboard plots exactly those families.
TEST(GrafanaDashboard, PlotsEveryFamilyAScrapeWritesAndNothingElse)
{
    FakeMachine machine;
    for (auto [name, minor] : { std::pair { "sda", 0u }, { "sdb", 16u }, { "sdc", 32u }, { "sdd", 48u } })
        machine.addDisk(name, minor);
    machine.addUsbDisk("2-1", " 3.20", "480", "sde", 64);
    machine.writeHistory({ benchmarkRun("serial:A", "sde", 1000, 1) });
    machine.fileSystems->mounted = { { "sda", "/", "ext4", 1, 1 } };
    machine.smartSource->reports = { { "sda", "ata-hdd-wdc-wd140edfz-all.json" },
        { "sdb", "nvme-samsung-970evo-xall.json" }, { "sdc", "scsi-sas-seagate-st600mp0036-all.json" } };
    machine.start();
    machine.refresher->refreshNow();
    auto families = DiskMetricsCollector::familyNames();
    const std::set<std::string> listed(families.begin(), families.end());
    EXPECT_EQ(familiesIn(machine.scrape()), listed);

    std::ifstream input(std::string(TALLOWIN_SOURCE_DIR) + "/packaging/grafana/tallowin-dashboard.json");
    auto dashboard = nlohmann::json::parse(input, nullptr, false);
    ASSERT_TRUE(dashboard.is_object()) << "not well-formed JSON";
    std::set<std::string> plotted;
    std::regex metric("tallowin_[a-z_]+");
    for (const auto& panel : dashboard.at("panels")) {
        for (const auto& target : panel.at("targets")) {
            auto expression = target.at("expr").get<std::string>();
            for (std::sregex_iterator match(expression.begin(), expression.end(), metric), end; match != end;
                 ++match)
                plotted.insert(match->str());
        }
    }
    EXPECT_EQ(plotted, listed);
}

}
}
