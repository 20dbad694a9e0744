#include "BenchmarkTestSupport.h"
#include "FakeBenchmarkFileSystem.h"
#include "benchmark/DiskPerformanceTester.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tallowin {
namespace {

using testing::FakeBenchmarkFileSystem;
using testing::LanguageGuard;
using Tester = DiskPerformanceTester;
using DataSize = Tester::DataSize;
using Kind = FakeBenchmarkFileSystem::Kind;
using Fault = FakeBenchmarkFileSystem::Fault;
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
}

class DiskPerformanceTesterTest : public ::testing::Test {
protected:
    LanguageGuard m_language { "en_US" };
    std::shared_ptr<EventLoopMainQueue> m_mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<FakeBenchmarkFileSystem> m_fileSystem;
    std::uint64_t m_payload { 64 * 1024 * 1024 };
    double m_randomDuration { 0.05 };
    std::shared_ptr<Tester> m_tester;
    int m_changes { 0 };
    std::vector<ProgressState> m_seen;

    // A fresh tester on a fresh file system with these faults.
    void startFresh(std::map<Fault, std::string> faults = {}, std::chrono::microseconds delay = 0us)
    {
        m_fileSystem = std::make_shared<FakeBenchmarkFileSystem>();
        m_fileSystem->faults = std::move(faults);
        m_fileSystem->delayPerOperation = delay;
        Tester::Configuration configuration;
        configuration.fileSystem = m_fileSystem;
        configuration.randomPhaseDuration = m_randomDuration;
        configuration.randomPhaseWorkingSetLimit = 1024 * 1024;
        configuration.automaticReportMessageLifetime = 50ms;
        configuration.payloadSizing = [this](const DataSize&, std::optional<std::uint64_t>) {
            return std::optional(Tester::EffectivePayload { m_payload, false });
        };
        m_tester = Tester::create(m_mainQueue, configuration);
        m_tester->setChangeHandler([this] {
            ++m_changes;
            if (m_tester->progressState())
                m_seen.push_back(*m_tester->progressState());
        });
        m_tester->startTest(volume());
    }

    static DiskVolumeDescriptor volume(const std::string& url = "/vol")
    {
        DiskVolumeDescriptor descriptor;
        descriptor.url = url;
        descriptor.displayName = "vol";
        descriptor.availableCapacityBytes = 1000000000000;
        return descriptor;
    }

    bool runUntilIdle()
    {
        return testing::driveUntil(
            *m_mainQueue, [&] { return !m_tester->isRunning() && !m_tester->hasBackgroundWork(); }, 60s);
    }

    // An ended test that left no test file, no pending removal, no progress and `reports` reports.
    void expectNothingLeft(std::size_t reports = 0)
    {
        EXPECT_EQ(m_fileSystem->reports().size(), reports);
        EXPECT_TRUE(m_fileSystem->files().empty());
        EXPECT_TRUE(m_tester->temporaryFileRegistry().pendingFiles().empty());
        EXPECT_FALSE(m_tester->progressState());
    }
};

TEST_F(DiskPerformanceTesterTest, SuccessfulRunChunksThePayloadIgnoresASecondStartAndCleansUp)
{
    auto unchosen = Tester::create(m_mainQueue);
    unchosen->startTest(std::nullopt);
    EXPECT_EQ(unchosen->errorMessage(), "Please choose a volume before running the test.");
    EXPECT_FALSE(unchosen->isRunning());

    m_payload = 1000000000;
    startFresh();
    ASSERT_TRUE(m_tester->isRunning());
    EXPECT_EQ(m_tester->progressState(), (ProgressState { BenchmarkPhase::randomWrite, 0, 0, std::nullopt }));
    int changes = m_changes;
    m_tester->startTest(volume("/other"));
    EXPECT_EQ(m_changes, changes) << "a second start while running changes nothing";
    ASSERT_TRUE(runUntilIdle());
    EXPECT_TRUE(m_fileSystem->sizesOf("/other/", Kind::write).empty());

    ASSERT_TRUE(m_tester->lastResult()) << m_tester->errorMessage().value_or("");
    const auto& result = *m_tester->lastResult();
    std::vector<std::size_t> expected(59, 16777216);
    expected.push_back(10144256);
    EXPECT_EQ(m_fileSystem->sizesOf("Tallowin_IO_Test_", Kind::write), expected);
    EXPECT_EQ(m_fileSystem->sizesOf("Tallowin_IO_Test_", Kind::read), expected);
    EXPECT_EQ(result.actualByteCount, 1000000000u);
    // The random region is filled by one extra write before the timed random phases.
    auto randomReads = std::ssize(m_fileSystem->sizesOf("Tallowin_IO_RandomTest_", Kind::read));
    auto randomWrites = std::ssize(m_fileSystem->sizesOf("Tallowin_IO_RandomTest_", Kind::write)) - 1;
    EXPECT_EQ(result.randomOperationCount, std::min(randomReads, randomWrites));
    EXPECT_GT(result.randomWriteIOPS, 0);
    EXPECT_GT(result.writeThroughput, 0);
    ASSERT_FALSE(m_seen.empty());
    EXPECT_TRUE(std::ranges::is_sorted(m_seen, {}, &ProgressState::fractionCompleted));
    EXPECT_TRUE(std::ranges::is_sorted(m_seen, {}, &ProgressState::phase));
    EXPECT_TRUE(std::ranges::any_of(m_seen, [](const ProgressState& state) {
        return state.phase == BenchmarkPhase::sequentialWrite && state.fractionCompleted == 0.5;
    })) << "the write phase ends at one half";
    EXPECT_EQ(m_seen.back().fractionCompleted, 1.0);
    EXPECT_FALSE(m_tester->errorMessage());
    expectNothingLeft(1);
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
    startFresh({ { Fault::create, "Tallowin-Performance-" } });
    ASSERT_TRUE(runUntilIdle());
    ASSERT_TRUE(m_tester->lastResult());
    EXPECT_EQ(m_tester->lastResult()->randomWriteIOPS, 0);
    EXPECT_TRUE(m_tester->lastResult()->timeline.empty());
    expectNothingLeft();
    EXPECT_FALSE(m_tester->automaticReportMessage());
    EXPECT_EQ(m_tester->errorMessage(), "Automatic performance report export failed:\nRead-only file system");
}

// A full disk and a read-only folder are shown on a real loop-mounted volume.
TEST_F(DiskPerformanceTesterTest, EveryFailingFileOperationEndsTheTestWithItsTextAndNoFiles)
{
    const struct {
        Fault fault;
        const char* pathPart;
        const char* message;
        const char* language = "en_US";
    } cases[] = {
        { Fault::create, "IO_Test_", "Failed to create the temporary test file." },
        { Fault::open, "RandomTest", "Unable to open the test file. Please verify read/write permissions." },
        { Fault::shortRead, "RandomTest", "Read phase failed. Please check the disk status." },
        { Fault::shortRead, "IO_Test_", "读取测试失败，请检查磁盘状态。", "zh-Hans" },
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.message);
        LanguageGuard language(failure.language);
        startFresh({ { failure.fault, failure.pathPart } });
        ASSERT_TRUE(runUntilIdle());
        EXPECT_EQ(m_tester->errorMessage(), failure.message);
        EXPECT_FALSE(m_tester->lastResult());
        expectNothingLeft();
    }
}

TEST_F(DiskPerformanceTesterTest, StopDuringEachPhaseLeavesNoFileAndIgnoresTheLateOutcome)
{
    m_payload = 100 * 16777216ull;
    m_randomDuration = 1.0;
    for (const char* part : { "Tallowin_IO_RandomTest_", "Tallowin_IO_Test_" }) {
        for (auto kind : { Kind::write, Kind::read }) {
            SCOPED_TRACE(std::string(part) + (kind == Kind::write ? " write" : " read"));
            startFresh({}, 2ms);
            ASSERT_TRUE(testing::driveUntil(
                *m_mainQueue, [&] { return !m_fileSystem->sizesOf(part, kind).empty(); }, 30s));
            m_tester->stopTest();
            EXPECT_FALSE(m_tester->isRunning()) << "stopping takes effect at once";
            int changes = m_changes;
            ASSERT_TRUE(runUntilIdle());
            EXPECT_EQ(m_changes, changes) << "the stopped test's late progress and outcome change nothing";
            EXPECT_FALSE(m_tester->errorMessage());
            EXPECT_FALSE(m_tester->lastResult());
            expectNothingLeft();
        }
    }
}

TEST_F(DiskPerformanceTesterTest, FileThatCannotBeRemovedStaysRegisteredAndIsRemovedByTheNextTest)
{
    startFresh({ { Fault::remove, "RandomTest" } });
    ASSERT_TRUE(runUntilIdle());
    ASSERT_TRUE(m_tester->lastResult());
    ASSERT_EQ(m_fileSystem->files().size(), 1u);
    EXPECT_EQ(m_tester->temporaryFileRegistry().pendingFiles(), m_fileSystem->files());

    m_fileSystem->faults.clear();
    m_tester->startTest(volume());
    ASSERT_TRUE(runUntilIdle());
    expectNothingLeft(2);
}

}
}
