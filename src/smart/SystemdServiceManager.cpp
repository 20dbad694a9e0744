#include "smart/SystemdServiceManager.h"

#include "core/Formatting.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <fstream>
#include <system_error>
#include <unistd.h>

namespace tallowin {

namespace fs = std::filesystem;

std::string serviceStatusName(ServiceStatus status)
{
    switch (status) {
    case ServiceStatus::NotRegistered:
        return "notRegistered";
    case ServiceStatus::Enabled:
        return "enabled";
    case ServiceStatus::RequiresApproval:
        return "requiresApproval";
    case ServiceStatus::NotFound:
        return "notFound";
    }
    return std::to_string(static_cast<int>(status));
}

std::string helperSocketPath(const EnvironmentLookup& environment)
{
    if (auto path = environment("TALLOWIN_HELPER_SOCKET"); path && !path->empty())
        return *path;
    return std::string(defaultHelperSocketPath);
}

std::shared_ptr<ServiceManager> makeSystemServiceManager(const EnvironmentLookup& environment)
{
    if (auto path = environment("TALLOWIN_HELPER_SOCKET"); path && !path->empty())
        return std::make_shared<DevelopmentServiceManager>(*path);
    return std::make_shared<SystemdServiceManager>(std::make_shared<PosixProcessRunner>());
}

namespace {

using Formatting::trimmed;

std::string firstLine(std::string_view text)
{
    return std::string(trimmed(text.substr(0, text.find('\n'))));
}

ServiceManagerError serviceError(ServiceManagerErrorCode code, std::string description)
{
    return { std::string(serviceManagerErrorDomain), static_cast<std::int64_t>(code),
        std::move(description) };
}

bool pathExists(const fs::path& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

}

SystemdServiceManager::Options SystemdServiceManager::defaultOptions()
{
    Options options;
    options.installedHelperPath = TALLOWIN_HELPER_INSTALL_PATH;
    options.runningAsRoot = ::geteuid() == 0;
    return options;
}

SystemdServiceManager::SystemdServiceManager(std::shared_ptr<ProcessRunner> processRunner, Options options)
    : m_processRunner(std::move(processRunner))
    , m_options(std::move(options))
{ }

std::optional<fs::path> SystemdServiceManager::findUnit(std::string_view name) const
{
    for (const auto& directory : m_options.unitSearchPaths) {
        auto candidate = directory / name;
        std::error_code error;
        // A unit masked by a link to /dev/null still counts as shipped; systemctl reports the mask.
        if (fs::is_symlink(candidate, error) || fs::exists(candidate, error))
            return candidate;
    }
    return std::nullopt;
}

std::optional<fs::path> SystemdServiceManager::findProgram(std::string_view name) const
{
    for (const auto& directory : m_options.programDirectories) {
        auto candidate = directory / name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

std::optional<fs::path> SystemdServiceManager::locateDefinition()
{
    return findUnit(socketUnitName);
}

std::optional<ServiceStatus> SystemdServiceManager::statusFromSystemctl()
{
    auto systemctl = findProgram("systemctl");
    if (!systemctl)
        return std::nullopt;
    auto output = m_processRunner->run(
        { systemctl->string(), "is-enabled", std::string(socketUnitName) }, m_options.queryTimeLimit);
    if (!output)
        return std::nullopt;
    // is-enabled prints the state even when it exits non-zero (for "disabled", for instance);
    // no state at all means systemctl could not answer.
    auto state = firstLine(output->standardOutput);
    if (state.empty())
        return std::nullopt;
    if (state == "enabled" || state == "enabled-runtime" || state == "alias")
        return ServiceStatus::Enabled;
    if (state == "not-found")
        return ServiceStatus::NotFound;
    return ServiceStatus::NotRegistered;
}

bool SystemdServiceManager::enabledThroughWantsLinks() const
{
    // What `systemctl enable` leaves behind: a link to the unit in some target's .wants folder.
    for (const auto& directory : m_options.unitSearchPaths) {
        std::error_code error;
        for (fs::directory_iterator entry(directory, error), end; !error && entry != end;
             entry.increment(error)) {
            auto name = entry->path().filename().string();
            if (name.size() > 6 && name.ends_with(".wants")
                && fs::is_symlink(entry->path() / socketUnitName, error))
                return true;
        }
    }
    return false;
}

ServiceStatus SystemdServiceManager::status()
{
    if (!findUnit(socketUnitName) || !findUnit(serviceUnitName))
        return ServiceStatus::NotFound;
    auto status = statusFromSystemctl();
    if (!status)
        status = enabledThroughWantsLinks() ? ServiceStatus::Enabled : ServiceStatus::NotRegistered;
    if (*status == ServiceStatus::NotRegistered && m_approvalDeclined)
        return ServiceStatus::RequiresApproval;
    return *status;
}

fs::path SystemdServiceManager::helperExecutablePath()
{
    // The program systemd will start is the first word of the service's ExecStart line, after
    // the prefixes that only change how it is run.
    if (auto unit = findUnit(serviceUnitName)) {
        std::ifstream file(*unit);
        std::string line;
        while (std::getline(file, line)) {
            auto text = trimmed(line);
            if (!text.starts_with("ExecStart="))
                continue;
            std::string_view command(text);
            command.remove_prefix(std::string_view("ExecStart=").size());
            while (
                !command.empty() && std::string_view("-@:+!").find(command.front()) != std::string_view::npos)
                command.remove_prefix(1);
            auto program = command.substr(0, command.find_first_of(" \t"));
            if (!program.empty() && program.front() == '/')
                return fs::path(program);
        }
    }
    return m_options.installedHelperPath;
}

bool SystemdServiceManager::helperExecutableExists()
{
    auto path = helperExecutablePath();
    return pathExists(path) && ::access(path.c_str(), X_OK) == 0;
}

Expected<void, ServiceManagerError> SystemdServiceManager::runPrivileged(
    std::vector<std::string> systemctlArguments)
{
    auto systemctl = findProgram("systemctl");
    if (!systemctl)
        return Unexpected(
            serviceError(ServiceManagerErrorCode::CommandUnavailable, "systemctl was not found"));
    std::vector<std::string> arguments;
    if (!m_options.runningAsRoot) {
        auto pkexec = findProgram("pkexec");
        if (!pkexec) {
            return Unexpected(serviceError(ServiceManagerErrorCode::CommandUnavailable,
                "pkexec was not found; an administrator has to enable the helper"));
        }
        arguments.push_back(pkexec->string());
    }
    arguments.push_back(systemctl->string());
    arguments.insert(arguments.end(), systemctlArguments.begin(), systemctlArguments.end());
    auto description = fmt::format("{}", fmt::join(arguments, " "));

    auto output = m_processRunner->run(
        arguments, m_options.runningAsRoot ? m_options.queryTimeLimit : m_options.approvalTimeLimit);
    if (!output) {
        auto code = output.error().kind == ProcessError::Kind::TimedOut
            ? ServiceManagerErrorCode::TimedOut
            : ServiceManagerErrorCode::CommandFailed;
        return Unexpected(serviceError(code, output.error().description));
    }
    if (output->exitStatus == 0)
        return {};
    // pkexec answers 126 when the dialog was dismissed and 127 when authorisation was refused.
    if (!m_options.runningAsRoot && (output->exitStatus == 126 || output->exitStatus == 127)) {
        m_approvalDeclined = true;
        return Unexpected(serviceError(ServiceManagerErrorCode::ApprovalRequired,
            fmt::format("An administrator did not approve \"{}\" (exit status {})", description,
                output->exitStatus)));
    }
    auto reason = trimmed(output->standardError);
    return Unexpected(serviceError(ServiceManagerErrorCode::CommandFailed,
        fmt::format("\"{}\" exited with status {}{}{}", description, output->exitStatus,
            reason.empty() ? "" : ": ", reason)));
}

Expected<void, ServiceManagerError> SystemdServiceManager::registerService()
{
    auto result = runPrivileged({ "enable", "--now", std::string(socketUnitName) });
    if (result)
        m_approvalDeclined = false;
    return result;
}

Expected<void, ServiceManagerError> SystemdServiceManager::unregisterService()
{
    return runPrivileged({ "disable", "--now", std::string(socketUnitName) });
}

}
