#include "BenchmarkTestSupport.h"
#include "benchmark/DiskPerformanceTester.h"
#include "support/LoopMount.h"
#include "support/ShellCommand.h"

#include <filesystem>
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tallowin {
namespace {

using namespace std::chrono_literals;
using Tester = DiskPerformanceTester;
using testing::driveUntil;
using testing::LoopMount;
namespace fs = std::filesystem;

bool run(const std::string& command)
{
    return testing::runShell(command + " 2>/dev/null").exitStatus == 0;
}

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

std::uint64_t availableBytes(const fs::path& path)
{
    struct statvfs facts { };
    return ::statvfs(path.c_str(), &facts) == 0 ? std::uint64_t(facts.f_bavail) * facts.f_frsize : 0;
}

// Brings the volume's available space down to exactly `target` bytes with preallocated filler
// files: first all but the last MiB, then the rest, so that no filler needs a metadata block.
bool fillTo(const fs::path& folder, std::uint64_t target)
{
    for (int round = 0; round < 4 && availableBytes(folder) > target; ++round) {
        auto excess = availableBytes(folder) - target;
        if (round == 0 && excess > 2 * 1024 * 1024)
            excess -= 1024 * 1024;
        if (!run(fmt::format("fallocate -l {} {}/filler{}", excess, folder.string(), round)))
            return false;
    }
    return availableBytes(folder) == target;
}

DiskVolumeDescriptor volumeAt(const fs::path& path)
{
    DiskVolumeDescriptor volume;
    volume.url = path.string();
    volume.availableCapacityBytes = availableBytes(path);
    return volume;
}

// Each failure on a real ext4 volume gives its text and leaves exactly what was there before. (A
// successful run and a Ctrl-C on the system disk are shown end to end by the command's tests.)
class LoopMountTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (::geteuid() != 0)
            GTEST_SKIP() << "loop devices and mounts need root";
    }

    // A real run with a small payload and short random phases (the default sizing without one).
    void runTest(const std::string& folder, std::optional<std::uint64_t> payload)
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
        m_tester->startTest(volumeAt(folder));
        ASSERT_TRUE(driveUntil(
            *m_mainQueue, [&] { return !m_tester->isRunning() && !m_tester->hasBackgroundWork(); }, 90s));
    }

    testing::LanguageGuard m_language { "en_US" };
    std::shared_ptr<EventLoopMainQueue> m_mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<Tester> m_tester;
};

TEST_F(LoopMountTest, FullThenReadOnlyVolumeFailsWithItsTextAndLeavesNothing)
{
    LoopMount mount("160M", "-m 0", testing::onSystemDisk);
    ASSERT_TRUE(mount.isMounted());
    auto report = mount.path() + "/report.html";
    auto fileSystem = makePosixFileSystem();
    ASSERT_TRUE(fileSystem->writeAtomically(report, "first"));
    auto again = fileSystem->writeAtomically(report, "second");
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, EEXIST);
    EXPECT_EQ(fs::file_size(report), 5u) << "a report is never replaced";

    run("dd if=/dev/zero of=" + mount.path() + "/filler bs=1M count=200; sync");
    std::vector<std::string> before { "filler", "report.html" };
    runTest(mount.path(), std::nullopt);
    EXPECT_EQ(m_tester->errorMessage(), "Not enough free space to run the performance test.");
    runTest(mount.path(), 16 * 1024 * 1024); // forced to run anyway
    EXPECT_EQ(m_tester->errorMessage(), "Write phase failed. Please check the disk status.");
    EXPECT_EQ(entries(mount.path()), before);

    ASSERT_TRUE(mount.remountReadOnly());
    runTest(mount.path(), 16 * 1024 * 1024);
    EXPECT_EQ(m_tester->errorMessage(), "Failed to create the temporary test file.");
    EXPECT_FALSE(m_tester->lastResult());
    EXPECT_EQ(entries(mount.path()), before);
}

// "Full Disk" on a volume whose free space is exactly the data blocks of 2 GB: rounding down to
// whole gigabytes alone chose 2 GB, and the write failed at its very end for want of one block
// of extent metadata. The safety margin gives 1 GB, which the run writes and reads back.
TEST_F(LoopMountTest, FullDiskKeepsRoomForMetadataOnANearlyFullVolume)
{
    LoopMount mount("2300M", "-m 0", testing::onSystemDisk);
    ASSERT_TRUE(mount.isMounted());
    constexpr std::uint64_t dataBlocksOfTwoGigabytes = 488282ull * 4096;
    ASSERT_TRUE(fillTo(mount.path(), dataBlocksOfTwoGigabytes)) << availableBytes(mount.path());
    auto fillers = entries(mount.path());

    auto preview = Tester::create(m_mainQueue)->effectivePayload(volumeAt(mount.path()));
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->byteCount, 1000000000u);
    EXPECT_TRUE(preview->isAdjusted);
    EXPECT_EQ(preview->bytesKeptFree, dataBlocksOfTwoGigabytes - 1000000000u)
        << "the preview shows the margin";

    runTest(mount.path(), std::nullopt);
    ASSERT_TRUE(m_tester->lastResult()) << m_tester->errorMessage().value_or("");
    EXPECT_EQ(m_tester->lastResult()->actualByteCount, 1000000000u);
    EXPECT_TRUE(m_tester->lastResult()->isPayloadAdjusted);
    ASSERT_TRUE(m_tester->lastReportPath());
    fillers.push_back(fs::path(*m_tester->lastReportPath()).filename().string());
    std::sort(fillers.begin(), fillers.end());
    EXPECT_EQ(entries(mount.path()), fillers) << "nothing but the report is left";
}

}
}
