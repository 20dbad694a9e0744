#include "FakeBenchmarkFileSystem.h"
#include "benchmark/BenchmarkEngine.h"
#include "benchmark/TemporaryFileRegistry.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace tallowin {
namespace {

using testing::EngineRun;
using Kind = testing::FakeBenchmarkFileSystem::Kind;
using Fault = testing::FakeBenchmarkFileSystem::Fault;
using namespace std::chrono_literals;

TEST(BenchmarkEngine, RunsOnTheCallingThreadAndHandsBackEveryFileItCreated)
{
    EngineRun engine;
    auto result = engine.run(3 * 16777216ull + 5);
    ASSERT_TRUE(result);
    EXPECT_EQ(engine.created.size(), 2u);
    EXPECT_EQ(engine.finished, engine.created) << "each file is handed back when its phases end";
    EXPECT_EQ(engine.fileSystem->sizesOf("IO_Test_", Kind::write),
        (std::vector<std::size_t> { 16777216, 16777216, 16777216, 5 }));
    auto randomReads = engine.fileSystem->sizesOf("RandomTest", Kind::read);
    ASSERT_FALSE(randomReads.empty());
    EXPECT_TRUE(std::ranges::all_of(randomReads, [](std::size_t size) { return size == 4096; }));
    ASSERT_FALSE(engine.published.empty());
    EXPECT_EQ(engine.published.back().fractionCompleted, 1.0);

    auto empty = EngineRun().run(0);
    ASSERT_TRUE(empty) << "a zero payload is a result, not a failure";
    EXPECT_EQ(empty->randomWriteIOPS, 0);
    EXPECT_TRUE(empty->timeline.empty());
}

TEST(BenchmarkEngine, FailuresAndExceptionsStillHandBackTheFiles)
{
    const struct {
        Fault fault;
        const char* pathPart;
        BenchmarkEngine::Failure failure;
    } cases[] = {
        { Fault::shortRead, "IO_Test_",
            BenchmarkEngine::TestError { DiskPerformanceTester::TestError::Code::readFailed, {} } },
        { Fault::exception, "RandomTest", BenchmarkEngine::UnexpectedFailure { "out of memory" } },
        { Fault::exception, "IO_Test_", BenchmarkEngine::UnexpectedFailure { "out of memory" } },
    };
    for (const auto& failing : cases) {
        SCOPED_TRACE(failing.pathPart);
        EngineRun engine;
        engine.fileSystem->faults = { { failing.fault, failing.pathPart } };
        auto result = engine.run(2 * 16777216ull);
        ASSERT_FALSE(result);
        EXPECT_EQ(result.error(), failing.failure);
        EXPECT_FALSE(engine.created.empty());
        EXPECT_EQ(engine.finished, engine.created);
    }
}

// A phase shorter than a second used to report a maximum below its average: its only sample
// counted its I/O time as a whole second.
TEST(BenchmarkEngine, MaximumIsNeverBelowTheAverageOfAShortPhase)
{
    EngineRun engine;
    engine.fileSystem->delayPerOperation = 20ms;
    auto result = engine.run(4 * 16777216ull);
    ASSERT_TRUE(result);
    EXPECT_LT(result->readDuration, 1.0) << "the case of a phase under a second";
    EXPECT_GE(result->maximumWriteThroughput, result->writeThroughput);
    EXPECT_GE(result->maximumReadThroughput, result->readThroughput);
    ASSERT_FALSE(result->timeline.empty());
    const auto& last = result->timeline.back();
    EXPECT_EQ(last.phase, TimelineSample::Phase::sequentialRead);
    EXPECT_EQ(last.throughput, result->maximumReadThroughput) << "the timeline shows the maximum";
    EXPECT_GT(last.throughput, static_cast<double>(last.bytesTransferred)) << "its real time, under a second";
}

TEST(TemporaryFileRegistry, DrainsOnlyFilesOfEndedRuns)
{
    TemporaryFileRegistry registry;
    auto stopped = Uuid::random(), next = Uuid::random();
    registry.beginRun(stopped);
    registry.registerFile("/vol/stopped", stopped);
    registry.beginRun(next);
    registry.registerFile("/vol/next", next);
    registry.registerFile("/vol/leftover");
    EXPECT_EQ(registry.drainPendingFiles(), std::vector<std::string> { "/vol/leftover" });

    registry.endRun(stopped);
    EXPECT_EQ(registry.drainPendingFiles(), std::vector<std::string> { "/vol/stopped" });
    EXPECT_TRUE(registry.drainPendingFiles().empty()) << "the running test's file stays";
    EXPECT_EQ(registry.pendingFiles(), std::vector<std::string> { "/vol/next" });

    registry.registerFile("/vol/late", stopped);
    EXPECT_EQ(registry.drainPendingFiles(), std::vector<std::string> { "/vol/late" })
        << "a file registered after its run ended is a leftover";
    registry.unregisterFile("/vol/next");
    registry.endRun(next);
    EXPECT_TRUE(registry.drainPendingFiles().empty());
}

}
}
