#include "BenchmarkTestSupport.h"
#include "FakeBenchmarkFileSystem.h"
#include "benchmark/DiskPerformanceTester.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <thread>

namespace tallowin {
namespace {

using testing::FakeBenchmarkFileSystem;
using testing::LanguageGuard;
using Tester = DiskPerformanceTester;
using DataSize = Tester::DataSize;
using Payload = Tester::EffectivePayload;
using Kind = FakeBenchmarkFileSystem::Kind;
using Fault = FakeBenchmarkFileSystem::Fault;
using namespace std::chrono_literals;

TEST(PayloadSizing, FullDiskKeepsRoomForTheRandomFileAndMetadata)
{
    const struct {
        DataSize size;
        std::optional<std::uint64_t> freeBytes;
        std::optional<Payload> payload;
    } cases[] = {
        { DataSize::gigabytes(10), 9500000000, std::nullopt },
        { DataSize::gigabytes(10), std::nullopt, Payload { 10000000000, false, 0 } },
        { DataSize::gigabytes(10), 10000000000, Payload { 10000000000, false, 0 } },
        { DataSize::availableSpace(), std::nullopt, std::nullopt },
        { DataSize::availableSpace(), 999999999, std::nullopt },
        // Just above a whole gigabyte: the write would have nowhere to put its metadata.
        { DataSize::availableSpace(), 1000004096, std::nullopt },
        { DataSize::availableSpace(), 2000004096, Payload { 1000000000, true, 1000004096 } },
        // A margin that fits inside the rounding costs nothing: not adjusted.
        { DataSize::availableSpace(), 12900000000, Payload { 12000000000, false, 900000000 } },
        { DataSize::availableSpace(), 100000000000, Payload { 98000000000, true, 2000000000 } },
    };
    for (const auto& sizing : cases) {
        SCOPED_TRACE(sizing.freeBytes.value_or(0));
        EXPECT_EQ(Tester::payloadFor(sizing.size, sizing.freeBytes), sizing.payload);
    }
    for (std::uint64_t freeBytes = 1000000000; freeBytes < 40000000000; freeBytes += 123456789) {
        if (auto payload = Tester::payloadFor(DataSize::availableSpace(), freeBytes)) {
            EXPECT_GE(freeBytes - payload->byteCount, Tester::fullDiskSafetyMargin(freeBytes)) << freeBytes;
            EXPECT_EQ(payload->byteCount % 1000000000, 0u);
            EXPECT_EQ(payload->bytesKeptFree, freeBytes - payload->byteCount);
        }
    }
}

class DiskPerformanceTesterTest : public ::testing::Test {
protected:
    LanguageGuard m_language { "en_US" };
    std::shared_ptr<EventLoopMainQueue> m_mainQueue = std::make_shared<EventLoopMainQueue>();
    std::shared_ptr<FakeBenchmarkFileSystem> m_fileSystem;
    std::uint64_t m_payload { 64 * 1024 * 1024 };
    double m_randomDuration { 0.05 };
    std::function<WallClockTime()> m_clock { wallClockNow };
    std::shared_ptr<Tester> m_tester;
    int m_changes { 0 };
    std::vector<ProgressState> m_seen;

    // A fresh tester on a fresh file system with these faults, started on /vol.
    void startFresh(std::map<Fault, std::string> faults = {}, std::chrono::microseconds delay = 0us)
    {
        m_fileSystem = std::make_shared<FakeBenchmarkFileSystem>();
        m_fileSystem->faults = std::move(faults);
        m_fileSystem->delayPerOperation = delay;
        Tester::Configuration configuration;
        configuration.fileSystem = m_fileSystem;
        configuration.randomPhaseDuration = m_randomDuration;
        configuration.randomPhaseWorkingSetLimit = 1024 * 1024;
        configuration.clock = m_clock;
        configuration.automaticReportMessageLifetime = 50ms;
        configuration.payloadSizing = [this](const DataSize&, std::optional<std::uint64_t>) {
            return std::optional(Payload { m_payload, false });
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
        return descriptor;
    }

    bool runUntilIdle()
    {
        return testing::driveUntil(
            *m_mainQueue, [&] { return !m_tester->isRunning() && !m_tester->hasBackgroundWork(); }, 60s);
    }
    bool runUntilWritten(const char* pathPart, Kind kind = Kind::write)
    {
        return testing::driveUntil(
            *m_mainQueue, [&] { return !m_fileSystem->sizesOf(pathPart, kind).empty(); }, 30s);
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
    // (The engine's own tests show the chunking.)
    EXPECT_EQ(m_fileSystem->sizesOf("IO_Test_", Kind::read), m_fileSystem->sizesOf("IO_Test_", Kind::write));
    EXPECT_EQ(m_tester->lastResult()->actualByteCount, 1000000000u);
    // The random region is filled by one extra write before the timed random phases.
    auto randomReads = std::ssize(m_fileSystem->sizesOf("RandomTest", Kind::read));
    auto randomWrites = std::ssize(m_fileSystem->sizesOf("RandomTest", Kind::write)) - 1;
    EXPECT_EQ(m_tester->lastResult()->randomOperationCount, std::min(randomReads, randomWrites));
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

    auto report = m_fileSystem->reports().begin()->first;
    EXPECT_EQ(report.rfind("/vol/Tallowin-Performance-", 0), 0u);
    EXPECT_EQ(m_tester->automaticReportMessage(),
        "Performance test finished. Report automatically saved to: " + report);
    EXPECT_TRUE(testing::driveUntil(
        *m_mainQueue, [&] { return !m_tester->automaticReportMessage(); }, 5s))
        << "the notice clears itself";
}

// Every failure, thrown or returned, in the test or in its report, ends with its own text and no
// files; the next run on the same tester (and its export queue) then succeeds. A full disk and a
// read-only folder are shown on a real loop-mounted volume.
TEST_F(DiskPerformanceTesterTest, ExceptionsInTheTestOrTheExportBecomeTheFailureText)
{
    const struct {
        Fault fault;
        const char* pathPart;
        const char* message;
        bool hasResult = false;
        const char* language = "en_US";
    } cases[] = {
        { Fault::create, "IO_Test_", "Failed to create the temporary test file." },
        { Fault::open, "RandomTest", "Unable to open the test file. Please verify read/write permissions." },
        { Fault::shortRead, "RandomTest", "Read phase failed. Please check the disk status." },
        { Fault::shortRead, "IO_Test_", "读取测试失败，请检查磁盘状态。", false, "zh-Hans" },
        { Fault::exception, "RandomTest", "The performance test failed: out of memory" },
        { Fault::create, "Tallowin-Performance-",
            "Automatic performance report export failed:\nRead-only file system", true },
        { Fault::exception, "Tallowin-Performance-",
            "Automatic performance report export failed:\ninvalid format specifier", true },
    };
    for (const auto& failure : cases) {
        SCOPED_TRACE(failure.message);
        LanguageGuard language(failure.language);
        startFresh({ { failure.fault, failure.pathPart } });
        ASSERT_TRUE(runUntilIdle());
        EXPECT_EQ(m_tester->errorMessage(), failure.message);
        EXPECT_EQ(m_tester->lastResult().has_value(), failure.hasResult);
        EXPECT_FALSE(m_tester->automaticReportMessage());
        expectNothingLeft();

        m_fileSystem->faults.clear();
        m_tester->startTest(volume());
        ASSERT_TRUE(runUntilIdle());
        EXPECT_FALSE(m_tester->errorMessage());
        expectNothingLeft(1);
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
            ASSERT_TRUE(runUntilWritten(part, kind));
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

TEST_F(DiskPerformanceTesterTest, StoppedRunsLateOutcomeLeavesTheNextRunsFilesAlone)
{
    // Stopped during its random writes, with 200 ms per operation: the first run's outcome (and
    // its clean-up) arrives well after the second run, started at once, created its random file.
    m_randomDuration = 0.5;
    m_payload = 4 * 16777216ull;
    startFresh({}, 200ms);
    ASSERT_TRUE(runUntilWritten("RandomTest"));
    m_tester->stopTest();
    m_tester->startTest(volume());
    ASSERT_TRUE(m_tester->isRunning());
    ASSERT_TRUE(runUntilIdle());
    EXPECT_FALSE(m_tester->errorMessage()) << *m_tester->errorMessage();
    EXPECT_TRUE(m_tester->lastResult());
    expectNothingLeft(1);
}

TEST_F(DiskPerformanceTesterTest, WallClockStepsChangeOnlyTheDate)
{
    // The wall clock jumps an hour ahead 0.1 s into the run (in its first random phase), as an
    // NTP step would.
    auto stepAt = std::chrono::steady_clock::now() + 100ms;
    m_clock
        = [stepAt] { return wallClockNow() + (std::chrono::steady_clock::now() > stepAt ? 3600.0 : 0.0); };
    m_randomDuration = 0.2;
    m_payload = 4 * 16777216ull;
    auto before = wallClockNow();
    startFresh();
    ASSERT_TRUE(runUntilIdle());
    ASSERT_TRUE(m_tester->lastResult()) << m_tester->errorMessage().value_or("");
    const auto& result = *m_tester->lastResult();
    EXPECT_LT(result.writeDuration, 60);
    EXPECT_LT(result.readDuration, 60);
    auto randomOperations = m_fileSystem->sizesOf("RandomTest", Kind::read).size();
    EXPECT_GT(randomOperations, 10u) << "the random phases ran their time, not one operation";
    EXPECT_NEAR(
        result.randomReadIOPS, static_cast<double>(randomOperations) / 0.2, result.randomReadIOPS * 0.5);
    for (const auto& sample : result.timeline)
        EXPECT_LT(sample.timestamp, 60);
    for (const auto& state : m_seen)
        EXPECT_LT(state.elapsedTime, 60);
    EXPECT_GE(result.finishedAt, before + 3600) << "the date is the wall clock's";
}

TEST_F(DiskPerformanceTesterTest, MainThreadEntryPointsRefuseOtherThreads)
{
#ifdef NDEBUG
    GTEST_SKIP() << "the check is compiled out of release builds";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto tester = Tester::create(m_mainQueue);
    EXPECT_DEATH(std::thread([&] { tester->startTest(volume()); }).join(), "main queue");
    EXPECT_DEATH(std::thread([&] { tester->setDataSize(DataSize::gigabytes(1)); }).join(), "main queue");
    EXPECT_DEATH(std::thread([&] { tester->effectivePayload(volume()); }).join(), "main queue");
    tester->setDataSize(DataSize::gigabytes(1));
    EXPECT_EQ(tester->dataSize(), DataSize::gigabytes(1)) << "the main thread itself passes";
#endif
}

}
}
