#include "benchmark/DiskPerformanceTester.h"

#include "benchmark/PerformanceReport.h"
#include "benchmark/ProgressTracker.h"
#include "core/Language.h"
#include "core/Messages.h"

#include <algorithm>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <condition_variable>
#include <limits>
#include <mutex>
#include <random>
#include <sys/random.h>
#include <variant>

namespace tallowin {

namespace {

using TestError = DiskPerformanceTester::TestError;
using ErrorCode = TestError::Code;
using Phase = BenchmarkPhase;

struct TestCancelled {
    friend bool operator==(const TestCancelled&, const TestCancelled&) = default;
};

using RunFailure = std::variant<TestCancelled, TestError>;

template<typename T> using RunResult = Expected<T, RunFailure>;

Unexpected<RunFailure> failure(ErrorCode code)
{
    return Unexpected(RunFailure(TestError { code, {} }));
}

Unexpected<RunFailure> cancelled()
{
    return Unexpected(RunFailure(TestCancelled {}));
}

// A hand-off to the main thread that the test thread waits for, unless the test is stopped
// meanwhile (then the main thread may never get to it, for instance when the program ends).
class Handoff {
public:
    void signal()
    {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_condition.notify_all();
    }
    void wait(std::stop_token stop)
    {
        std::unique_lock lock(m_mutex);
        m_condition.wait(lock, stop, [this] { return m_done; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable_any m_condition;
    bool m_done { false };
};

// Everything the test thread uses. It holds the tester only weakly, through `publish`.
struct RunContext {
    std::stop_token stop;
    std::shared_ptr<BenchmarkFileSystem> fileSystem;
    std::shared_ptr<TemporaryFileCleanup> cleanup;
    std::function<WallClockTime()> clock;
    double randomPhaseDuration { 5.0 };
    std::uint64_t workingSetLimit { 0 };
    std::function<void(const ProgressState&)> publish;
    std::string directory;
    WallClockTime testStart { 0 };

    bool isCancelled() const { return stop.stop_requested(); }
    void publishIfDue(const std::optional<ProgressState>& state) const
    {
        if (state)
            publish(*state);
    }
};

// Schedules the removal of a test file when the phases that use it end, however they end.
class RemovalOnExit {
public:
    RemovalOnExit(std::shared_ptr<TemporaryFileCleanup> cleanup, std::string path)
        : m_cleanup(std::move(cleanup))
        , m_path(std::move(path))
    { }
    ~RemovalOnExit() { m_cleanup->removeTemporaryFile(m_path); }
    RemovalOnExit(const RemovalOnExit&) = delete;
    RemovalOnExit& operator=(const RemovalOnExit&) = delete;

private:
    std::shared_ptr<TemporaryFileCleanup> m_cleanup;
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
    friend bool operator==(const RandomOutcome&, const RandomOutcome&) = default;
};

struct SequentialOutcome {
    std::vector<TimelineSample> timeline;
    double duration { 0 };
    double throughput { 0 };
    double maximum { 0 };
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
    if (!file.seek(0))
        return failure(ErrorCode::fileHandleUnavailable);
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
    WallClockTime start { 0 };
};

// Repeats one random operation until the phase's deadline, publishing progress as it goes.
template<typename Operation>
RunResult<TimedRun> repeatUntilDeadline(const RunContext& context, ProgressTracker& tracker, Phase phase,
    std::size_t blockSize, Operation&& operation)
{
    TimedRun run;
    run.start = context.clock();
    auto deadline = run.start + context.randomPhaseDuration;
    while (context.clock() < deadline) {
        if (context.isCancelled())
            return cancelled();
        if (auto done = operation(); !done)
            return Unexpected(done.error());
        ++run.operations;
        auto now = context.clock();
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
        auto chunkStart = context.clock();
        if (auto done = transfer(chunk); !done)
            return Unexpected(done.error());
        auto now = context.clock();
        sampler.recordChunk(chunk, now - chunkStart, now - context.testStart);
        remaining -= chunk;
        auto progressNow = context.clock();
        context.publishIfDue(tracker.advance(phase, static_cast<double>(chunk), progressNow,
            context.testStart, ProgressTracker::Publication::whenDue));
    }
    sampler.finish(context.clock() - context.testStart);
    return {};
}

// Publishes the end of a sequential phase and measures it.
SequentialOutcome finishSequential(const RunContext& context, ProgressTracker& tracker, Phase phase,
    WallClockTime phaseStart, std::uint64_t payload, TimelineSampler& sampler)
{
    context.publishIfDue(
        tracker.advance(phase, 0, context.clock(), context.testStart, ProgressTracker::Publication::forced));
    SequentialOutcome outcome;
    outcome.duration = context.clock() - phaseStart;
    outcome.throughput = outcome.duration > 0 ? static_cast<double>(payload) / outcome.duration : 0;
    outcome.maximum = sampler.maximumThroughput();
    outcome.timeline = sampler.takeTimeline();
    return outcome;
}

RunResult<RandomOutcome> runRandomPhases(
    const RunContext& context, ProgressTracker& tracker, std::uint64_t payload)
{
    auto& fileSystem = *context.fileSystem;
    std::string path
        = pathInDirectory(context.directory, "Tallowin_IO_RandomTest_" + Uuid::random().toString());
    if (!fileSystem.createEmptyFile(path))
        return failure(ErrorCode::temporaryFileCreationFailed);
    context.cleanup->registry().registerFile(path);
    // Declared before the handles, so they are closed before the removal is scheduled.
    RemovalOnExit removal(context.cleanup, path);

    std::uint64_t workingSet = std::min(payload, context.workingSetLimit);
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
    auto writes
        = repeatUntilDeadline(context, tracker, Phase::randomWrite, blockSize, [&]() -> RunResult<void> {
              if (!writer->seek(nextOffset()))
                  return failure(ErrorCode::fileHandleUnavailable);
              if (!writer->write(std::span(block.data(), blockSize)))
                  return failure(ErrorCode::writeFailed);
              return {};
          });
    if (!writes)
        return Unexpected(writes.error());
    if (!writer->synchronize())
        return failure(ErrorCode::writeFailed);
    auto writeEnd = context.clock();
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
    auto reads
        = repeatUntilDeadline(context, tracker, Phase::randomRead, blockSize, [&]() -> RunResult<void> {
              if (!reader->seek(nextOffset()))
                  return failure(ErrorCode::fileHandleUnavailable);
              auto got = reader->read(readBuffer);
              if (!got || *got != blockSize)
                  return failure(ErrorCode::readFailed);
              return {};
          });
    if (!reads)
        return Unexpected(reads.error());
    auto readEnd = context.clock();
    context.publish(tracker.completePhase(Phase::randomRead, readEnd, context.testStart));
    double readElapsed = readEnd - reads->start;

    RandomOutcome outcome;
    outcome.readIOPS = static_cast<double>(reads->operations) / std::max(readElapsed, minimumElapsed);
    outcome.writeIOPS = static_cast<double>(writes->operations) / std::max(writeElapsed, minimumElapsed);
    outcome.operationCount = std::min(writes->operations, reads->operations);
    reader->close();
    writer->close();
    return outcome;
}

RunResult<SequentialOutcome> runSequentialWrite(
    const RunContext& context, ProgressTracker& tracker, const std::string& path, std::uint64_t payload)
{
    auto opened = context.fileSystem->open(path, BenchmarkFileSystem::OpenMode::writeOnly);
    if (!opened)
        return failure(ErrorCode::fileHandleUnavailable);
    auto file = std::move(opened).value();
    std::vector<std::byte> zeros(DiskPerformanceTester::sequentialBlockSize);
    auto phaseStart = context.clock();
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
    auto outcome = finishSequential(context, tracker, Phase::sequentialWrite, phaseStart, payload, sampler);
    // Everything is on the device now; dropping the cached copy makes the read phase read it
    // from there instead of from memory.
    file->dropCachedPages();
    file->close();
    return outcome;
}

RunResult<SequentialOutcome> runSequentialRead(const RunContext& context, ProgressTracker& tracker,
    const std::string& path, std::uint64_t payload, std::vector<TimelineSample> timelineSoFar)
{
    auto opened = context.fileSystem->open(path, BenchmarkFileSystem::OpenMode::readOnly);
    if (!opened)
        return failure(ErrorCode::fileHandleUnavailable);
    auto file = std::move(opened).value();
    file->dropCachedPages();
    file->adviseAccessPattern(TestFileHandle::AccessPattern::sequential);
    std::vector<std::byte> buffer(DiskPerformanceTester::sequentialBlockSize);
    TimelineSampler sampler(TimelineSample::Phase::sequentialRead, std::move(timelineSoFar));
    auto phaseStart = context.clock();
    auto read = transferSequentially(context, tracker, Phase::sequentialRead, sampler, payload,
        [&](std::uint64_t chunk) -> RunResult<void> {
            auto got = file->read(std::span(buffer.data(), static_cast<std::size_t>(chunk)));
            if (!got || *got != chunk)
                return failure(ErrorCode::readFailed);
            return {};
        });
    if (!read)
        return Unexpected(read.error());
    auto outcome = finishSequential(context, tracker, Phase::sequentialRead, phaseStart, payload, sampler);
    file->close();
    return outcome;
}

RunResult<DiskPerformanceTester::Result> runTest(RunContext& context,
    const DiskPerformanceTester::DataSize& dataSize, std::uint64_t payload, bool isAdjusted)
{
    if (context.isCancelled())
        return cancelled();
    context.testStart = context.clock();
    auto total = static_cast<double>(payload);
    ProgressTracker tracker({ { Phase::randomWrite, 0.0 }, { Phase::randomRead, 0.0 },
        { Phase::sequentialWrite, total }, { Phase::sequentialRead, total } });

    auto random = runRandomPhases(context, tracker, payload);
    if (!random)
        return Unexpected(RunFailure(random.error()));

    std::string path = pathInDirectory(context.directory, "Tallowin_IO_Test_" + Uuid::random().toString());
    if (!context.fileSystem->createEmptyFile(path))
        return failure(ErrorCode::temporaryFileCreationFailed);
    context.cleanup->registry().registerFile(path);
    RemovalOnExit removal(context.cleanup, path);

    auto written = runSequentialWrite(context, tracker, path, payload);
    if (!written)
        return Unexpected(RunFailure(written.error()));
    auto read = runSequentialRead(context, tracker, path, payload, written->timeline);
    if (!read)
        return Unexpected(RunFailure(read.error()));

    DiskPerformanceTester::Result result;
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
    result.finishedAt = context.clock();
    return result;
}

}

struct DiskPerformanceTester::TestTask {
    std::shared_ptr<std::atomic<bool>> finished { std::make_shared<std::atomic<bool>>(false) };
    std::jthread thread;
};

struct DiskPerformanceTester::Outcome {
    RunResult<Result> result;
};

std::string DiskPerformanceTester::DataSize::id() const
{
    return kind == Kind::availableSpace ? "availableSpace" : "gigabytes_" + std::to_string(gigabyteCount);
}

std::vector<DiskPerformanceTester::DataSize> DiskPerformanceTester::DataSize::allCases()
{
    return { availableSpace(), gigabytes(1), gigabytes(10), gigabytes(100), gigabytes(1000),
        gigabytes(10000) };
}

std::string DiskPerformanceTester::TestError::localizedDescription() const
{
    switch (code) {
    case Code::reportWriteFailed:
        return Messages::reportExportFailure(message);
    case Code::volumeUnavailable:
        return localized("Please choose a volume before running the test.", "请先选择需要测试的卷。");
    case Code::insufficientFreeSpace:
        return localized(
            "Not enough free space to run the performance test.", "剩余容量不足，无法运行性能测试。");
    case Code::temporaryFileCreationFailed:
        return localized("Failed to create the temporary test file.", "无法创建临时测试文件。");
    case Code::fileHandleUnavailable:
        return localized("Unable to open the test file. Please verify read/write permissions.",
            "无法打开测试文件，请检查读写权限。");
    case Code::writeFailed:
        return localized(
            "Write phase failed. Please check the disk status.", "写入测试失败，请检查磁盘状态。");
    case Code::readFailed:
        return localized(
            "Read phase failed. Please check the disk status.", "读取测试失败，请检查磁盘状态。");
    case Code::noResultToExport:
        return localized("No performance test result available for export.", "暂无可导出的性能测试结果。");
    }
    return {};
}

std::optional<DiskPerformanceTester::EffectivePayload> DiskPerformanceTester::payloadFor(
    const DataSize& dataSize, std::optional<std::uint64_t> freeBytes)
{
    constexpr std::uint64_t gigabyte = 1000000000;
    if (dataSize.kind == DataSize::Kind::gigabytes) {
        auto bytes = static_cast<std::uint64_t>(std::max<std::int64_t>(dataSize.gigabyteCount, 0)) * gigabyte;
        if (freeBytes && bytes > *freeBytes)
            return std::nullopt;
        return EffectivePayload { bytes, false };
    }
    if (freeBytes && *freeBytes >= gigabyte)
        return EffectivePayload { *freeBytes / gigabyte * gigabyte, false };
    return std::nullopt;
}

std::shared_ptr<DiskPerformanceTester> DiskPerformanceTester::create(std::shared_ptr<MainQueue> mainQueue)
{
    return create(std::move(mainQueue), Configuration {});
}

std::shared_ptr<DiskPerformanceTester> DiskPerformanceTester::create(
    std::shared_ptr<MainQueue> mainQueue, Configuration configuration)
{
    if (!configuration.fileSystem)
        configuration.fileSystem = makePosixFileSystem();
    if (!configuration.clock)
        configuration.clock = wallClockNow;
    if (!configuration.payloadSizing)
        configuration.payloadSizing = payloadFor;
    return std::shared_ptr<DiskPerformanceTester>(
        new DiskPerformanceTester(std::move(mainQueue), std::move(configuration)));
}

DiskPerformanceTester::DiskPerformanceTester(
    std::shared_ptr<MainQueue> mainQueue, Configuration configuration)
    : m_mainQueue(std::move(mainQueue))
    , m_configuration(std::move(configuration))
    , m_automaticExportQueue(std::make_shared<SerialQueue>(exportQueueLabel, QualityOfService::Utility))
    , m_cleanup(TemporaryFileCleanup::create(m_configuration.fileSystem))
    , m_automaticReportMessageToken(Uuid::random())
    , m_pendingExports(std::make_shared<std::atomic<int>>(0))
    , m_backgroundTests(std::make_shared<std::atomic<int>>(0))
{ }

DiskPerformanceTester::~DiskPerformanceTester()
{
    // A test still running is stopped at its next check; its thread ends before we do.
    for (auto& task : m_tasks)
        task->thread.request_stop();
    for (auto& task : m_tasks) {
        if (task->thread.joinable())
            task->thread.join();
    }
}

void DiskPerformanceTester::setChangeHandler(std::function<void()> handler)
{
    m_changeHandler = std::move(handler);
}

void DiskPerformanceTester::changed()
{
    if (m_changeHandler)
        m_changeHandler();
}

void DiskPerformanceTester::setDataSize(const DataSize& dataSize)
{
    if (dataSize == m_dataSize)
        return;
    m_dataSize = dataSize;
    changed();
}

std::optional<DiskPerformanceTester::EffectivePayload> DiskPerformanceTester::effectivePayload(
    const std::optional<DiskVolumeDescriptor>& volume) const
{
    if (!volume)
        return std::nullopt;
    return m_configuration.payloadSizing(m_dataSize, volume->availableCapacityBytes);
}

bool DiskPerformanceTester::hasBackgroundWork() const
{
    return m_backgroundTests->load() > 0 || m_cleanup->pendingJobs() > 0 || m_pendingExports->load() > 0;
}

void DiskPerformanceTester::reapFinishedTasks()
{
    std::erase_if(m_tasks, [](const std::shared_ptr<TestTask>& task) {
        if (!task->finished->load())
            return false;
        task->thread.join();
        return true;
    });
}

void DiskPerformanceTester::startTest(const std::optional<DiskVolumeDescriptor>& volume)
{
    if (m_isRunning)
        return;
    reapFinishedTasks();
    if (!volume) {
        m_errorMessage = TestError { TestError::Code::volumeUnavailable, {} }.localizedDescription();
        changed();
        return;
    }
    auto payload = m_configuration.payloadSizing(m_dataSize, volume->availableCapacityBytes);
    if (!payload) {
        m_errorMessage = TestError { TestError::Code::insufficientFreeSpace, {} }.localizedDescription();
        changed();
        return;
    }

    m_isRunning = true;
    m_progressState = ProgressState { BenchmarkPhase::randomWrite, 0, 0, std::nullopt };
    m_errorMessage.reset();
    m_automaticReportMessage.reset();
    m_automaticReportMessageToken = Uuid::random();
    m_lastTestVolume = volume;
    Uuid token = Uuid::random();
    m_activeTestToken = token;

    auto task = std::make_shared<TestTask>();
    ++*m_backgroundTests;
    task->thread = std::jthread(
        [weakSelf = weak_from_this(), mainQueue = m_mainQueue, cleanup = m_cleanup,
            configuration = m_configuration, background = m_backgroundTests, finished = task->finished,
            volume = *volume, dataSize = m_dataSize, payload = *payload, token](std::stop_token stop) {
            // First make sure, on the main thread, that there is still a tester to report to.
            auto existence = std::make_shared<Handoff>();
            auto exists = std::make_shared<std::atomic<bool>>(false);
            mainQueue->post([weakSelf, existence, exists] {
                *exists = !weakSelf.expired();
                existence->signal();
            });
            existence->wait(stop);

            RunResult<Result> result = cancelled();
            if (*exists) {
                RunContext context;
                context.stop = stop;
                context.fileSystem = configuration.fileSystem;
                context.cleanup = cleanup;
                context.clock = configuration.clock;
                context.randomPhaseDuration = configuration.randomPhaseDuration;
                context.workingSetLimit = configuration.randomPhaseWorkingSetLimit;
                context.directory = volume.url;
                context.publish = [&](const ProgressState& state) {
                    auto handoff = std::make_shared<Handoff>();
                    mainQueue->post([weakSelf, handoff, state, token] {
                        if (auto self = weakSelf.lock())
                            self->applyProgress(token, state);
                        handoff->signal();
                    });
                    handoff->wait(stop);
                };
                result = runTest(context, dataSize, payload.byteCount, payload.isAdjusted);
            }

            mainQueue->post(
                [weakSelf, cleanup, background, token, outcome = Outcome { std::move(result) }]() mutable {
                    if (auto self = weakSelf.lock())
                        self->handleOutcome(token, std::move(outcome));
                    // Whatever became of the test, nothing it created may stay behind.
                    cleanup->cleanUpPendingFiles();
                    --*background;
                });
            *finished = true;
        });
    m_currentTestTask = task;
    m_tasks.push_back(std::move(task));
    changed();
}

void DiskPerformanceTester::applyProgress(const Uuid& token, const ProgressState& state)
{
    // A stopped test may still deliver one last state; it must not bring the progress back.
    if (m_activeTestToken != token)
        return;
    m_progressState = state;
    changed();
}

void DiskPerformanceTester::handleOutcome(const Uuid& token, Outcome outcome)
{
    if (m_activeTestToken != token)
        return;
    m_isRunning = false;
    m_currentTestTask.reset();
    m_activeTestToken.reset();
    m_progressState.reset();
    if (outcome.result) {
        m_errorMessage.reset();
        m_lastResult = outcome.result.value();
        changed();
        if (m_lastTestVolume)
            exportReportAutomatically(*m_lastResult, *m_lastTestVolume);
        return;
    }
    const auto& failureValue = outcome.result.error();
    if (std::holds_alternative<TestCancelled>(failureValue))
        m_errorMessage.reset();
    else
        m_errorMessage = std::get<TestError>(failureValue).localizedDescription();
    changed();
}

void DiskPerformanceTester::stopTest()
{
    if (!m_isRunning)
        return;
    if (m_currentTestTask) {
        m_currentTestTask->thread.request_stop();
        m_currentTestTask.reset();
    }
    m_activeTestToken.reset();
    m_isRunning = false;
    m_progressState.reset();
    m_cleanup->cleanUpPendingFiles();
    changed();
}

void DiskPerformanceTester::exportReportAutomatically(
    const Result& result, const DiskVolumeDescriptor& volume)
{
    ++*m_pendingExports;
    m_automaticExportQueue->post(
        [weakSelf = weak_from_this(), mainQueue = m_mainQueue, fileSystem = m_configuration.fileSystem,
            pending = m_pendingExports, result, volume] {
            // Only looked at, never locked here: the tester's last owner must not be this thread.
            if (weakSelf.expired()) {
                --*pending;
                return;
            }
            auto path = chooseReportPath(volume.url, result.finishedAt,
                [&](const std::string& candidate) { return fileSystem->fileExists(candidate); });
            // The document is built as UTF-8 text already; there is no conversion that could fail.
            auto html = buildReportHTML(result, volume);
            auto written = fileSystem->writeAtomically(path, html);
            std::optional<std::string> reason;
            if (!written)
                reason = written.error().description;
            mainQueue->post([weakSelf, pending, path, reason] {
                if (auto self = weakSelf.lock()) {
                    if (reason)
                        self->reportExportFailed(*reason);
                    else
                        self->reportExportSucceeded(path);
                }
                --*pending;
            });
        });
}

void DiskPerformanceTester::reportExportSucceeded(const std::string& path)
{
    m_automaticReportMessage = Messages::automaticExportSuccess(path);
    m_lastReportPath = path;
    Uuid token = Uuid::random();
    m_automaticReportMessageToken = token;
    changed();
    // The notice goes away after a while, unless a newer one has replaced it by then.
    // The timer lives on the export queue's loop. The posted work holds that loop only weakly:
    // work that never ran must not keep the loop, and with it itself, alive.
    std::weak_ptr<SerialQueue::Loop> weakLoop = m_automaticExportQueue->loop();
    asio::post(m_automaticExportQueue->loop()->context,
        [weakLoop, weakSelf = weak_from_this(), mainQueue = std::weak_ptr<MainQueue>(m_mainQueue), token,
            lifetime = m_configuration.automaticReportMessageLifetime] {
            auto loop = weakLoop.lock();
            if (!loop)
                return;
            auto timer = std::make_shared<asio::steady_timer>(loop->context, lifetime);
            timer->async_wait([timer, weakSelf, mainQueue, token](const std::error_code& error) {
                auto queue = mainQueue.lock();
                if (error || !queue)
                    return;
                queue->post([weakSelf, token] {
                    auto self = weakSelf.lock();
                    if (!self || self->m_automaticReportMessageToken != token)
                        return;
                    self->m_automaticReportMessage.reset();
                    self->changed();
                });
            });
        });
}

void DiskPerformanceTester::reportExportFailed(const std::string& reason)
{
    m_automaticReportMessage.reset();
    m_automaticReportMessageToken = Uuid::random();
    m_errorMessage = Messages::automaticExportFailure(reason);
    changed();
}

}
