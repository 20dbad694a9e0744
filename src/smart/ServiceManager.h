#pragma once

#include "core/Expected.h"
#include "core/Language.h"
#include "helper_protocol/SmartctlHelperProtocol.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tallowin {

// How the system's service manager sees the helper daemon. The values are those the manager's
// decisions are written against; any other value counts as an unhandled status.
enum class ServiceStatus : int {
    NotRegistered = 0,
    Enabled = 1,
    RequiresApproval = 2,
    NotFound = 3,
};

// "notRegistered", "enabled", "requiresApproval", "notFound", or the number for anything else.
std::string serviceStatusName(ServiceStatus);

// A failure of the service manager: a domain, a code and a description, the shape errors have
// wherever they cross into the helper machinery.
struct ServiceManagerError {
    std::string domain;
    std::int64_t code { 0 };
    std::string description;

    friend bool operator==(const ServiceManagerError&, const ServiceManagerError&) = default;
};

inline constexpr std::string_view serviceManagerErrorDomain = "com.tallowin.ServiceManager.error";
// The codes of serviceManagerErrorDomain.
enum class ServiceManagerErrorCode : std::int64_t {
    // The administrator's approval was asked for and not given (the polkit dialog was dismissed
    // or refused).
    ApprovalRequired = 1,
    CommandFailed = 2,
    CommandUnavailable = 3,
    TimedOut = 4,
};

// The service-management facility that makes the helper daemon available: where its definition
// is shipped, whether it is enabled, enabling and disabling it, and sending the user to approve it.
class ServiceManager {
public:
    virtual ~ServiceManager() = default;

    // The name of the shipped definition the service is created from.
    virtual std::string definitionName() const = 0;
    // Where that definition is installed; nothing when it is not shipped.
    virtual std::optional<std::filesystem::path> locateDefinition() = 0;
    virtual ServiceStatus status() = 0;
    virtual std::filesystem::path helperExecutablePath() = 0;
    virtual bool helperExecutableExists() = 0;
    // Blocks until the service manager (and an administrator, if one is asked) has answered.
    virtual Expected<void, ServiceManagerError> registerService() = 0;
    virtual Expected<void, ServiceManagerError> unregisterService() = 0;
    // Shows the user where to approve the daemon, where the system has such a place.
    virtual void openApprovalSettings() = 0;
};

// The helper daemon's socket: TALLOWIN_HELPER_SOCKET when set and not empty (development and
// tests, with the daemon in standalone mode), else /run/tallowin/probewarden.sock, where the
// systemd socket unit listens.
std::string helperSocketPath(const EnvironmentLookup& = processEnvironment);
inline constexpr std::string_view defaultHelperSocketPath = SmartctlHelperProtocol::defaultSocketPath;

// systemd for an installed Tallowin; the development manager when TALLOWIN_HELPER_SOCKET
// names a daemon started by hand.
std::shared_ptr<ServiceManager> makeSystemServiceManager(const EnvironmentLookup& = processEnvironment);

// Development mode: the daemon listening on TALLOWIN_HELPER_SOCKET was started by the developer
// (or a test) and counts as registered and enabled. Neither systemd nor pkexec is involved, and
// registering is a no-op; whether the daemon really answers is the client's business.
class DevelopmentServiceManager final : public ServiceManager {
public:
    explicit DevelopmentServiceManager(std::string socketPath)
        : m_socketPath(std::move(socketPath))
    { }
    std::string definitionName() const override { return m_socketPath; }
    std::optional<std::filesystem::path> locateDefinition() override
    {
        return std::filesystem::path(m_socketPath);
    }
    ServiceStatus status() override { return ServiceStatus::Enabled; }
    std::filesystem::path helperExecutablePath() override { return m_socketPath; }
    bool helperExecutableExists() override { return true; }
    Expected<void, ServiceManagerError> registerService() override { return {}; }
    Expected<void, ServiceManagerError> unregisterService() override { return {}; }
    void openApprovalSettings() override { }

private:
    std::string m_socketPath;
};

}
