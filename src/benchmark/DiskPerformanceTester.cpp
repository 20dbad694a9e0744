#include "benchmark/DiskPerformanceTester.h"

#include "benchmark/BenchmarkEngine.h"
#include "core/Language.h"
#include "core/Messages.h"

#include <algorithm>
#include <condition_variable>
#include <fmt/format.h>
#include <mutex>
#include <variant>

namespace tallowin {

namespace {

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

}

struct DiskPerformanceTester::TestTask {
    std::shared_ptr<std::atomic<bool>> finished { std::make_shared<std::atomic<bool>>(false) };
    std::jthread thread;
};

struct DiskPerformanceTester::Outcome {
    Expected<Result, BenchmarkEngine::Failure> result;
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

std::string DiskPerformanceTester::unexpectedFailureMessage(const std::string& description)
{
    return fmt::format(
        fmt::runtime(localized("The performance test failed: {}", "性能测试失败：{}")), description);
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
    if (!freeBytes || *freeBytes < gigabyte)
        return std::nullopt;
    // The whole free space cannot be the payload: the random-phase file may still exist while the
    // sequential file grows (its deletion runs on the clean-up queue), and the file system needs
    // room for the file's own metadata. Without this margin, free space just above a whole
    // gigabyte made the write fail at its very end.
    std::uint64_t margin = fullDiskSafetyMargin(*freeBytes);
    std::uint64_t usable = *freeBytes > margin ? *freeBytes - margin : 0;
    std::uint64_t payload = usable / gigabyte * gigabyte;
    if (payload == 0)
        return std::nullopt;
    return EffectivePayload { payload, payload < *freeBytes / gigabyte * gigabyte, *freeBytes - payload };
}

std::uint64_t DiskPerformanceTester::fullDiskSafetyMargin(std::uint64_t freeBytes)
{
    constexpr std::uint64_t randomRegion = 536870912;
    constexpr std::uint64_t smallestMetadataReserve = 64 * 1024 * 1024;
    return randomRegion + std::max(smallestMetadataReserve, freeBytes / 100);
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
    if (!configuration.monotonicClock)
        configuration.monotonicClock = monotonicSeconds;
    if (!configuration.payloadSizing)
        configuration.payloadSizing = payloadFor;
    if (!configuration.observeDevice)
        configuration.observeDevice = observeVolume;
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
    assertOnMainQueue(*m_mainQueue);
    m_changeHandler = std::move(handler);
}

void DiskPerformanceTester::changed()
{
    if (m_changeHandler)
        m_changeHandler();
}

void DiskPerformanceTester::setDataSize(const DataSize& dataSize)
{
    assertOnMainQueue(*m_mainQueue);
    if (dataSize == m_dataSize)
        return;
    m_dataSize = dataSize;
    changed();
}

std::optional<DiskPerformanceTester::EffectivePayload> DiskPerformanceTester::effectivePayload(
    const std::optional<DiskVolumeDescriptor>& volume) const
{
    assertOnMainQueue(*m_mainQueue);
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
    assertOnMainQueue(*m_mainQueue);
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
    // The run's files are its own until its thread is done with them; no clean-up touches them
    // before (a stopped run's late outcome must not delete the next run's files).
    m_cleanup->registry().beginRun(token);
    task->thread = std::jthread([weakSelf = weak_from_this(), mainQueue = m_mainQueue, cleanup = m_cleanup,
                                    configuration = m_configuration, background = m_backgroundTests,
                                    finished = task->finished, volume = *volume, dataSize = m_dataSize,
                                    payload = *payload, token](std::stop_token stop) {
        // First make sure, on the main thread, that there is still a tester to report to.
        auto existence = std::make_shared<Handoff>();
        auto exists = std::make_shared<std::atomic<bool>>(false);
        mainQueue->post([weakSelf, existence, exists] {
            *exists = !weakSelf.expired();
            existence->signal();
        });
        existence->wait(stop);

        Expected<Result, BenchmarkEngine::Failure> result
            = Unexpected(BenchmarkEngine::Failure(BenchmarkEngine::Cancelled {}));
        if (*exists && !stop.stop_requested()) {
            BenchmarkEngine::Environment environment;
            environment.fileSystem = configuration.fileSystem;
            environment.monotonicClock = configuration.monotonicClock;
            environment.wallClock = configuration.clock;
            environment.randomPhaseDuration = configuration.randomPhaseDuration;
            environment.randomPhaseWorkingSetLimit = configuration.randomPhaseWorkingSetLimit;
            environment.isCancelled = [&stop] { return stop.stop_requested(); };
            environment.publish = [&](const ProgressState& state) {
                auto handoff = std::make_shared<Handoff>();
                mainQueue->post([weakSelf, handoff, state, token] {
                    if (auto self = weakSelf.lock())
                        self->applyProgress(token, state);
                    handoff->signal();
                });
                handoff->wait(stop);
            };
            environment.fileCreated
                = [&](const std::string& path) { cleanup->registry().registerFile(path, token); };
            environment.fileFinished = [&](const std::string& path) { cleanup->removeTemporaryFile(path); };
            auto observation = configuration.observeDevice(volume);
            environment.readDeviceCounters = std::move(observation.readCounters);
            environment.linkCeiling = std::move(observation.linkCeiling);
            result = BenchmarkEngine(std::move(environment))
                         .run(volume.url, dataSize, payload.byteCount, payload.isAdjusted);
        }
        // From here on the run's files are ordinary leftovers that any clean-up may take.
        cleanup->registry().endRun(token);

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
    assertOnMainQueue(*m_mainQueue);
    // A stopped test may still deliver one last state; it must not bring the progress back.
    if (m_activeTestToken != token)
        return;
    m_progressState = state;
    changed();
}

void DiskPerformanceTester::handleOutcome(const Uuid& token, Outcome outcome)
{
    assertOnMainQueue(*m_mainQueue);
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
    if (std::holds_alternative<BenchmarkEngine::Cancelled>(failureValue))
        m_errorMessage.reset();
    else if (const auto* error = std::get_if<TestError>(&failureValue))
        m_errorMessage = error->localizedDescription();
    else
        m_errorMessage = unexpectedFailureMessage(
            std::get<BenchmarkEngine::UnexpectedFailure>(failureValue).description);
    changed();
}

void DiskPerformanceTester::stopTest()
{
    assertOnMainQueue(*m_mainQueue);
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

}
