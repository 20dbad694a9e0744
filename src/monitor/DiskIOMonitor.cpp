#include "monitor/DiskIOMonitor.h"

#include "monitor/SMARTRefreshTask.h"

#include <algorithm>
#include <utility>

namespace tallowin {

using namespace std::chrono_literals;

// DiskIOMonitor::SamplingPrecision

std::optional<DiskIOMonitor::SamplingPrecision> DiskIOMonitor::SamplingPrecision::fromRawValue(int rawValue)
{
    for (auto precision : allCases()) {
        if (precision.rawValue() == rawValue)
            return precision;
    }
    return std::nullopt;
}

std::array<DiskIOMonitor::SamplingPrecision, 4> DiskIOMonitor::SamplingPrecision::allCases()
{
    return { ms1, ms10, ms100, ms1000 };
}

std::chrono::nanoseconds DiskIOMonitor::SamplingPrecision::interval() const
{
    return std::chrono::milliseconds(rawValue());
}

std::chrono::nanoseconds DiskIOMonitor::SamplingPrecision::leeway() const
{
    switch (m_case) {
    case ms1:
        return 200us;
    case ms10:
        return 800us;
    case ms100:
        return 4ms;
    case ms1000:
        return 40ms;
    }
    return 40ms;
}

// DiskIOMonitor::AggregationCoordinator

// Collects samples and flushes them, on its own queue, as one payload per aggregation interval.
// The sampling queue hands each sample over under the coordinator's lock instead of posting it:
// posting would wake the aggregation thread on every tick (a thousand times a second at 1 ms),
// while the lock lets it sleep until its flush timer. Flushing, resetting and the flush timer
// stay on the aggregation queue.
class DiskIOMonitor::AggregationCoordinator : public std::enable_shared_from_this<AggregationCoordinator> {
public:
    using Handler = std::function<void(Payload)>;

    AggregationCoordinator(
        std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway, Handler handler)
        : m_interval(interval)
        , m_leeway(leeway)
        , m_handler(std::move(handler))
    { }

    SerialQueue& queue() { return m_queue; }

    void reset()
    {
        m_pending.withLocked([](Payload& pending) { clear(pending); });
    }

    void start()
    {
        cancelTimer();
        m_timer = std::make_unique<RepeatingTimer>(m_queue, [weak = weak_from_this()] {
            if (auto self = weak.lock())
                self->flush();
        });
        m_timer->schedule(RepeatingTimer::Clock::now() + m_interval, m_interval, m_leeway);
    }

    void cancelTimer()
    {
        if (!m_timer)
            return;
        m_timer->setHandler({});
        m_timer->cancel();
        m_timer.reset();
    }

    // Any thread (the sampling queue). Allocates only while the pending storage grows to the
    // size of a batch, which it keeps from then on.
    void enqueue(const DiskSample& sample)
    {
        m_pending.withLocked([&](Payload& pending) {
            pending.samples.push_back(sample);
            pending.readBytes += sample.readBytes; // Unsigned: wraps modulo 2^64.
            pending.writeBytes += sample.writeBytes;
            pending.latestSample = sample;
        });
    }

    void flush()
    {
        auto payload = m_pending.withLocked([](Payload& pending) -> std::optional<Payload> {
            if (pending.samples.empty())
                return std::nullopt;
            Payload taken { pending.samples, pending.readBytes, pending.writeBytes, pending.latestSample };
            clear(pending);
            return taken;
        });
        if (payload)
            m_handler(std::move(*payload));
    }

private:
    static void clear(Payload& pending)
    {
        pending.samples.clear(); // Keeps the storage for the next batch.
        pending.readBytes = 0;
        pending.writeBytes = 0;
        pending.latestSample.reset();
    }

    std::chrono::nanoseconds m_interval;
    std::chrono::nanoseconds m_leeway;
    Handler m_handler;
    SerialQueue m_queue { "com.tallowin.monitor.aggregation", QualityOfService::Utility };
    std::unique_ptr<RepeatingTimer> m_timer; // Declared after the queue it fires on.
    MutexProtected<Payload> m_pending;
};

// DiskIOMonitor

std::shared_ptr<DiskIOMonitor> DiskIOMonitor::create(std::shared_ptr<DeviceRegistry> registry,
    std::shared_ptr<MainQueue> mainQueue, std::shared_ptr<const Clock> clock)
{
    return create(std::move(registry), std::move(mainQueue), VolumeSelectionServices {}, std::move(clock));
}

std::shared_ptr<DiskIOMonitor> DiskIOMonitor::create(std::shared_ptr<DeviceRegistry> registry,
    std::shared_ptr<MainQueue> mainQueue, VolumeSelectionServices selectionServices,
    std::shared_ptr<const Clock> clock)
{
    return std::make_shared<DiskIOMonitor>(Passkey {}, std::move(registry), std::move(mainQueue),
        std::move(selectionServices), clock ? std::move(clock) : systemClock());
}

DiskIOMonitor::DiskIOMonitor(Passkey, std::shared_ptr<DeviceRegistry> registry,
    std::shared_ptr<MainQueue> mainQueue, VolumeSelectionServices selectionServices,
    std::shared_ptr<const Clock> clock)
    : m_registry(std::move(registry))
    , m_mainQueue(std::move(mainQueue))
    , m_clock(std::move(clock))
    , m_selectionServices(std::move(selectionServices))
    , m_monitorQueue(
          std::make_unique<SerialQueue>("com.tallowin.monitor.queue", QualityOfService::UserInteractive))
{ }

DiskIOMonitor::~DiskIOMonitor()
{
    // Nobody else holds the monitor now, so no work of its queues is running for it; whatever
    // is still queued holds it weakly and will do nothing.
    m_runState.withLocked([](RunState& state) {
        if (state.timer) {
            state.timer->setHandler({});
            state.timer->cancel();
        }
    });
    // Stop every refresh first, then wait for them together. A refresh thread that is inside a
    // fetch finishes it before it sees the stop; the helper client's reply deadline (5 s per
    // attempt) bounds that wait. Refresh threads never hold the monitor strongly, so this
    // destructor never runs on one of them.
    if (m_smartRefreshTask)
        m_smartRefreshTask->cancel();
    for (auto& task : m_cancelledSMARTRefreshTasks)
        task->cancel();
    m_smartRefreshTask.reset();
    m_cancelledSMARTRefreshTasks.clear();
}

DiskIOMonitor::SamplingPrecision DiskIOMonitor::samplingPrecision() const
{
    return SamplingPrecision::fromRawValue(m_samplingPrecision.load()).value_or(SamplingPrecision::ms1000);
}

std::shared_ptr<DiskIOMonitor::AggregationCoordinator> DiskIOMonitor::coordinator()
{
    return m_coordinator.withLocked([&](std::shared_ptr<AggregationCoordinator>& coordinator) {
        if (!coordinator) {
            coordinator = std::make_shared<AggregationCoordinator>(aggregationInterval, aggregationLeeway,
                [weak = weak_from_this(), mainQueue = m_mainQueue](Payload payload) {
                    mainQueue->post([weak, payload = std::move(payload)] {
                        if (auto self = weak.lock())
                            self->applyPayload(payload);
                    });
                });
        }
        return coordinator;
    });
}

void DiskIOMonitor::postToMain(std::function<void(DiskIOMonitor&)> work)
{
    m_mainQueue->post([weak = weak_from_this(), work = std::move(work)] {
        if (auto self = weak.lock())
            work(*self);
    });
}

void DiskIOMonitor::startMonitoring()
{
    assertOnMainQueue(*m_mainQueue);
    if (!m_selectedVolume) {
        publish(m_errorMessage,
            std::optional<std::string>(
                MonitorError { MonitorError::Kind::invalidSelection }.localizedDescription()),
            Property::errorMessage);
        return;
    }
    auto descriptor = *m_selectedVolume;
    stopRoutine(false);
    auto aggregation = coordinator();
    aggregation->queue().sync([&] { aggregation->reset(); });
    aggregation->queue().sync([&] { aggregation->start(); });
    postToMain([](DiskIOMonitor& self) { self.resetForNewRun(); });
    auto run = m_runState.withLocked([](const RunState& state) { return state.run; });
    m_monitorQueue->post([weak = weak_from_this(), descriptor = std::move(descriptor), run] {
        if (auto self = weak.lock())
            self->beginRun(descriptor, run);
    });
}

void DiskIOMonitor::reportError(std::string message)
{
    assertOnMainQueue(*m_mainQueue);
    publish(m_errorMessage, std::optional<std::string>(std::move(message)), Property::errorMessage);
}

void DiskIOMonitor::stopMonitoring()
{
    assertOnMainQueue(*m_mainQueue);
    stopRoutine(true);
}

void DiskIOMonitor::updateSamplingPrecision(SamplingPrecision precision)
{
    assertOnMainQueue(*m_mainQueue);
    if (precision.rawValue() == m_samplingPrecision.load())
        return;
    m_samplingPrecision = precision.rawValue();
    notify(Property::samplingPrecision);
    m_monitorQueue->post([weak = weak_from_this(), precision] {
        auto self = weak.lock();
        if (!self)
            return;
        self->m_runState.withLocked([&](RunState& state) {
            if (state.timer)
                state.timer->schedule(RepeatingTimer::Clock::now() + precision.interval(),
                    precision.interval(), precision.leeway());
        });
    });
}

// The stop routine runs on the main thread, or on the monitor queue after a failure.
void DiskIOMonitor::stopRoutine(bool flush)
{
    endRun(std::nullopt);
    finishStop(flush);
}

bool DiskIOMonitor::endRun(std::optional<std::uint64_t> onlyRun)
{
    auto ended
        = m_runState.withLocked([&](RunState& state) -> std::optional<std::unique_ptr<RepeatingTimer>> {
              if (onlyRun && state.run != *onlyRun)
                  return std::nullopt;
              ++state.run;
              return std::move(state.timer);
          });
    if (!ended)
        return false;
    if (auto& timer = *ended) {
        timer->setHandler({});
        timer->cancel();
    }
    return true;
}

void DiskIOMonitor::finishStop(bool flush)
{

    // The aggregation queue never waits on another queue, so waiting for it cannot deadlock.
    auto aggregation = coordinator();
    aggregation->queue().sync([&] {
        if (flush)
            aggregation->flush();
        aggregation->cancelTimer();
    });

    m_monitorQueue->post([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->m_currentStatisticsSession.reset();
            self->m_previousSnapshot.reset();
        }
    });
    // Posted after the flushed batch, so the last samples are applied before the run ends.
    postToMain([](DiskIOMonitor& self) {
        self.m_monitoringStartInstant.reset();
        self.publish(self.m_isMonitoring, false, Property::isMonitoring);
        self.publish(
            self.m_monitoringStartDate, std::optional<WallClockTime> {}, Property::monitoringStartDate);
        self.publish(self.m_monitoringDuration, 0.0, Property::monitoringDuration);
    });
}

void DiskIOMonitor::resetForNewRun()
{
    m_samplesBuffer.removeAll();
    m_publishedSamplesStale = true;
    notify(Property::samples);
    publish(m_totalReadBytes, std::uint64_t { 0 }, Property::totalReadBytes);
    publish(m_totalWriteBytes, std::uint64_t { 0 }, Property::totalWriteBytes);
    publish(m_currentReadBytes, std::uint64_t { 0 }, Property::currentReadBytes);
    publish(m_currentWriteBytes, std::uint64_t { 0 }, Property::currentWriteBytes);
    publish(m_currentReadOperations, std::uint64_t { 0 }, Property::currentReadOperations);
    publish(m_currentWriteOperations, std::uint64_t { 0 }, Property::currentWriteOperations);
    m_monitoringStartInstant = m_clock->monotonicNow();
    publish(m_monitoringStartDate, std::optional<WallClockTime>(m_clock->wallNow()),
        Property::monitoringStartDate);
    publish(m_monitoringDuration, 0.0, Property::monitoringDuration);
    publish(m_isMonitoring, true, Property::isMonitoring);
    publish(m_errorMessage, std::optional<std::string> {}, Property::errorMessage);
}

void DiskIOMonitor::applyPayload(const Payload& payload)
{
    for (const auto& sample : payload.samples)
        m_samplesBuffer.append(sample);
    if (payload.latestSample) {
        const auto& latest = *payload.latestSample;
        publish(m_currentReadBytes, latest.readBytes, Property::currentReadBytes);
        publish(m_currentWriteBytes, latest.writeBytes, Property::currentWriteBytes);
        publish(m_currentReadOperations, latest.readOperations, Property::currentReadOperations);
        publish(m_currentWriteOperations, latest.writeOperations, Property::currentWriteOperations);
    }
    publish(m_totalReadBytes, m_totalReadBytes + payload.readBytes, Property::totalReadBytes);
    publish(m_totalWriteBytes, m_totalWriteBytes + payload.writeBytes, Property::totalWriteBytes);
    m_publishedSamplesStale = true;
    notify(Property::samples);
    if (m_monitoringStartDate && m_monitoringStartInstant)
        publish(m_monitoringDuration, secondsBetween(*m_monitoringStartInstant, m_clock->monotonicNow()),
            Property::monitoringDuration);
    notifyBatch(payload.samples);
}

const std::vector<DiskSample>& DiskIOMonitor::samples() const
{
    assertOnMainQueue(*m_mainQueue);
    if (m_publishedSamplesStale) {
        // Refilled in place: after the first batch the vector has its full size and keeps it.
        auto count = m_samplesBuffer.count();
        m_publishedSamples.clear();
        m_publishedSamples.reserve(static_cast<std::size_t>(count));
        for (std::int64_t i = 0; i < count; ++i) {
            const auto& slot
                = m_samplesBuffer.storageSlot((m_samplesBuffer.head() + i) % m_samplesBuffer.capacity());
            if (slot)
                m_publishedSamples.push_back(*slot);
        }
        m_publishedSamplesStale = false;
    }
    return m_publishedSamples;
}

std::vector<DiskSample> DiskIOMonitor::newestSamples(std::size_t count) const
{
    assertOnMainQueue(*m_mainQueue);
    auto available = m_samplesBuffer.count();
    auto take = static_cast<std::int64_t>(std::min(count, static_cast<std::size_t>(available)));
    std::vector<DiskSample> newest;
    newest.reserve(static_cast<std::size_t>(take));
    for (auto i = available - take; i < available; ++i) {
        const auto& slot
            = m_samplesBuffer.storageSlot((m_samplesBuffer.head() + i) % m_samplesBuffer.capacity());
        if (slot)
            newest.push_back(*slot);
    }
    return newest;
}

// Monitor queue.

void DiskIOMonitor::beginRun(const DiskVolumeDescriptor& descriptor, std::uint64_t run)
{
    auto isCurrentRun
        = [&] { return m_runState.withLocked([&](const RunState& state) { return state.run == run; }); };
    // Stopped before it began: starting the timer now would only make its first tick fail with
    // "Monitoring has been stopped." although nothing went wrong.
    if (!isCurrentRun())
        return;
    m_previousSnapshot.reset();
    auto session = DiskIOKitStatisticsProvider::StatisticsSession::create(m_registry, descriptor);
    std::optional<MonitorError> failure;
    if (!session) {
        failure = session.error();
    } else {
        auto first = (*session)->readSnapshot();
        if (!first) {
            failure = first.error();
        } else {
            m_currentStatisticsSession = std::move(*session);
            m_previousSnapshot = *first; // The first reading produces no sample.
        }
    }
    if (failure) {
        m_currentStatisticsSession.reset();
        m_previousSnapshot.reset();
        failRun(*failure, run);
        return;
    }

    auto precision = samplingPrecision();
    // The handler holds only a weak reference: a timer never keeps the monitor alive.
    auto timer = std::make_unique<RepeatingTimer>(*m_monitorQueue, [weak = weak_from_this(), run] {
        if (auto self = weak.lock())
            self->tick(run);
    });
    timer->schedule(RepeatingTimer::Clock::now(), precision.interval(), precision.leeway());
    auto replaced = m_runState.withLocked([&](RunState& state) -> std::unique_ptr<RepeatingTimer> {
        if (state.run != run) {
            timer->setHandler({});
            timer->cancel();
            return nullptr;
        }
        return std::exchange(state.timer, std::move(timer));
    });
    // A timer of an earlier run that nobody stopped must not keep firing beside this one.
    if (replaced) {
        replaced->setHandler({});
        replaced->cancel();
    }
}

void DiskIOMonitor::tick(std::uint64_t run)
{
    // A fire of an ended run's timer that was already on its way must not read the counters for
    // the run that replaced it.
    if (!m_runState.withLocked([&](const RunState& state) { return state.run == run; }))
        return;
    if (!m_currentStatisticsSession) {
        failRun(MonitorError { MonitorError::Kind::monitorStopped }, run);
        return;
    }
    auto snapshot = m_currentStatisticsSession->readSnapshot();
    if (!snapshot) {
        failRun(snapshot.error(), run);
        return;
    }
    processSnapshot(*snapshot);
}

void DiskIOMonitor::processSnapshot(const DiskIOKitStatisticsProvider::Snapshot& snapshot)
{
    auto now = m_clock->wallNow(); // a sample's date, shown on the chart
    if (!m_previousSnapshot) {
        m_previousSnapshot = snapshot;
        return;
    }
    const auto previous = *m_previousSnapshot;
    m_previousSnapshot = snapshot;
    // Unsigned subtraction wraps modulo 2^64: a counter that went backwards gives a huge
    // difference, never a trap.
    DiskSample sample { Uuid::random(), now, snapshot.bytesRead - previous.bytesRead,
        snapshot.bytesWritten - previous.bytesWritten, snapshot.readOperations - previous.readOperations,
        snapshot.writeOperations - previous.writeOperations };
    coordinator()->enqueue(sample);
}

void DiskIOMonitor::failRun(const MonitorError& error, std::uint64_t run)
{
    if (!endRun(run))
        return;
    postToMain([error](DiskIOMonitor& self) {
        self.publish(self.m_errorMessage, std::optional<std::string>(error.localizedDescription()),
            Property::errorMessage);
    });
    finishStop(true);
}

// Observation.

DiskIOMonitor::ObserverID DiskIOMonitor::addObserver(PropertyObserver observer)
{
    assertOnMainQueue(*m_mainQueue);
    auto id = m_nextObserverID++;
    m_observers.push_back(std::make_shared<Observation>(Observation { id, std::move(observer), {} }));
    return id;
}

DiskIOMonitor::ObserverID DiskIOMonitor::addBatchObserver(BatchObserver observer)
{
    assertOnMainQueue(*m_mainQueue);
    auto id = m_nextObserverID++;
    m_observers.push_back(std::make_shared<Observation>(Observation { id, {}, std::move(observer) }));
    return id;
}

void DiskIOMonitor::removeObserver(ObserverID id)
{
    for (auto& observation : m_observers) {
        if (observation && observation->id == id) {
            // An observer being called right now keeps its Observation alive through the copy
            // held by notify(); clearing it stops further calls.
            observation.reset();
        }
    }
    if (m_notifying == 0)
        std::erase(m_observers, nullptr);
}

void DiskIOMonitor::notify(Property property)
{
    ++m_notifying;
    for (std::size_t i = 0; i < m_observers.size(); ++i) {
        auto observation = m_observers[i];
        if (observation && observation->property)
            observation->property(property);
    }
    if (--m_notifying == 0)
        std::erase(m_observers, nullptr);
}

void DiskIOMonitor::notifyBatch(std::span<const DiskSample> batch)
{
    ++m_notifying;
    for (std::size_t i = 0; i < m_observers.size(); ++i) {
        auto observation = m_observers[i];
        if (observation && observation->batch)
            observation->batch(batch);
    }
    if (--m_notifying == 0)
        std::erase(m_observers, nullptr);
}

}
