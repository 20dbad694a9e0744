// The monitor over the real sysfs registry: a fake sysfs tree with broken `stat` files, and
// the real disk of this machine checked against the kernel's own counters.

#include "monitor/DiskIOMonitor.h"
#include "platform/SysfsRegistry.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace tallowin;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

DiskVolumeDescriptor device(std::string name)
{
    DiskVolumeDescriptor descriptor;
    descriptor.bsdName = std::move(name);
    descriptor.displayName = descriptor.bsdName;
    descriptor.connectionTypeDescription = "Unknown";
    return descriptor;
}

// A minimal sysfs tree with one block device, laid out as the kernel does it (relative links
// for class/block/<name> and the subsystem). Removed with the object, whatever the test did.
class TinySysfs {
public:
    TinySysfs()
    {
        std::string pattern = (fs::temp_directory_path() / "tallowin-monitor-sysfs-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot create a temporary directory");
        m_root = pattern;
        m_device = m_root / "devices/virtual/block/fake0";
        fs::create_directories(m_device);
        fs::create_directories(m_root / "class/block");
        write("uevent", "MAJOR=252\nMINOR=0\nDEVNAME=fake0\nDEVTYPE=disk\n");
        write("dev", "252:0\n");
        fs::create_symlink("../../../../class/block", m_device / "subsystem");
        fs::create_symlink("../../devices/virtual/block/fake0", m_root / "class/block/fake0");
    }
    ~TinySysfs()
    {
        std::error_code ignored;
        fs::remove_all(m_root, ignored);
    }
    TinySysfs(const TinySysfs&) = delete;
    TinySysfs& operator=(const TinySysfs&) = delete;

    std::string root() const { return m_root.string(); }
    const fs::path& devicePath() const { return m_device; }
    void write(const std::string& name, const std::string& text)
    {
        std::ofstream file(m_device / name, std::ios::trunc);
        file << text;
    }
    // Overwrites the start of the file in place, without a moment in which it is empty, so a
    // descriptor kept open sees the new text on its next read.
    void overwrite(const std::string& name, const std::string& text)
    {
        std::fstream file(m_device / name, std::ios::in | std::ios::out);
        file << text;
    }

private:
    fs::path m_root;
    fs::path m_device;
};

class MonitorOverSysfs : public ::testing::Test {
protected:
    void SetUp() override { setenv("LANGUAGE", "en", 1); }

    // Starts a run on the device and waits until it has ended with an error or produced
    // `samples` samples.
    std::shared_ptr<DiskIOMonitor> start(std::shared_ptr<DeviceRegistry> registry, const std::string& name,
        DiskIOMonitor::SamplingPrecision precision)
    {
        auto monitor = DiskIOMonitor::create(std::move(registry), mainQueue);
        monitor->updateSamplingPrecision(precision);
        monitor->setSelectedVolume(device(name));
        monitor->startMonitoring();
        EXPECT_TRUE(mainQueue->runUntil([&] { return monitor->isMonitoring(); }, 5s));
        return monitor;
    }

    bool waitForFailure(DiskIOMonitor& monitor)
    {
        return mainQueue->runUntil(
            [&] { return monitor.errorMessage().has_value() && !monitor.isMonitoring(); }, 10s);
    }

    std::shared_ptr<EventLoopMainQueue> mainQueue = std::make_shared<EventLoopMainQueue>();
    ScopedTestLogSink log;
};

}

TEST_F(MonitorOverSysfs, BrokenStatFilesEndInTheStatisticsErrorNotACrash)
{
    const std::string unavailable = "Unable to fetch statistics for the selected volume.";
    struct Case {
        const char* what;
        std::function<void(TinySysfs&)> breakIt;
    };
    std::vector<Case> cases {
        { "missing", [](TinySysfs&) {} },
        { "a directory", [](TinySysfs& tree) { fs::create_directory(tree.devicePath() / "stat"); } },
        { "empty", [](TinySysfs& tree) { tree.write("stat", ""); } },
        { "not numbers", [](TinySysfs& tree) { tree.write("stat", "reads writes and more words\n"); } },
        { "too few fields", [](TinySysfs& tree) { tree.write("stat", "1 2 3 4\n"); } },
        { "overflowing",
            [](TinySysfs& tree) { tree.write("stat", "1 0 99999999999999999999999 0 5 0 8 0 0 0 0\n"); } },
        { "binary", [](TinySysfs& tree) { tree.write("stat", std::string("\x01\xff\0\x7f 12 \n", 8)); } },
        { "huge", [](TinySysfs& tree) { tree.write("stat", std::string(100000, '7')); } },
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.what);
        TinySysfs tree;
        testCase.breakIt(tree);
        auto monitor = start(
            std::make_shared<SysfsRegistry>(tree.root()), "fake0", DiskIOMonitor::SamplingPrecision::ms10);
        ASSERT_TRUE(waitForFailure(*monitor));
        EXPECT_EQ(monitor->errorMessage(), unavailable);
        EXPECT_EQ(monitor->sampleCount(), 0u);
    }
}

TEST_F(MonitorOverSysfs, StatFileThatGoesBadMidRunStopsTheRun)
{
    TinySysfs tree;
    tree.write("stat", "100 0 800 0 50 0 400 0 0 0 0 0 0 0 0 0 0\n");
    auto monitor = start(
        std::make_shared<SysfsRegistry>(tree.root()), "fake0", DiskIOMonitor::SamplingPrecision::ms10);
    // The first reading is taken after the run has been published as started.
    ASSERT_TRUE(mainQueue->runUntil([&] { return monitor->sampleCount() >= 1; }, 10s));
    tree.overwrite("stat", "101 0 808 0 51 0 416 0 0 0 0 0 0 0 0 0 0\n");
    ASSERT_TRUE(mainQueue->runUntil([&] { return monitor->totalReadBytes() == 8 * 512; }, 10s))
        << monitor->totalReadBytes() << " " << monitor->sampleCount() << " "
        << monitor->errorMessage().value_or("-");
    EXPECT_EQ(monitor->totalWriteBytes(), 16u * 512u);

    tree.overwrite("stat", "garbage\n");
    ASSERT_TRUE(waitForFailure(*monitor));
    EXPECT_EQ(monitor->errorMessage(), "Unable to fetch statistics for the selected volume.");
    EXPECT_TRUE(log->contains(
        LogLevel::Default, "Cached IOService entries for BSD name fake0 failed; rebuilding matching cache"));
    EXPECT_EQ(monitor->totalReadBytes(), 8u * 512u); // what was measured stays
}

namespace {

std::optional<StatisticsSnapshot> kernelCounters(const std::string& name)
{
    std::ifstream file("/sys/block/" + name + "/stat");
    std::uint64_t reads = 0, readsMerged = 0, sectorsRead = 0, readTicks = 0, writes = 0, writesMerged = 0,
                  sectorsWritten = 0;
    if (!(file >> reads >> readsMerged >> sectorsRead >> readTicks >> writes >> writesMerged
            >> sectorsWritten))
        return std::nullopt;
    return StatisticsSnapshot { sectorsRead * 512, sectorsWritten * 512, reads, writes };
}

// A file that is removed when the guard goes, however the test ends.
struct TemporaryFile {
    std::string path;
    int fd { -1 };
    ~TemporaryFile()
    {
        if (fd >= 0)
            ::close(fd);
        if (!path.empty())
            ::unlink(path.c_str());
    }
};

struct AlignedBuffer {
    explicit AlignedBuffer(std::size_t size)
    {
        if (::posix_memalign(&data, 4096, size) != 0)
            data = nullptr;
        else
            std::memset(data, 0x5a, size);
    }
    ~AlignedBuffer() { std::free(data); }
    AlignedBuffer(const AlignedBuffer&) = delete;
    AlignedBuffer& operator=(const AlignedBuffer&) = delete;
    void* data { nullptr };
};

}

TEST_F(MonitorOverSysfs, TotalsOfADirectWriteMatchTheKernelCounters)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root";
    if (!fs::exists("/sys/block/vda/stat"))
        GTEST_SKIP() << "needs the virtio disk vda";
    struct stat root { };
    unsigned deviceMajor = 0, deviceMinor = 0;
    char colon = 0;
    std::ifstream("/sys/block/vda/dev") >> deviceMajor >> colon >> deviceMinor;
    if (::stat("/", &root) != 0 || major(root.st_dev) != deviceMajor)
        GTEST_SKIP() << "/ is not on vda";

    constexpr std::size_t chunk = 4 * 1024 * 1024;
    constexpr std::size_t total = 64 * 1024 * 1024;
    AlignedBuffer buffer(chunk);
    ASSERT_NE(buffer.data, nullptr);
    TemporaryFile file;
    {
        char name[] = "/tallowin-monitor-accuracy-XXXXXX";
        int created = ::mkstemp(name);
        ASSERT_GE(created, 0) << std::strerror(errno);
        file.path = name;
        ::close(created);
    }

    auto monitor = DiskIOMonitor::create(std::make_shared<SysfsRegistry>(), mainQueue);
    monitor->updateSamplingPrecision(DiskIOMonitor::SamplingPrecision::ms1);
    monitor->setSelectedVolume(device("vda"));
    auto before = kernelCounters("vda");
    ASSERT_TRUE(before);
    monitor->startMonitoring();
    ASSERT_TRUE(mainQueue->runUntil([&] { return monitor->sampleCount() >= 5; }, 10s));

    file.fd = ::open(file.path.c_str(), O_WRONLY | O_DIRECT | O_CLOEXEC);
    ASSERT_GE(file.fd, 0) << std::strerror(errno);
    for (std::size_t written = 0; written < total; written += chunk)
        ASSERT_EQ(::write(file.fd, buffer.data, chunk), static_cast<ssize_t>(chunk)) << std::strerror(errno);
    ASSERT_EQ(::fsync(file.fd), 0);
    mainQueue->runPending();
    std::this_thread::sleep_for(20ms); // a few more samples after the write completed

    monitor->stopMonitoring();
    auto after = kernelCounters("vda");
    ASSERT_TRUE(after);
    ASSERT_TRUE(mainQueue->runUntil([&] { return !monitor->isMonitoring(); }, 10s));

    std::uint64_t summed = 0;
    for (const auto& sample : monitor->samples())
        summed += sample.writeBytes;
    // Every sample reached the totals, and nothing was counted twice.
    EXPECT_EQ(summed, monitor->totalWriteBytes());
    // The run began after `before` and ended before `after`; other processes may write in the
    // milliseconds between, but the run cannot have seen more than the kernel counted.
    auto kernelWritten = after->bytesWritten - before->bytesWritten;
    EXPECT_GE(monitor->totalWriteBytes(), total);
    EXPECT_LE(monitor->totalWriteBytes(), kernelWritten);
    EXPECT_LE(kernelWritten - monitor->totalWriteBytes(), 8u * 1024 * 1024)
        << "kernel " << kernelWritten << ", monitor " << monitor->totalWriteBytes();
    EXPECT_LE(monitor->totalReadBytes(), after->bytesRead - before->bytesRead);
    std::printf("written %zu, monitor %llu, kernel %llu, samples %zu\n", total,
        static_cast<unsigned long long>(monitor->totalWriteBytes()),
        static_cast<unsigned long long>(kernelWritten), monitor->sampleCount());
}
