#include "BenchmarkTestSupport.h"
#include "FakeBenchmarkFileSystem.h"
#include "benchmark/DiskPerformanceTester.h"

#include <gtest/gtest.h>

namespace tallowin {
namespace {

using testing::FakeBenchmarkFileSystem;
using testing::LanguageGuard;
using Tester = DiskPerformanceTester;
using DataSize = Tester::DataSize;
using Kind = FakeBenchmarkFileSystem::Operation::Kind;
using namespace std::chrono_literals;

TEST(PayloadSizing, DecimalGigabytesAgainstTheFreeSpace)
{
    using Payload = Tester::EffectivePayload;
    EXPECT_FALSE(Tester::payloadFor(DataSize::gigabytes(10), 9500000000));
    EXPECT_EQ(Tester::payloadFor(DataSize::gigabytes(10), std::nullopt), (Payload { 10000000000, false }));
    EXPECT_EQ(Tester::payloadFor(DataSize::gigabytes(10), 10000000000), (Payload { 10000000000, false }));
    EXPECT_FALSE(Tester::payloadFor(DataSize::availableSpace(), 999999999));
    EXPECT_FALSE(Tester::payloadFor(DataSize::availableSpace(), std::nullopt));
    EXPECT_EQ(Tester::payloadFor(DataSize::availableSpace(), 12345678901), (Payload { 12000000000, false }));

    std::vector<std::string> ids;
    for (const auto& size : DataSize::allCases())
        ids.push_back(size.id());
    EXPECT_EQ(ids,
        (std::vector<std::string> { "availableSpace", "gigabytes_1", "gigabytes_10", "gigabytes_100",
            "gigabytes_1000", "gigabytes_10000" }));
}

class DiskPerformanceTesterTest : public ::testing::Test {
protected:
    LanguageGuard m_language { "en_US" };
    std::shared_ptr<EventLoopMainQueue> m_mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<FakeBenchmarkFileSystem> m_fileSystem = std::make_shared<FakeBenchmarkFileSystem>();
    std::uint64_t m_payload { 64 * 1024 * 1024 };
    double m_randomDuration { 0.05 };
    std::shared_ptr<Tester> m_tester;
    int m_changes { 0 };

    // A fresh tester on a fresh file system; `inject` prepares the file system's failures.
    void startFresh(const std::function<void(FakeBenchmarkFileSystem&)>& inject = {})
    {
        m_fileSystem = std::make_shared<FakeBenchmarkFileSystem>();
        if (inject)
            inject(*m_fileSystem);
        Tester::Configuration configuration;
        configuration.fileSystem = m_fileSystem;
        configuration.randomPhaseDuration = m_randomDuration;
        configuration.randomPhaseWorkingSetLimit = 1024 * 1024;
        configuration.automaticReportMessageLifetime = 50ms;
        configuration.payloadSizing = [this](const DataSize&, std::optional<std::uint64_t>) {
            return std::optional(Tester::EffectivePayload { m_payload, false });
        };
        m_tester = Tester::create(m_mainQueue, configuration);
        m_tester->setChangeHandler([this] { ++m_changes; });
        m_tester->startTest(volume());
    }

    static DiskVolumeDescriptor volume(const std::string& url = "/vol")
    {
        DiskVolumeDescriptor descriptor;
        descriptor.url = url;
        descriptor.displayName = "vol";
        descriptor.connectionTypeDescription = "Virtio";
        descriptor.availableCapacityBytes = 1000000000000;
        return descriptor;
    }

    bool runUntilIdle()
    {
        return testing::driveUntil(
            *m_mainQueue, [&] { return !m_tester->isRunning() && !m_tester->hasBackgroundWork(); }, 60s);
    }

    void expectNothingLeft()
    {
        EXPECT_TRUE(m_fileSystem->files().empty());
        EXPECT_TRUE(m_tester->temporaryFileRegistry().pendingFiles().empty());
    }
};

TEST_F(DiskPerformanceTesterTest, StartChecksReportThroughTheErrorMessageOnly)
{
    auto subject = Tester::create(m_mainQueue);
    subject->startTest(std::nullopt);
    EXPECT_EQ(subject->errorMessage(), "Please choose a volume before running the test.");
    EXPECT_FALSE(subject->isRunning());

    subject->setDataSize(DataSize::gigabytes(10));
    auto small = volume();
    small.availableCapacityBytes = 9500000000;
    EXPECT_FALSE(subject->effectivePayload(small));
    subject->startTest(small);
    EXPECT_EQ(subject->errorMessage(), "Not enough free space to run the performance test.");
    EXPECT_FALSE(subject->isRunning());
    EXPECT_FALSE(subject->progressState());
    EXPECT_FALSE(subject->hasBackgroundWork());
}

TEST_F(DiskPerformanceTesterTest, SuccessfulRunChunksThePayloadIgnoresASecondStartAndCleansUp)
{
    m_payload = 1000000000;
    startFresh();
    ASSERT_TRUE(m_tester->isRunning());
    EXPECT_EQ(m_tester->progressState(), (ProgressState { BenchmarkPhase::randomWrite, 0, 0, std::nullopt }));
    int changes = m_changes;
    m_tester->startTest(volume("/other"));
    EXPECT_EQ(m_changes, changes) << "a second start while running changes nothing";
    ASSERT_TRUE(runUntilIdle());
    EXPECT_TRUE(m_fileSystem->sizesOf("/other/", Kind::write).empty());
    EXPECT_TRUE(m_fileSystem->sizesOf("/other/", Kind::read).empty());

    ASSERT_TRUE(m_tester->lastResult()) << m_tester->errorMessage().value_or("");
    const auto& result = *m_tester->lastResult();
    std::vector<std::size_t> expected(59, 16777216);
    expected.push_back(10144256);
    EXPECT_EQ(m_fileSystem->sizesOf("Tallowin_IO_Test_", Kind::write), expected);
    EXPECT_EQ(m_fileSystem->sizesOf("Tallowin_IO_Test_", Kind::read), expected);
    EXPECT_EQ(result.actualByteCount, 1000000000u);
    auto randomReads = std::ssize(m_fileSystem->sizesOf("Tallowin_IO_RandomTest_", Kind::read));
    auto randomWrites = std::ssize(m_fileSystem->sizesOf("Tallowin_IO_RandomTest_", Kind::write)) - 1; // fill
    EXPECT_EQ(result.randomOperationCount, std::min(randomReads, randomWrites));
    EXPECT_GT(result.randomWriteIOPS, 0);
    EXPECT_GT(result.writeThroughput, 0);
    EXPECT_FALSE(m_tester->progressState());
    EXPECT_FALSE(m_tester->errorMessage());
    expectNothingLeft();
    EXPECT_EQ(m_fileSystem->dropCacheCalls(), 3) << "both read phases must read from the device";

    auto reports = m_fileSystem->reports();
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports.begin()->first.rfind("/vol/Tallowin-Performance-", 0), 0u);
    EXPECT_EQ(m_tester->automaticReportMessage(),
        "Performance test finished. Report automatically saved to: " + reports.begin()->first);
    EXPECT_TRUE(testing::driveUntil(
        *m_mainQueue, [&] { return !m_tester->automaticReportMessage(); }, 5s))
        << "the notice clears itself";
}

TEST_F(DiskPerformanceTesterTest, ZeroPayloadAndAFailedReportStillGiveAResult)
{
    m_payload = 0;
    startFresh([](auto& fs) { fs.failReportWrite = true; });
    ASSERT_TRUE(runUntilIdle());
    ASSERT_TRUE(m_tester->lastResult());
    EXPECT_EQ(m_tester->lastResult()->randomWriteIOPS, 0);
    EXPECT_EQ(m_tester->lastResult()->randomOperationCount, 0);
    EXPECT_TRUE(m_tester->lastResult()->timeline.empty());
    expectNothingLeft();
    EXPECT_FALSE(m_tester->automaticReportMessage());
    EXPECT_EQ(
        m_tester->errorMessage(), "Automatic performance report export failed:\nNo space left on device");
}

TEST_F(DiskPerformanceTesterTest, EveryFailingFileOperationEndsTheTestWithItsTextAndNoFiles)
{
    const struct {
        const char* name;
        std::function<void(FakeBenchmarkFileSystem&)> inject;
        const char* message;
        const char* language = "en_US";
    } cases[] = {
        { "random file creation", [](auto& fs) { fs.failCreateContaining = "RandomTest"; },
            "Failed to create the temporary test file." },
        { "sequential file creation", [](auto& fs) { fs.failCreateContaining = "IO_Test_"; },
            "Failed to create the temporary test file." },
        { "random open", [](auto& fs) { fs.failOpenContaining = "RandomTest"; },
            "Unable to open the test file. Please verify read/write permissions." },
        { "sequential open", [](auto& fs) { fs.failOpenContaining = "IO_Test_"; },
            "Unable to open the test file. Please verify read/write permissions." },
        { "disk full during the fill", [](auto& fs) { fs.writeBudget = 4096; },
            "Write phase failed. Please check the disk status." },
        { "disk full during the sequential write", [](auto& fs) { fs.writeBudget = 40 * 1024 * 1024; },
            "Write phase failed. Please check the disk status." },
        { "short random read", [](auto& fs) { fs.shortReadContaining = "RandomTest"; },
            "Read phase failed. Please check the disk status." },
        { "short sequential read", [](auto& fs) { fs.shortReadContaining = "IO_Test_"; },
            "Read phase failed. Please check the disk status." },
        { "short sequential read, in Chinese", [](auto& fs) { fs.shortReadContaining = "IO_Test_"; },
            "读取测试失败，请检查磁盘状态。", "zh-Hans" },
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.name);
        LanguageGuard language(failure.language);
        startFresh(failure.inject);
        ASSERT_TRUE(runUntilIdle());
        EXPECT_EQ(m_tester->errorMessage(), failure.message);
        EXPECT_FALSE(m_tester->lastResult());
        EXPECT_FALSE(m_tester->progressState());
        EXPECT_TRUE(m_fileSystem->reports().empty());
        expectNothingLeft();
    }
}

TEST_F(DiskPerformanceTesterTest, StopDuringEachPhaseLeavesNoFileAndIgnoresTheLateOutcome)
{
    const std::pair<const char*, Kind> phases[] = {
        { "Tallowin_IO_RandomTest_", Kind::write },
        { "Tallowin_IO_RandomTest_", Kind::read },
        { "Tallowin_IO_Test_", Kind::write },
        { "Tallowin_IO_Test_", Kind::read },
    };
    m_payload = 100 * 16777216ull;
    m_randomDuration = 1.0;
    for (const auto& [pathPart, kind] : phases) {
        SCOPED_TRACE(std::string(pathPart) + (kind == Kind::write ? " write" : " read"));
        startFresh([](auto& fs) { fs.delayPerOperation = 2ms; });
        ASSERT_TRUE(testing::driveUntil(
            *m_mainQueue, [&, part = pathPart, k = kind] { return !m_fileSystem->sizesOf(part, k).empty(); },
            30s));
        m_tester->stopTest();
        EXPECT_FALSE(m_tester->isRunning()) << "stopping takes effect at once";
        EXPECT_FALSE(m_tester->progressState());
        int changes = m_changes;
        ASSERT_TRUE(runUntilIdle());
        EXPECT_EQ(m_changes, changes) << "the stopped test's late progress and outcome change nothing";
        EXPECT_FALSE(m_tester->errorMessage());
        EXPECT_FALSE(m_tester->lastResult());
        EXPECT_TRUE(m_fileSystem->reports().empty());
        expectNothingLeft();
    }
}

TEST_F(DiskPerformanceTesterTest, FileThatCannotBeRemovedIsRemovedByTheNextTest)
{
    startFresh([](auto& fs) { fs.unremovableContaining = "RandomTest"; });
    ASSERT_TRUE(runUntilIdle());
    ASSERT_TRUE(m_tester->lastResult());
    ASSERT_EQ(m_fileSystem->files().size(), 1u);
    EXPECT_EQ(m_tester->temporaryFileRegistry().pendingFiles(), m_fileSystem->files());

    m_fileSystem->unremovableContaining.clear();
    m_tester->startTest(volume());
    ASSERT_TRUE(runUntilIdle());
    expectNothingLeft();
}

TEST_F(DiskPerformanceTesterTest, ProgressReachesTheMainThreadDuringTheRun)
{
    m_payload = 50 * 16777216ull;
    m_randomDuration = 0.3;
    std::vector<ProgressState> seen;
    startFresh([](auto& fs) { fs.delayPerOperation = 30ms; });
    m_tester->setChangeHandler([&] {
        if (m_tester->progressState())
            seen.push_back(*m_tester->progressState());
    });
    ASSERT_TRUE(runUntilIdle());
    ASSERT_TRUE(m_tester->lastResult());
    ASSERT_FALSE(seen.empty());
    bool sawHalf = false;
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].fractionCompleted, seen[i - 1].fractionCompleted);
        EXPECT_GE(static_cast<int>(seen[i].phase), static_cast<int>(seen[i - 1].phase));
        sawHalf = sawHalf
            || (seen[i].phase == BenchmarkPhase::sequentialWrite && seen[i].fractionCompleted == 0.5);
    }
    EXPECT_TRUE(sawHalf) << "the write phase ends at one half";
    EXPECT_EQ(seen.back().fractionCompleted, 1.0);
    const auto& timeline = m_tester->lastResult()->timeline;
    ASSERT_GE(timeline.size(), 2u);
    EXPECT_EQ(timeline.front().phase, TimelineSample::Phase::sequentialWrite);
    EXPECT_EQ(timeline.back().phase, TimelineSample::Phase::sequentialRead);
}

}
}
