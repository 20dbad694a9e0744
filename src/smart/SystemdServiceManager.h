#pragma once

#include "smart/ProcessRunner.h"
#include "smart/ServiceManager.h"

#include <atomic>
#include <chrono>
#include <vector>

namespace tallowin {

// The helper daemon as systemd units: com.tallowin.ProbeWarden.socket listens on
// /run/tallowin/probewarden.sock and starts com.tallowin.ProbeWarden.service on the first
// connection.
//   notFound          the shipped unit files are missing from the unit search paths
//   notRegistered     installed but the socket unit is not enabled
//   enabled           the socket unit is enabled
//   requiresApproval  enabling it needed an administrator's approval that was not given
// Registering runs `systemctl enable --now` on the socket unit, through pkexec when we are not
// root, so that polkit asks an administrator. There is no settings page to open on Linux: the
// approval notification and its alert are how the user learns what to do.
class SystemdServiceManager final : public ServiceManager {
public:
    static constexpr std::string_view socketUnitName = "com.tallowin.ProbeWarden.socket";
    static constexpr std::string_view serviceUnitName = "com.tallowin.ProbeWarden.service";

    struct Options {
        // Searched in order, as systemd does for system units.
        std::vector<std::filesystem::path> unitSearchPaths { "/etc/systemd/system", "/run/systemd/system",
            "/usr/local/lib/systemd/system", "/usr/lib/systemd/system", "/lib/systemd/system" };
        // Where systemctl and pkexec are looked for (no PATH lookup for privileged tools).
        std::vector<std::filesystem::path> programDirectories { "/usr/bin", "/bin", "/usr/sbin", "/sbin" };
        // The daemon's path when the service unit does not name one we can read.
        std::filesystem::path installedHelperPath;
        // Whether we may run systemctl directly or must ask polkit through pkexec.
        bool runningAsRoot { false };
        std::chrono::milliseconds queryTimeLimit { std::chrono::seconds(10) };
        // Long enough for an administrator to read the polkit dialog and answer it.
        std::chrono::milliseconds approvalTimeLimit { std::chrono::minutes(3) };
    };
    static Options defaultOptions();

    SystemdServiceManager(std::shared_ptr<ProcessRunner>, Options = defaultOptions());

    std::string definitionName() const override { return std::string(socketUnitName); }
    std::optional<std::filesystem::path> locateDefinition() override;
    ServiceStatus status() override;
    std::filesystem::path helperExecutablePath() override;
    bool helperExecutableExists() override;
    Expected<void, ServiceManagerError> registerService() override;
    Expected<void, ServiceManagerError> unregisterService() override;
    void openApprovalSettings() override { }

private:
    std::optional<std::filesystem::path> findUnit(std::string_view name) const;
    std::optional<std::filesystem::path> findProgram(std::string_view name) const;
    std::optional<ServiceStatus> statusFromSystemctl();
    bool enabledThroughWantsLinks() const;
    Expected<void, ServiceManagerError> runPrivileged(std::vector<std::string> systemctlArguments);

    std::shared_ptr<ProcessRunner> m_processRunner;
    Options m_options;
    // Set when an administrator declined to enable the socket in this run.
    std::atomic<bool> m_approvalDeclined { false };
};

}
