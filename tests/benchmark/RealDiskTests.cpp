#include "BenchmarkTestSupport.h"
#include "benchmark/DiskPerformanceTester.h"

#include <filesystem>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tallowin {
namespace {

using namespace std::chrono_literals;
using Tester = DiskPerformanceTester;
using testing::driveUntil;
using testing::ScopedLanguage;
namespace fs = std::filesystem;

// A directory that is removed with everything in it when the test ends, however it ends.
class TemporaryDirectory {
public:
    explicit TemporaryDirectory(const std::string& parent)
    {
        std::string pattern = parent + "/tallowin-bench-test-XXXXXX";
        if (::mkdtemp(pattern.data()))
            m_path = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        if (!m_path.empty())
            fs::remove_all(m_path, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

bool run(const std::string& command)
{
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

// An ext4 image on a loop device, mounted on a fresh directory. Unmounted, detached and deleted
// in the destructor, also when an assertion ends the test early.
class LoopMount {
public:
    LoopMount(const std::string& parent, const std::string& size)
        : m_workspace(parent)
    {
        m_image = m_workspace.path() + "/image.ext4";
        m_mountPoint = m_workspace.path() + "/mnt";
        fs::create_directory(m_mountPoint);
        if (!run("truncate -s " + size + " " + m_image) || !run("mkfs.ext4 -q -F -m 0 " + m_image))
            return;
        char device[64] = {};
        if (FILE* pipe = ::popen(("losetup --find --show " + m_image + " 2>/dev/null").c_str(), "r")) {
            if (std::fgets(device, sizeof device, pipe))
                m_device = device;
            ::pclose(pipe);
        }
        while (!m_device.empty() && (m_device.back() == '\n' || m_device.back() == ' '))
            m_device.pop_back();
        if (m_device.empty())
            return;
        m_mounted = run("mount " + m_device + " " + m_mountPoint);
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
    TemporaryDirectory m_workspace;
    std::string m_image;
    std::string m_mountPoint;
    std::string m_device;
    bool m_mounted { false };
};

std::vector<std::string> entries(const std::string& directory)
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

DiskVolumeDescriptor volumeAt(const std::string& path)
{
    DiskVolumeDescriptor volume;
    volume.url = path;
    volume.displayName = fs::path(path).filename().string();
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
    ScopedLanguage m_language { "en_US" };
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

    void expectOnlyReport(const std::string& directory)
    {
        auto names = entries(directory);
        ASSERT_EQ(names.size(), 1u) << ::testing::PrintToString(names);
        EXPECT_EQ(names[0].rfind("Tallowin-Performance-", 0), 0u);
        EXPECT_EQ(fs::path(names[0]).extension(), ".html");
        EXPECT_GT(fs::file_size(fs::path(directory) / names[0]), 4000u);
    }
};

TEST_F(RealDiskTest, SuccessOnTheSystemDiskLeavesOnlyTheReport)
{
    TemporaryDirectory folder("/var/tmp");
    ASSERT_FALSE(folder.path().empty());
    makeTester(48 * 1024 * 1024)->startTest(volumeAt(folder.path()));
    ASSERT_TRUE(runToEnd());
    ASSERT_TRUE(m_tester->lastResult()) << m_tester->errorMessage().value_or("");
    const auto& result = *m_tester->lastResult();
    EXPECT_GT(result.writeThroughput, 0);
    EXPECT_GT(result.readThroughput, 0);
    EXPECT_GT(result.randomReadIOPS, 0);
    EXPECT_GT(result.randomOperationCount, 0);
    expectOnlyReport(folder.path());
    EXPECT_TRUE(m_tester->temporaryFileRegistry().pendingFiles().empty());
    ASSERT_TRUE(m_tester->lastReportPath());
    EXPECT_EQ(fs::path(*m_tester->lastReportPath()).parent_path(), fs::path(folder.path()));
}

TEST_F(RealDiskTest, StopDuringTheRandomPhasesLeavesNothing)
{
    TemporaryDirectory folder("/var/tmp");
    makeTester(32 * 1024 * 1024)->startTest(volumeAt(folder.path()));
    ASSERT_TRUE(driveUntil(
        *m_mainQueue, [&] { return !entries(folder.path()).empty(); }, 10s));
    m_tester->stopTest();
    ASSERT_TRUE(runToEnd());
    EXPECT_FALSE(m_tester->errorMessage());
    EXPECT_TRUE(entries(folder.path()).empty());
}

TEST_F(RealDiskTest, StopDuringTheSequentialPhasesLeavesNothing)
{
    TemporaryDirectory folder("/var/tmp");
    makeTester(1024ull * 1024 * 1024)->startTest(volumeAt(folder.path()));
    ASSERT_TRUE(driveUntil(
        *m_mainQueue,
        [&] {
            return m_tester->progressState()
                && m_tester->progressState()->phase == BenchmarkPhase::sequentialWrite;
        },
        20s));
    m_tester->stopTest();
    ASSERT_TRUE(runToEnd());
    EXPECT_TRUE(entries(folder.path()).empty());
    EXPECT_TRUE(m_tester->temporaryFileRegistry().pendingFiles().empty());
}

class LoopMountTest : public RealDiskTest {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "loop devices and mounts need root";
    }
};

TEST_F(LoopMountTest, SuccessOnALoopMountedExt4)
{
    LoopMount mount("/var/tmp", "160M");
    ASSERT_TRUE(mount.isMounted());
    makeTester(std::nullopt)->setDataSize(Tester::DataSize::gigabytes(1));
    auto volume = volumeAt(mount.path());
    EXPECT_FALSE(m_tester->effectivePayload(volume)) << "1 GB does not fit";
    makeTester(64 * 1024 * 1024)->startTest(volume);
    ASSERT_TRUE(runToEnd());
    ASSERT_TRUE(m_tester->lastResult()) << m_tester->errorMessage().value_or("");
    expectOnlyReport(mount.path());
}

TEST_F(LoopMountTest, ReadOnlyVolumeFailsToCreateTheTestFileAndLeavesNothing)
{
    LoopMount mount("/var/tmp", "64M");
    ASSERT_TRUE(mount.isMounted());
    ASSERT_TRUE(mount.remountReadOnly());
    makeTester(16 * 1024 * 1024)->startTest(volumeAt(mount.path()));
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(m_tester->errorMessage(), "Failed to create the temporary test file.");
    EXPECT_FALSE(m_tester->lastResult());
    EXPECT_TRUE(entries(mount.path()).empty());
}

TEST_F(LoopMountTest, FullVolumeIsRefusedOrFailsTheWriteAndLeavesNothing)
{
    LoopMount mount("/var/tmp", "32M");
    ASSERT_TRUE(mount.isMounted());
    std::string filler = mount.path() + "/filler";
    run("dd if=/dev/zero of=" + filler + " bs=1M count=64");
    run("sync");

    // Sized from the real free space, the test does not start at all.
    makeTester(std::nullopt)->startTest(volumeAt(mount.path()));
    EXPECT_EQ(m_tester->errorMessage(), "Not enough free space to run the performance test.");
    EXPECT_FALSE(m_tester->isRunning());

    // Forced to run anyway, the first write that finds no space ends it.
    fs::remove(filler);
    run("sync");
    run("dd if=/dev/zero of=" + filler + " bs=1M count=64");
    run("sync");
    makeTester(16 * 1024 * 1024)->startTest(volumeAt(mount.path()));
    ASSERT_TRUE(runToEnd());
    EXPECT_EQ(m_tester->errorMessage(), "Write phase failed. Please check the disk status.");
    EXPECT_EQ(entries(mount.path()), (std::vector<std::string> { "filler" }));
}

TEST_F(LoopMountTest, AtomicReportWriteNeverReplacesAndLeavesNothingOnFailure)
{
    LoopMount mount("/var/tmp", "64M");
    ASSERT_TRUE(mount.isMounted());
    auto fileSystem = makePosixFileSystem();
    std::string path = mount.path() + "/Tallowin-Performance-20250102-030405.html";
    ASSERT_TRUE(fileSystem->writeAtomically(path, "first"));
    auto again = fileSystem->writeAtomically(path, "second");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, EEXIST);
    EXPECT_EQ(fs::file_size(path), 5u) << "the first report is untouched";

    ASSERT_TRUE(mount.remountReadOnly());
    auto readOnly = fileSystem->writeAtomically(mount.path() + "/other.html", "x");
    ASSERT_FALSE(readOnly);
    EXPECT_EQ(readOnly.error().description, "Read-only file system");
    EXPECT_EQ(
        entries(mount.path()), (std::vector<std::string> { "Tallowin-Performance-20250102-030405.html" }));
}

}
}
