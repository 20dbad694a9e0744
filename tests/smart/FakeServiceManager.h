#pragma once

#include "smart/ServiceManager.h"

#include <deque>
#include <functional>
#include <mutex>

namespace tallowin::testing {

// A scripted service manager: statuses are answered from a queue (the last one repeats), and
// every call is counted so tests can tell what the manager under test asked for.
class FakeServiceManager final : public ServiceManager {
public:
    std::string definitionName() const override { return "com.tallowin.ProbeWarden.socket"; }
    std::optional<std::filesystem::path> locateDefinition() override
    {
        std::lock_guard lock(mutex);
        ++locateCalls;
        if (!definitionShipped)
            return std::nullopt;
        return std::filesystem::path("/usr/lib/systemd/system/com.tallowin.ProbeWarden.socket");
    }
    ServiceStatus status() override
    {
        std::lock_guard lock(mutex);
        ++statusCalls;
        if (statuses.size() > 1) {
            auto status = statuses.front();
            statuses.pop_front();
            return status;
        }
        return statuses.front();
    }
    std::filesystem::path helperExecutablePath() override
    {
        return "/usr/libexec/tallowin/com.tallowin.ProbeWarden";
    }
    bool helperExecutableExists() override
    {
        std::lock_guard lock(mutex);
        return executableExists;
    }
    Expected<void, ServiceManagerError> registerService() override
    {
        std::function<void()> hook;
        {
            std::lock_guard lock(mutex);
            ++registerCalls;
            hook = duringRegistration;
        }
        if (hook)
            hook();
        std::lock_guard lock(mutex);
        if (registrationError)
            return Unexpected(*registrationError);
        executableExists = true;
        return {};
    }
    Expected<void, ServiceManagerError> unregisterService() override
    {
        std::lock_guard lock(mutex);
        ++unregisterCalls;
        if (unregistrationError)
            return Unexpected(*unregistrationError);
        return {};
    }
    void openApprovalSettings() override
    {
        std::lock_guard lock(mutex);
        ++approvalSettingsOpened;
    }

    std::mutex mutex;
    std::deque<ServiceStatus> statuses { ServiceStatus::NotRegistered };
    bool definitionShipped { true };
    bool executableExists { true };
    std::optional<ServiceManagerError> registrationError;
    std::optional<ServiceManagerError> unregistrationError;
    std::function<void()> duringRegistration;
    int locateCalls { 0 };
    int statusCalls { 0 };
    int registerCalls { 0 };
    int unregisterCalls { 0 };
    int approvalSettingsOpened { 0 };
};

inline ServiceManagerError approvalDeclined()
{
    return { std::string(serviceManagerErrorDomain),
        static_cast<std::int64_t>(ServiceManagerErrorCode::ApprovalRequired),
        "An administrator did not approve" };
}

}
