#include "BenchmarkTestSupport.h"
#include "benchmark/DiskPerformanceTester.h"

#include <cstring>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tallowin {
namespace {

using namespace std::chrono_literals;
using Tester = DiskPerformanceTester;
using testing::driveUntil;
using testing::TemporaryDirectory;
namespace fs = std::filesystem;

bool run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// An ext4 image on a loop device, mounted on a fresh directory. Unmounted, detached and deleted
// in the destructor, also when an assertion ends the test early.
class LoopMount {
public:
    explicit LoopMount(const std::string& size)
    {
        auto image = m_workspace / "image.ext4";
        m_mountPoint = (m_workspace / "mnt").string();
        fs::create_directory(m_mountPoint);
        if (!run("truncate -s " + size + " " + image.string())
            || !run("mkfs.ext4 -q -F -m 0 " + image.string()))
            return;
        if (FILE* pipe = ::popen(("losetup --find --show " + image.string() + " 2>/dev/null").c_str(), "r")) {
            char device[64] = {};
            if (std::fgets(device, sizeof device, pipe))
                m_device = std::string(device, std::strcspn(device, "\n "));
            ::pclose(pipe);
        }
        m_mounted = !m_device.empty() && run("mount " + m_device + " " + m_mountPoint);
    }
    ~LoopMount()
    {
        if (m_mounted && !run("umount " + m_mountPoint))
            run("umount -l " + m_mountPoint);
        if (!m_device.empty())
            run("losetup -d " + m_device);
    }
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;

    bool isMounted() const { return m_mounted; }
    const std::string& path() const { return m_mountPoint; }
    bool remountReadOnly() { return run("mount -o remount,ro " + m_mountPoint); }

private:
    TemporaryDirectory m_workspace { testing::onSystemDisk };
    std::string m_mountPoint;
    std::string m_device;
    bool m_mounted { false };
};

std::vector<std::string> entries(const fs::path& directory)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) {
        auto name = entry.path().filename().string();
        if (name != "lost+found")
            names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

DiskVolumeDescriptor volumeAt(const fs::path& path)
{
    DiskVolumeDescriptor volume;
    volume.url = path.string();
    volume.displayName = path.filename().string();
    volume.connectionTypeDescription = "Unknown";
    struct statvfs facts { };
    if (::statvfs(path.c_str(), &facts) == 0) {
        volume.totalCapacityBytes = std::uint64_t(facts.f_blocks) * facts.f_frsize;
        volume.availableCapacityBytes = std::uint64_t(facts.f_bavail) * facts.f_frsize;
    }
    return volume;
}

class RealDiskTest : public ::testing::Test {
protected:
    testing::LanguageGuard m_language { "en_US" };
    TemporaryDirectory m_folder { testing::onSystemDisk };
    std::shared_ptr<EventLoopMainQueue> m_mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<Tester> m_tester;

    // Small payloads and short random phases; everything else is the real thing.
    std::shared_ptr<Tester> makeTester(std::optional<std::uint64_t> payload)
    {
        Tester::Configuration configuration;
        configuration.randomPhaseDuration = 0.3;
        configuration.randomPhaseWorkingSetLimit = 8 * 1024 * 1024;
        if (payload) {
            configuration.payloadSizing
                = [bytes = *payload](const Tester::DataSize&, std::optional<std::uint64_t>) {
                      return std::optional(Tester::EffectivePayload { bytes, false });
                  };
        }
        m_tester = Tester::create(m_mainQueue, configuration);
        return m_tester;
    }

    bool runToEnd()
    {
        return driveUntil(
            *m_mainQueue, [&] { return !m_tester->isRunning() && !m_tester->hasBackgroundWork(); }, 90s);
    }

    void expectOnlyReport(const fs::path& directory)
    {
        auto names = entries(directory);
        ASSERT_EQ(names.size(), 1u) << ::testing::PrintToString(names);
        EXPECT_EQ(names[0].rfind("Tallowin-Performance-", 0), 0u);
        EXPECT_EQ(fs::path(names[0]).extension(), ".html");
        EXPECT_GT(fs::file_size(directory / names[0]), 4000u);
    }
};

TEST_F(RealDiskTest, SuccessOnTheSystemDiskLeavesOnlyTheReport)
{
    makeTester(48 * 1024 * 1024)->startTest(volumeAt(m_folder.path()));
    ASSERT_TRUE(runToEnd());
    ASSERT_TRUE(m_tester->lastResult()) << m_tester->errorMessage().value_or("");
    const auto& result = *m_tester->lastResult();
    EXPECT_GT(result.writeThroughput, 0);
    EXPECT_GT(result.readThroughput, 0);
    EXPECT_GT(result.randomReadIOPS, 0);
    EXPECT_GT(result.randomOperationCount, 0);
    expectOnlyReport(m_folder.path());
    EXPECT_TRUE(m_tester->temporaryFileRegistry().pendingFiles().empty());
    ASSERT_TRUE(m_tester->lastReportPath());
    EXPECT_EQ(fs::path(*m_tester->lastReportPath()).parent_path(), m_folder.path());
}

TEST_F(RealDiskTest, StopDuringTheRandomAndTheSequentialPhasesLeavesNothing)
{
    const std::pair<std::uint64_t, std::function<bool()>> stops[] = {
        { 32 * 1024 * 1024, [&] { return !entries(m_folder.path()).empty(); } },
        { 1024ull * 1024 * 1024,
            [&] {
                auto state = m_tester->progressState();
                return state && state->phase == BenchmarkPhase::sequentialWrite;
            } },
    };
    for (const auto& [payload, stopWhen] : stops) {
        makeTester(payload)->startTest(volumeAt(m_folder.path()));
        ASSERT_TRUE(driveUntil(*m_mainQueue, stopWhen, 20s));
        m_tester->stopTest();
        ASSERT_TRUE(runToEnd());
        EXPECT_FALSE(m_tester->errorMessage());
        EXPECT_TRUE(entries(m_folder.path()).empty());
        EXPECT_TRUE(m_tester->temporaryFileRegistry().pendingFiles().empty());
    }
}

class LoopMountTest : public RealDiskTest {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "loop devices and mounts need root";
    }
};

// One ext4 volume through its life: a successful run, then full, then read-only. Each failure
// gives its text and leaves exactly what was there before.
TEST_F(LoopMountTest, SuccessThenFullThenReadOnlyVolume)
{
    LoopMount mount("160M");
    ASSERT_TRUE(mount.isMounted());
    makeTester(std::nullopt)->setDataSize(Tester::DataSize::gigabytes(1));
    EXPECT_FALSE(m_tester->effectivePayload(volumeAt(mount.path()))) << "1 GB does not fit";
    makeTester(64 * 1024 * 1024)->startTest(volumeAt(mount.path()));
    ASSERT_TRUE(runToEnd());
    ASSERT_TRUE(m_tester->lastResult()) << m_tester->errorMessage().value_or("");
    expectOnlyReport(mount.path());
    auto report = *m_tester->lastReportPath();
    auto reportSize = fs::file_size(report);
    auto fileSystem = makePosixFileSystem();
    auto again = fileSystem->writeAtomically(report, "second");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, EEXIST);
    EXPECT_EQ(fs::file_size(report), reportSize) << "a report is never replaced";
    std::vector<std::string> before { fs::path(report).filename().string(), "filler" };

    run("dd if=/dev/zero of=" + mount.path() + "/filler bs=1M count=200");
    run("sync");
    makeTester(std::nullopt)->startTest(volumeAt(mount.path()));
    EXPECT_EQ(m_tester->errorMessage(), "Not enough free space to run the performance test.");
    EXPECT_FALSE(m_tester->isRunning());
    makeTester(16 * 1024 * 1024)->startTest(volumeAt(mount.path())); // forced to run anyway
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(m_tester->errorMessage(), "Write phase failed. Please check the disk status.");
    EXPECT_EQ(entries(mount.path()), before);

    ASSERT_TRUE(mount.remountReadOnly());
    makeTester(16 * 1024 * 1024)->startTest(volumeAt(mount.path()));
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(m_tester->errorMessage(), "Failed to create the temporary test file.");
    EXPECT_FALSE(m_tester->lastResult());
    auto readOnly = fileSystem->writeAtomically(mount.path() + "/other.html", "x");
    ASSERT_FALSE(readOnly);
    EXPECT_EQ(readOnly.error().description, "Read-only file system");
    EXPECT_EQ(entries(mount.path()), before);
}

}
}
