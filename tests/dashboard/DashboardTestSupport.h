#pragma once

#include "benchmark/DiskPerformanceTester.h"
#include "core/MainQueue.h"
#include "dashboard/DashboardRootView.h"
#include "monitor/DiskIOMonitor.h"
#include "support/FakeDeviceRegistry.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace tallowin {

// Publishes monitor state as a run would, without sampling a device.
struct DiskIOMonitorTestPeer {
    static void applyBatch(DiskIOMonitor& monitor, std::vector<DiskSample> samples)
    {
        DiskIOMonitor::Payload payload;
        for (const auto& sample : samples)
            payload.readBytes += sample.readBytes, payload.writeBytes += sample.writeBytes;
        payload.latestSample = samples.back();
        payload.samples = std::move(samples);
        monitor.applyPayload(payload);
    }
    static void setMonitoring(DiskIOMonitor& monitor, bool isMonitoring)
    {
        monitor.publish(monitor.m_isMonitoring, isMonitoring, DiskIOMonitor::Property::isMonitoring);
    }
    static void setDuration(DiskIOMonitor& monitor, double seconds)
    {
        monitor.publish(monitor.m_monitoringDuration, seconds, DiskIOMonitor::Property::monitoringDuration);
    }
};

// Publishes tester state (a run in progress, a result, messages) without running a test.
struct DiskPerformanceTesterTestPeer {
    static void setRunning(DiskPerformanceTester& tester, std::optional<ProgressState> progress)
    {
        tester.m_isRunning = true;
        tester.m_progressState = progress;
        tester.changed();
    }
    static void setResult(DiskPerformanceTester& tester, DiskPerformanceTester::Result result)
    {
        tester.m_isRunning = false;
        tester.m_progressState.reset();
        tester.m_lastResult = std::move(result);
        tester.changed();
    }
    static void setMessages(DiskPerformanceTester& tester, std::optional<std::string> error,
        std::optional<std::string> automaticReport)
    {
        tester.m_errorMessage = std::move(error);
        tester.m_automaticReportMessage = std::move(automaticReport);
        tester.changed();
    }
};

namespace testing {

// A monitor whose volume selection resolves from a table, a tester, and the main queue they
// share: the dashboard's models without devices or disks.
struct DashboardModels {
    std::shared_ptr<EventLoopMainQueue> mainQueue { std::make_shared<EventLoopMainQueue>() };
    std::shared_ptr<FakeDeviceRegistry> registry { std::make_shared<FakeDeviceRegistry>() };
    std::map<std::string, DiskVolumeDescriptor> volumes;
    std::shared_ptr<DiskIOMonitor> monitor;
    std::shared_ptr<DiskPerformanceTester> tester;

    DashboardModels()
    {
        DiskIOMonitor::VolumeSelectionServices services;
        services.resolveVolume = [this](const std::string& location) -> Expected<DiskVolumeDescriptor, MonitorError> {
            auto found = volumes.find(location);
            if (found == volumes.end())
                return Unexpected(MonitorError { MonitorError::Kind::invalidSelection });
            return found->second;
        };
        monitor = DiskIOMonitor::create(registry, mainQueue, std::move(services));
        tester = DiskPerformanceTester::create(mainQueue);
    }

    DashboardRootView::Dependencies dependencies() const
    {
        DashboardRootView::Dependencies dependencies;
        dependencies.monitor = monitor;
        dependencies.performanceTester = tester;
        dependencies.mainQueue = mainQueue;
        return dependencies;
    }

    void select(const DiskVolumeDescriptor& volume)
    {
        volumes[volume.url] = volume;
        monitor->selectVolume(volume.url);
        mainQueue->runPending();
    }
};

inline DiskVolumeDescriptor sampleVolume(std::string url = "/media/user/Archive")
{
    return { std::move(url), "sdb1", "Archive", "USB", "10 Gb/s", "EXT4", 500'107'862'016ULL, 123'456'789'012ULL, "Samsung",
        "Portable SSD T7", std::nullopt };
}

inline DiskSMARTInfo::Detail detail(std::string keyPath, std::string displayName, std::string value)
{
    return { Uuid::random(), std::move(keyPath), std::move(displayName), std::move(value) };
}

inline DiskSMARTInfo sampleSmartInfo()
{
    DiskSMARTInfo info;
    info.overallStatus = "PASSED";
    info.isCapable = true;
    info.details = { detail("model_name", "Model Name", "Samsung SSD 980 PRO 1TB"),
        detail("temperature.current", "Temperature", "41"), detail("temperature.controller", "Controller Temperature", "44"),
        detail("power_on_time.hours", "Power On Hours", "1,234"), detail("smart_status.passed", "smart_status.passed", "true") };
    info.sourceCommand = "smartctl -j -x /dev/sdb";
    return info;
}

}

}
