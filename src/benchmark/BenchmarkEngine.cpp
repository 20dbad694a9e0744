#include "benchmark/BenchmarkEngine.h"

#include "benchmark/PerformanceReport.h"
#include "benchmark/ProgressTracker.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <exception>
#include <new>
#include <random>
#include <sys/random.h>
#include <vector>

namespace tallowin {

double monotonicSeconds()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

namespace {

using TestError = BenchmarkEngine::TestError;
using ErrorCode = TestError::Code;
using Phase = BenchmarkPhase;

using RunFailure = BenchmarkEngine::Failure;

template<typename T> using RunResult = Expected<T, RunFailure>;

Unexpected<RunFailure> failure(ErrorCode code)
{
    return Unexpected(RunFailure(TestError { code, {} }));
}

Unexpected<RunFailure> cancelled()
{
    return Unexpected(RunFailure(BenchmarkEngine::Cancelled {}));
}

// What the phase routines share during one run.
struct RunContext {
    const BenchmarkEngine::Environment& environment;
    std::string directory;
    double testStart { 0 };

    BenchmarkFileSystem& fileSystem() const { return *environment.fileSystem; }
    double now() const { return environment.monotonicClock(); }
    bool isCancelled() const { return environment.isCancelled(); }
    void publish(const ProgressState& state) const { environment.publish(state); }
    void publishIfDue(const std::optional<ProgressState>& state) const
    {
        if (state)
            publish(*state);
    }
    std::optional<StatisticsSnapshot> deviceCounters() const
    {
        if (!environment.readDeviceCounters)
            return std::nullopt;
        return environment.readDeviceCounters();
    }
};

// What the device moved between two readings of its counters; nothing when either failed.
std::optional<StatisticsSnapshot> trafficOf(
    const std::optional<StatisticsSnapshot>& start, const std::optional<StatisticsSnapshot>& end)
{
    if (!start || !end)
        return std::nullopt;
    return trafficBetween(*start, *end);
}

// Hands a test file to the environment's clean-up when the phases that use it end, however they
// end (an error, a cancellation or an exception unwinding the run).
class RemovalOnExit {
public:
    RemovalOnExit(const BenchmarkEngine::Environment& environment, std::string path)
        : m_environment(environment)
        , m_path(std::move(path))
    { }
    ~RemovalOnExit() { m_environment.fileFinished(m_path); }
    RemovalOnExit(const RemovalOnExit&) = delete;
    RemovalOnExit& operator=(const RemovalOnExit&) = delete;

private:
    const BenchmarkEngine::Environment& m_environment;
    std::string m_path;
};

// 4096 bytes from the kernel's secure generator, each the low byte of an 8-byte draw.
std::vector<std::byte> randomBlock(std::size_t size)
{
    std::vector<std::uint64_t> draws(size);
    auto* bytes = reinterpret_cast<char*>(draws.data());
    std::size_t wanted = draws.size() * sizeof(std::uint64_t);
    std::size_t got = 0;
    while (got < wanted) {
        auto n = getrandom(bytes + got, wanted - got, 0);
        if (n > 0)
            got += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR)
            break; // cannot happen once the pool is initialised; the remaining draws stay zero
    }
    std::vector<std::byte> block(size);
    for (std::size_t i = 0; i < size; ++i)
        block[i] = static_cast<std::byte>(draws[i] & 0xFF);
    return block;
}

struct RandomOutcome {
    double writeIOPS { 0 };
    double readIOPS { 0 };
    std::int64_t operationCount { 0 };
    std::uint64_t bytesWritten { 0 };
    std::uint64_t bytesRead { 0 };
    std::optional<StatisticsSnapshot> writeTraffic;
    std::optional<StatisticsSnapshot> readTraffic;
    friend bool operator==(const RandomOutcome&, const RandomOutcome&) = default;
};

struct SequentialOutcome {
    std::vector<TimelineSample> timeline;
    double duration { 0 };
    double throughput { 0 };
    double maximum { 0 };
    std::optional<StatisticsSnapshot> traffic;
    friend bool operator==(const SequentialOutcome&, const SequentialOutcome&) = default;
};

constexpr double minimumElapsed = 2.220446049250313e-16;

// Gives the random reads real data to find: a file only extended to its length is a hole, and
// reading a hole costs the device nothing. The region is written once and flushed, so the random
// writes overwrite allocated blocks and the random reads (after the write phase drops the cached
// pages) find data on the device. The pages stay cached for the write phase: evicting them would
// turn every unaligned 4 KiB write into a read of the pages it touches.
RunResult<void> fillWorkingSet(const RunContext& context, TestFileHandle& file, std::uint64_t workingSet,
    const std::vector<std::byte>& block)
{
    constexpr std::size_t chunkSize = 4 * 1024 * 1024;
    std::vector<std::byte> chunk(chunkSize);
    for (std::size_t i = 0; i < chunkSize; i += block.size())
        std::copy(block.begin(), block.end(), chunk.begin() + static_cast<std::ptrdiff_t>(i));
    for (std::uint64_t remaining = workingSet; remaining > 0;) {
        if (context.isCancelled())
            return cancelled();
        auto size = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, chunkSize));
        if (!file.write(std::span(chunk.data(), size)))
            return failure(ErrorCode::writeFailed);
        remaining -= size;
    }
    if (!file.synchronize())
        return failure(ErrorCode::writeFailed);
    return {};
}

struct TimedRun {
    std::int64_t operations { 0 };
    double start { 0 };
};

// Repeats one random operation until the phase's deadline, publishing progress as it goes.
template<typename Operation>
RunResult<TimedRun> repeatUntilDeadline(const RunContext& context, ProgressTracker& tracker, Phase phase,
    std::size_t blockSize, Operation&& operation)
{
    TimedRun run;
    run.start = context.now();
    auto deadline = run.start + context.environment.randomPhaseDuration;
    while (context.now() < deadline) {
        if (context.isCancelled())
            return cancelled();
        if (auto done = operation(); !done)
            return Unexpected(done.error());
        ++run.operations;
        auto now = context.now();
        context.publishIfDue(tracker.advance(phase, static_cast<double>(blockSize), now, context.testStart,
            now < deadline ? ProgressTracker::Publication::whenDue : ProgressTracker::Publication::forced));
    }
    return run;
}

// Moves the payload in sequential chunks through `transfer`, sampling the timeline and publishing
// progress after each chunk.
template<typename Transfer>
RunResult<void> transferSequentially(const RunContext& context, ProgressTracker& tracker, Phase phase,
    TimelineSampler& sampler, std::uint64_t payload, Transfer&& transfer)
{
    constexpr auto chunkSize = static_cast<std::uint64_t>(DiskPerformanceTester::sequentialBlockSize);
    for (std::uint64_t remaining = payload; remaining > 0;) {
        if (context.isCancelled())
            return cancelled();
        auto chunk = std::min(remaining, chunkSize);
        auto chunkStart = context.now();
        if (auto done = transfer(chunk); !done)
            return Unexpected(done.error());
        auto now = context.now();
        sampler.recordChunk(chunk, now - chunkStart, now - context.testStart);
        remaining -= chunk;
        auto progressNow = context.now();
        context.publishIfDue(tracker.advance(phase, static_cast<double>(chunk), progressNow,
            context.testStart, ProgressTracker::Publication::whenDue));
    }
    sampler.finish(context.now() - context.testStart);
    return {};
}

// Publishes the end of a sequential phase and measures it.
SequentialOutcome finishSequential(const RunContext& context, ProgressTracker& tracker, Phase phase,
    double phaseStart, std::uint64_t payload, TimelineSampler& sampler)
{
    context.publishIfDue(
        tracker.advance(phase, 0, context.now(), context.testStart, ProgressTracker::Publication::forced));
    SequentialOutcome outcome;
    outcome.duration = context.now() - phaseStart;
    outcome.throughput = outcome.duration > 0 ? static_cast<double>(payload) / outcome.duration : 0;
    // The phase moved its bytes at its average rate, so no moment of it was slower than that at
    // its best: the maximum never shows less, even if the samples' one-second floor hid it.
    outcome.maximum = std::max(sampler.maximumThroughput(), outcome.throughput);
    outcome.timeline = sampler.takeTimeline();
    return outcome;
}

RunResult<RandomOutcome> runRandomPhases(
    const RunContext& context, ProgressTracker& tracker, std::uint64_t payload)
{
    auto& fileSystem = context.fileSystem();
    std::string path
        = pathInDirectory(context.directory, "Tallowin_IO_RandomTest_" + Uuid::random().toString());
    if (!fileSystem.createEmptyFile(path))
        return failure(ErrorCode::temporaryFileCreationFailed);
    context.environment.fileCreated(path);
    // Declared before the handles, so they are closed before the removal is scheduled.
    RemovalOnExit removal(context.environment, path);

    std::uint64_t workingSet = std::min(payload, context.environment.randomPhaseWorkingSetLimit);
    auto blockSize
        = static_cast<std::size_t>(std::min<std::uint64_t>(payload, DiskPerformanceTester::randomBlockSize));
    if (payload == 0)
        return RandomOutcome {};

    auto opened = fileSystem.open(path, BenchmarkFileSystem::OpenMode::update);
    if (!opened)
        return failure(ErrorCode::fileHandleUnavailable);
    auto writer = std::move(opened).value();
    if (!writer->setLength(workingSet))
        return failure(ErrorCode::temporaryFileCreationFailed);

    auto block = randomBlock(static_cast<std::size_t>(DiskPerformanceTester::randomBlockSize));
    if (auto filled = fillWorkingSet(context, *writer, workingSet, block); !filled)
        return Unexpected(RunFailure(filled.error()));

    std::mt19937_64 generator(std::random_device {}());
    std::uniform_int_distribution<std::uint64_t> offsets(0, workingSet - blockSize);
    auto nextOffset = [&]() -> std::uint64_t { return payload <= 4096 ? 0 : offsets(generator); };

    // Random writes: the same block at random byte offsets until the deadline.
    auto writeCountersStart = context.deviceCounters();
    auto writes
        = repeatUntilDeadline(context, tracker, Phase::randomWrite, blockSize, [&]() -> RunResult<void> {
              if (!writer->writeAt(nextOffset(), std::span(block.data(), blockSize)))
                  return failure(ErrorCode::writeFailed);
              return {};
          });
    if (!writes)
        return Unexpected(writes.error());
    if (!writer->synchronize())
        return failure(ErrorCode::writeFailed);
    auto writeEnd = context.now();
    auto writeTraffic = trafficOf(writeCountersStart, context.deviceCounters());
    context.publish(tracker.completePhase(Phase::randomWrite, writeEnd, context.testStart));
    double writeElapsed = writeEnd - writes->start;
    // The reads must come from the device, not from the pages just written.
    writer->dropCachedPages();

    auto openedReader = fileSystem.open(path, BenchmarkFileSystem::OpenMode::readOnly);
    if (!openedReader)
        return failure(ErrorCode::fileHandleUnavailable);
    auto reader = std::move(openedReader).value();
    reader->adviseAccessPattern(TestFileHandle::AccessPattern::random);
    std::vector<std::byte> readBuffer(blockSize);
    auto readCountersStart = context.deviceCounters();
    auto reads
        = repeatUntilDeadline(context, tracker, Phase::randomRead, blockSize, [&]() -> RunResult<void> {
              auto got = reader->readAt(nextOffset(), readBuffer);
              if (!got || *got != blockSize)
                  return failure(ErrorCode::readFailed);
              return {};
          });
    if (!reads)
        return Unexpected(reads.error());
    auto readEnd = context.now();
    auto readTraffic = trafficOf(readCountersStart, context.deviceCounters());
    context.publish(tracker.completePhase(Phase::randomRead, readEnd, context.testStart));
    double readElapsed = readEnd - reads->start;

    RandomOutcome outcome;
    outcome.readIOPS = static_cast<double>(reads->operations) / std::max(readElapsed, minimumElapsed);
    outcome.writeIOPS = static_cast<double>(writes->operations) / std::max(writeElapsed, minimumElapsed);
    outcome.operationCount = std::min(writes->operations, reads->operations);
    outcome.bytesWritten = static_cast<std::uint64_t>(writes->operations) * blockSize;
    outcome.bytesRead = static_cast<std::uint64_t>(reads->operations) * blockSize;
    outcome.writeTraffic = writeTraffic;
    outcome.readTraffic = readTraffic;
    reader->close();
    writer->close();
    return outcome;
}

RunResult<SequentialOutcome> runSequentialWrite(
    const RunContext& context, ProgressTracker& tracker, const std::string& path, std::uint64_t payload)
{
    auto opened = context.fileSystem().open(path, BenchmarkFileSystem::OpenMode::writeOnly);
    if (!opened)
        return failure(ErrorCode::fileHandleUnavailable);
    auto file = std::move(opened).value();
    std::vector<std::byte> zeros(DiskPerformanceTester::sequentialBlockSize);
    auto countersStart = context.deviceCounters();
    auto phaseStart = context.now();
    TimelineSampler sampler(TimelineSample::Phase::sequentialWrite, {});
    auto written = transferSequentially(context, tracker, Phase::sequentialWrite, sampler, payload,
        [&](std::uint64_t chunk) -> RunResult<void> {
            bool ok = chunk == zeros.size() ? file->write(zeros).has_value()
                                            : file->write(std::vector<std::byte>(chunk)).has_value();
            if (!ok)
                return failure(ErrorCode::writeFailed);
            return {};
        });
    if (!written)
        return Unexpected(written.error());
    if (!file->synchronize())
        return failure(ErrorCode::writeFailed);
    auto traffic = trafficOf(countersStart, context.deviceCounters());
    auto outcome = finishSequential(context, tracker, Phase::sequentialWrite, phaseStart, payload, sampler);
    outcome.traffic = traffic;
    // Everything is on the device now; dropping the cached copy makes the read phase read it
    // from there instead of from memory.
    file->dropCachedPages();
    file->close();
    return outcome;
}

RunResult<SequentialOutcome> runSequentialRead(const RunContext& context, ProgressTracker& tracker,
    const std::string& path, std::uint64_t payload, std::vector<TimelineSample> timelineSoFar)
{
    auto opened = context.fileSystem().open(path, BenchmarkFileSystem::OpenMode::readOnly);
    if (!opened)
        return failure(ErrorCode::fileHandleUnavailable);
    auto file = std::move(opened).value();
    file->dropCachedPages();
    file->adviseAccessPattern(TestFileHandle::AccessPattern::sequential);
    std::vector<std::byte> buffer(DiskPerformanceTester::sequentialBlockSize);
    TimelineSampler sampler(TimelineSample::Phase::sequentialRead, std::move(timelineSoFar));
    auto countersStart = context.deviceCounters();
    auto phaseStart = context.now();
    auto read = transferSequentially(context, tracker, Phase::sequentialRead, sampler, payload,
        [&](std::uint64_t chunk) -> RunResult<void> {
            auto got = file->read(std::span(buffer.data(), static_cast<std::size_t>(chunk)));
            if (!got || *got != chunk)
                return failure(ErrorCode::readFailed);
            return {};
        });
    if (!read)
        return Unexpected(read.error());
    auto traffic = trafficOf(countersStart, context.deviceCounters());
    auto outcome = finishSequential(context, tracker, Phase::sequentialRead, phaseStart, payload, sampler);
    outcome.traffic = traffic;
    file->close();
    return outcome;
}

RunResult<BenchmarkEngine::Result> runTest(
    RunContext& context, const BenchmarkEngine::DataSize& dataSize, std::uint64_t payload, bool isAdjusted)
{
    if (context.isCancelled())
        return cancelled();
    context.testStart = context.now();
    auto total = static_cast<double>(payload);
    ProgressTracker tracker({ { Phase::randomWrite, 0.0 }, { Phase::randomRead, 0.0 },
        { Phase::sequentialWrite, total }, { Phase::sequentialRead, total } });

    auto random = runRandomPhases(context, tracker, payload);
    if (!random)
        return Unexpected(RunFailure(random.error()));

    std::string path = pathInDirectory(context.directory, "Tallowin_IO_Test_" + Uuid::random().toString());
    if (!context.fileSystem().createEmptyFile(path))
        return failure(ErrorCode::temporaryFileCreationFailed);
    context.environment.fileCreated(path);
    RemovalOnExit removal(context.environment, path);

    auto written = runSequentialWrite(context, tracker, path, payload);
    if (!written)
        return Unexpected(RunFailure(written.error()));
    auto read = runSequentialRead(context, tracker, path, payload, written->timeline);
    if (!read)
        return Unexpected(RunFailure(read.error()));

    BenchmarkEngine::Result result;
    result.id = Uuid::random();
    result.dataSize = dataSize;
    result.actualByteCount = payload;
    result.isPayloadAdjusted = isAdjusted;
    result.writeDuration = written->duration;
    result.writeThroughput = written->throughput;
    result.readDuration = read->duration;
    result.readThroughput = read->throughput;
    result.randomWriteIOPS = random->writeIOPS;
    result.randomReadIOPS = random->readIOPS;
    result.randomBlockSize = DiskPerformanceTester::randomBlockSize;
    result.randomOperationCount = random->operationCount;
    result.maximumWriteThroughput = written->maximum;
    result.maximumReadThroughput = read->maximum;
    result.timeline = std::move(read->timeline);
    result.finishedAt = context.environment.wallClock();

    const auto& ceiling = context.environment.linkCeiling;
    auto phase = [&](Phase which, std::uint64_t counted, double throughput,
                     const std::optional<StatisticsSnapshot>& traffic) {
        return PhaseHonesty { which, counted, throughput, traffic,
            phaseWarnings(which, counted, throughput, traffic, ceiling) };
    };
    auto block = static_cast<double>(DiskPerformanceTester::randomBlockSize);
    result.honesty.linkCeiling = ceiling;
    result.honesty.phases = {
        phase(Phase::randomWrite, random->bytesWritten, random->writeIOPS * block, random->writeTraffic),
        phase(Phase::randomRead, random->bytesRead, random->readIOPS * block, random->readTraffic),
        phase(Phase::sequentialWrite, payload, written->throughput, written->traffic),
        phase(Phase::sequentialRead, payload, read->throughput, read->traffic),
    };
    return result;
}

}

BenchmarkEngine::BenchmarkEngine(Environment environment)
    : m_environment(std::move(environment))
{ }

Expected<BenchmarkEngine::Result, BenchmarkEngine::Failure> BenchmarkEngine::run(
    const std::string& directory, const DataSize& dataSize, std::uint64_t payload, bool isPayloadAdjusted)
{
    // The files' RemovalOnExit guards have run by the time an exception arrives here, so nothing
    // the run created is forgotten.
    try {
        RunContext context { m_environment, directory };
        return runTest(context, dataSize, payload, isPayloadAdjusted);
    } catch (const std::bad_alloc&) {
        return Unexpected(Failure(UnexpectedFailure { "out of memory" }));
    } catch (const std::exception& error) {
        return Unexpected(Failure(UnexpectedFailure { error.what() }));
    } catch (...) {
        return Unexpected(Failure(UnexpectedFailure { "unknown error" }));
    }
}

}
