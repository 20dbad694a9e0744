#pragma once

#include "smart/ServiceManager.h"

#include <deque>
#include <functional>

namespace tallowin::testing {

// A scripted service manager: statuses come from a queue whose last entry repeats, and calls are
// counted. The manager calls it only from its main queue, so it needs no lock.
class FakeServiceManager final : public ServiceManager {
public:
    std::string definitionName() const override { return "com.tallowin.ProbeWarden.socket"; }
    std::optional<std::filesystem::path> locateDefinition() override
    {
        ++calls;
        return definitionShipped ? std::optional<std::filesystem::path>("/usr/lib/systemd/system/x.socket")
                                 : std::nullopt;
    }
    ServiceStatus status() override
    {
        ++calls;
        const auto status = statuses.front();
        if (statuses.size() > 1)
            statuses.pop_front();
        return status;
    }
    std::filesystem::path helperExecutablePath() override { return "/usr/libexec/tallowin/daemon"; }
    bool helperExecutableExists() override { return executableExists; }
    Expected<void, ServiceManagerError> registerService() override
    {
        ++calls;
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
        return unregistrationError ? Expected<void, ServiceManagerError>(Unexpected(*unregistrationError))
                                   : Expected<void, ServiceManagerError>();
    }
    void openApprovalSettings() override { ++approvalSettingsOpened; }

    std::deque<ServiceStatus> statuses { ServiceStatus::NotRegistered };
    bool definitionShipped { true };
    bool executableExists { true };
    std::optional<ServiceManagerError> registrationError, unregistrationError;
    std::function<void()> duringRegistration;
    int calls { 0 }, registerCalls { 0 }, unregisterCalls { 0 }, approvalSettingsOpened { 0 };
};

inline ServiceManagerError approvalDeclined()
{
    return { std::string(serviceManagerErrorDomain),
        static_cast<std::int64_t>(ServiceManagerErrorCode::ApprovalRequired),
        "An administrator did not approve" };
}

}
