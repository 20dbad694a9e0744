#pragma once

#include "smart/ServiceManager.h"

#include <deque>
#include <functional>

namespace tallowin::testing {

// A scripted service manager: statuses are answered from a queue (the last one repeats), and
// every call is counted so tests can tell what the manager under test asked for. The manager
// calls it only from its main queue, so it needs no lock of its own.
class FakeServiceManager final : public ServiceManager {
public:
    std::string definitionName() const override { return "com.tallowin.ProbeWarden.socket"; }
    std::optional<std::filesystem::path> locateDefinition() override
    {
        ++locateCalls;
        if (!definitionShipped)
            return std::nullopt;
        return std::filesystem::path("/usr/lib/systemd/system/com.tallowin.ProbeWarden.socket");
    }
    ServiceStatus status() override
    {
        ++statusCalls;
        const auto status = statuses.front();
        if (statuses.size() > 1)
            statuses.pop_front();
        return status;
    }
    std::filesystem::path helperExecutablePath() override
    {
        return "/usr/libexec/tallowin/com.tallowin.ProbeWarden";
    }
    bool helperExecutableExists() override { return executableExists; }
    Expected<void, ServiceManagerError> registerService() override
    {
        ++registerCalls;
        if (duringRegistration)
            duringRegistration();
        if (registrationError)
            return Unexpected(*registrationError);
        executableExists = true;
        return {};
    }
    Expected<void, ServiceManagerError> unregisterService() override
    {
        ++unregisterCalls;
        if (unregistrationError)
            return Unexpected(*unregistrationError);
        return {};
    }
    void openApprovalSettings() override { ++approvalSettingsOpened; }

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
