// Volume selection and the SMART refresh of the selected volume's drive.

#include "core/Log.h"
#include "monitor/DiskIOMonitor.h"
#include "monitor/SMARTRefreshTask.h"

#include <condition_variable>
#include <mutex>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace tallowin {

namespace {

const Logger& logger()
{
    static const Logger instance(std::string(applicationLogSubsystem), "DiskIOMonitor");
    return instance;
}

// The niceness of the utility class of work (see SerialQueue): the refresh mostly waits for the
// helper, and what it computes must not compete with sampling or the interface.
constexpr int utilityNiceValue = 4;

// The main queue's answer to one refresh. The refresh thread waits for it, but a stop ends the
// wait: the main queue may never run the decision (it is being torn down, or it is the very
// thread that is destroying the monitor and joining this one).
template<typename T> class PendingDecision {
public:
    void fulfil(T value)
    {
        {
            std::lock_guard lock(m_mutex);
            m_value = value;
        }
        m_ready.notify_all();
    }

    // Nothing when the stop came first.
    std::optional<T> wait(const std::stop_token& stop)
    {
        std::unique_lock lock(m_mutex);
        m_ready.wait(lock, stop, [&] { return m_value.has_value(); });
        return m_value;
    }

private:
    std::mutex m_mutex;
    std::condition_variable_any m_ready;
    std::optional<T> m_value;
};

}

// DiskIOMonitor::SMARTRefreshTask

DiskIOMonitor::SMARTRefreshTask::SMARTRefreshTask(Context context)
    : m_thread([context = std::move(context), finished = m_finished](std::stop_token stop) {
        run(stop, context);
        finished->store(true, std::memory_order_release);
    })
{ }

void DiskIOMonitor::SMARTRefreshTask::run(const std::stop_token& stop, const Context& context)
{
    pthread_setname_np(pthread_self(), "tallowin-smart");
    setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), utilityNiceValue);

    std::mutex pauseMutex;
    std::condition_variable_any pause;
    for (;;) {
        if (stop.stop_requested() || context.monitor.expired())
            return;
        refreshOnce(stop, context);
        // The pause starts when the refresh has finished, so refreshes never overlap and the
        // period is the interval plus the fetch time. Nothing notifies the condition but a stop.
        std::unique_lock lock(pauseMutex);
        pause.wait_for(lock, stop, context.interval, [] { return false; });
        if (stop.stop_requested())
            return;
    }
}

void DiskIOMonitor::SMARTRefreshTask::refreshOnce(const std::stop_token& stop, const Context& context)
{
    if (stop.stop_requested())
        return;
    const auto& bsdName = context.volume.bsdName;
    logger().debug("Initiating SMART refresh for BSD name {}", bsdName);
    auto info = context.fetchSMARTInfo(bsdName);
    if (stop.stop_requested()) {
        logger().debug("SMART refresh cancelled before publishing for BSD name {}", bsdName);
        return;
    }

    bool hasInfo = info.has_value();
    auto decision = std::make_shared<PendingDecision<SMARTPublishResult>>();
    context.mainQueue->post([monitor = context.monitor, bsdName, info = std::move(info), decision] {
        auto result = SMARTPublishResult::discarded;
        if (auto self = monitor.lock())
            result = self->decideSMARTPublish(bsdName, info);
        decision->fulfil(result);
    });
    auto result = decision->wait(stop);
    if (!result || stop.stop_requested()) {
        logger().debug("SMART refresh cancelled after publishing decision for BSD name {}", bsdName);
        return;
    }
    switch (*result) {
    case SMARTPublishResult::applied:
        if (hasInfo)
            logger().info("SMART refresh applied new data for BSD name {}", bsdName);
        else
            logger().info("SMART refresh cleared data for BSD name {}", bsdName);
        break;
    case SMARTPublishResult::identical:
        logger().debug(
            "SMART refresh produced identical payload for BSD name {}; skipping publish.", bsdName);
        break;
    case SMARTPublishResult::discarded:
        logger().debug("SMART refresh result discarded because selection changed for BSD name {}", bsdName);
        break;
    }
}

// DiskIOMonitor

void DiskIOMonitor::selectVolume(const std::string& location)
{
    assertOnMainQueue(*m_mainQueue);
    stopRoutine(true);
    cancelSMARTRefresh();

    auto resolved = m_selectionServices.resolveVolume
        ? m_selectionServices.resolveVolume(location)
        : Expected<DiskVolumeDescriptor, MonitorError>(
            Unexpected(MonitorError { MonitorError::Kind::invalidSelection }));
    if (!resolved) {
        postToMain([error = resolved.error()](DiskIOMonitor& self) {
            // A success of an earlier selection that was still queued has started a refresh by
            // now; the failed selection is the newer one, so no refresh may run after it.
            self.cancelSMARTRefresh();
            self.publish(
                self.m_selectedVolume, std::optional<DiskVolumeDescriptor> {}, Property::selectedVolume);
            self.publish(self.m_errorMessage, std::optional<std::string>(error.localizedDescription()),
                Property::errorMessage);
        });
        return;
    }
    postToMain([volume = std::move(*resolved)](DiskIOMonitor& self) {
        self.publish(
            self.m_selectedVolume, std::optional<DiskVolumeDescriptor>(volume), Property::selectedVolume);
        self.publish(self.m_errorMessage, std::optional<std::string> {}, Property::errorMessage);
        self.startSMARTRefresh(volume);
    });
}

void DiskIOMonitor::setSelectedVolume(std::optional<DiskVolumeDescriptor> volume)
{
    assertOnMainQueue(*m_mainQueue);
    stopRoutine(true);
    cancelSMARTRefresh();
    auto selected = volume;
    publish(m_selectedVolume, std::move(volume), Property::selectedVolume);
    if (selected) {
        publish(m_errorMessage, std::optional<std::string> {}, Property::errorMessage);
        startSMARTRefresh(*selected);
    }
}

void DiskIOMonitor::startSMARTRefresh(const DiskVolumeDescriptor& volume)
{
    assertOnMainQueue(*m_mainQueue);
    cancelSMARTRefresh();
    if (!m_selectionServices.fetchSMARTInfo)
        return;
    m_smartRefreshTask = std::make_unique<SMARTRefreshTask>(SMARTRefreshTask::Context { weak_from_this(),
        m_mainQueue, m_selectionServices.fetchSMARTInfo, volume, m_selectionServices.smartRefreshInterval });
}

void DiskIOMonitor::cancelSMARTRefresh()
{
    if (m_smartRefreshTask) {
        m_smartRefreshTask->cancel();
        m_cancelledSMARTRefreshTasks.push_back(std::move(m_smartRefreshTask));
    }
    // Joining a finished thread does not wait; the others keep their fetch to the end without
    // holding up the main thread.
    std::erase_if(m_cancelledSMARTRefreshTasks, [](const auto& task) { return task->hasFinished(); });
}

DiskIOMonitor::SMARTPublishResult DiskIOMonitor::decideSMARTPublish(
    const std::string& bsdName, std::optional<DiskSMARTInfo> info)
{
    assertOnMainQueue(*m_mainQueue);
    // By BSD name only: a descriptor replaced by one of the same device still takes the result.
    if (!m_selectedVolume || m_selectedVolume->bsdName != bsdName)
        return SMARTPublishResult::discarded;
    if (m_selectedVolume->smartInfo == info)
        return SMARTPublishResult::identical;
    auto updated = *m_selectedVolume; // the current descriptor, not the one the refresh started with
    updated.smartInfo = std::move(info);
    publish(
        m_selectedVolume, std::optional<DiskVolumeDescriptor>(std::move(updated)), Property::selectedVolume);
    return SMARTPublishResult::applied;
}

}
