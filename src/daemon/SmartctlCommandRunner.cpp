#include "daemon/SmartctlCommandRunner.h"

#include "core/Language.h"
#include "daemon/TrustedFile.h"
#include "platform/Subprocess.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <mutex>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifndef TALLOWIN_HELPER_LIBEXEC_DIR
#define TALLOWIN_HELPER_LIBEXEC_DIR "/usr/local/libexec/tallowin"
#endif
#ifndef TALLOWIN_HELPER_STATE_DIR
#define TALLOWIN_HELPER_STATE_DIR "/var/lib/tallowin"
#endif

namespace tallowin {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A smartctl -x report is tens of kilobytes (the largest NVMe reports with long error logs a
// few hundred); these caps stop a runaway program from filling the daemon's memory, with four
// runs at a time.
constexpr std::size_t maxStandardOutput = 2 * 1024 * 1024;
constexpr std::size_t maxStandardError = 256 * 1024;

std::string errnoText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

std::string secondsText(std::chrono::milliseconds duration)
{
    return fmt::format("{:g}", static_cast<double>(duration.count()) / 1000.0);
}

// Serialises the preparation of the resource copy, which every request does afresh.
std::mutex& preparationMutex()
{
    static std::mutex mutex;
    return mutex;
}

}

std::string SmartctlCommandRunnerError::localizedDescription() const
{
    switch (kind) {
    case Kind::launchFailed:
        return HelperError::launchFailed(underlying).localizedDescription();
    case Kind::nonZeroExit:
        return HelperError::nonZeroExit(status).localizedDescription();
    case Kind::emptyOutput:
        return HelperError::emptyOutput().localizedDescription();
    case Kind::smartctlNotFound:
        return HelperError::smartctlNotFound().localizedDescription();
    case Kind::executionFailedUnknown:
        return HelperError::executionFailedUnknown().localizedDescription();
    case Kind::timedOut:
        return localized(
            fmt::format("smartctl did not finish within {} seconds and was stopped", secondsText(timeout)),
            fmt::format("smartctl 未在 {} 秒内完成，已被终止", secondsText(timeout)));
    case Kind::outputTooLarge:
        return localized("smartctl produced more output than the helper can return",
            "smartctl 产生的输出超出了辅助程序可返回的大小");
    }
    return {};
}

std::string SmartctlCommandRunnerError::caseDescription() const
{
    switch (kind) {
    case Kind::launchFailed:
        return fmt::format("launchFailed(underlying: {:?})", underlying);
    case Kind::nonZeroExit:
        return fmt::format("nonZeroExit(status: {}, stdout: {} bytes, stderr: {} bytes)", status,
            standardOutput.size(), standardError.size());
    case Kind::emptyOutput:
        return fmt::format("emptyOutput(stderr: {} bytes)", standardError.size());
    case Kind::smartctlNotFound:
        return "smartctlNotFound";
    case Kind::executionFailedUnknown:
        return "executionFailedUnknown";
    case Kind::timedOut:
        return fmt::format("timedOut(seconds: {})", secondsText(timeout));
    case Kind::outputTooLarge:
        return "outputTooLarge";
    }
    return {};
}

HelperError SmartctlCommandRunnerError::helperError() const
{
    switch (kind) {
    case Kind::launchFailed:
        return HelperError::launchFailed(underlying);
    case Kind::nonZeroExit:
        return HelperError::nonZeroExit(status);
    case Kind::emptyOutput:
        return HelperError::emptyOutput();
    case Kind::smartctlNotFound:
        return HelperError::smartctlNotFound();
    case Kind::executionFailedUnknown:
        return HelperError::executionFailedUnknown();
    // Not among the runner's original cases: sent like any other failure, with code 999 and
    // its own English description, which the application only logs.
    case Kind::timedOut:
        return HelperError::make(HelperError::Code::executionFailedUnknown,
            fmt::format("smartctl did not finish within {} seconds and was stopped", secondsText(timeout)));
    case Kind::outputTooLarge:
        return HelperError::make(HelperError::Code::executionFailedUnknown,
            "smartctl produced more output than the helper can return");
    }
    return HelperError::executionFailedUnknown();
}

std::vector<fs::path> SmartctlCommandRunner::defaultSystemPaths()
{
    // smartmontools installs to /usr/sbin from distribution packages and to /usr/local/sbin
    // when built from source; a local build wins, as it is usually the newer one.
    return { "/usr/local/sbin/smartctl", "/usr/local/bin/smartctl", "/usr/sbin/smartctl",
        "/usr/bin/smartctl" };
}

SmartctlCommandRunner::Configuration SmartctlCommandRunner::configurationFromEnvironment()
{
    Configuration configuration;
    configuration.environment = processEnvironment;
    const auto stateDirectory = processEnvironment("TALLOWIN_HELPER_STATE_DIR");
    configuration.copyDirectory = stateDirectory && !stateDirectory->empty() ? fs::path(*stateDirectory)
                                                                             : fs::path(TALLOWIN_HELPER_STATE_DIR);
    const auto resourceDirectory = processEnvironment("TALLOWIN_HELPER_RESOURCE_DIR");
    configuration.resourceDirectory = resourceDirectory && !resourceDirectory->empty()
        ? fs::path(*resourceDirectory)
        : fs::path(TALLOWIN_HELPER_LIBEXEC_DIR);
    if (const auto paths = processEnvironment("TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS")) {
        std::string_view rest = *paths;
        while (!rest.empty()) {
            const auto colon = rest.find(':');
            if (const auto entry = rest.substr(0, colon); !entry.empty())
                configuration.systemPaths.emplace_back(entry);
            rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
        }
    } else {
        configuration.systemPaths = defaultSystemPaths();
    }
    if (const auto timeout = processEnvironment("TALLOWIN_HELPER_SMARTCTL_TIMEOUT_MS")) {
        char* end = nullptr;
        const long long milliseconds = std::strtoll(timeout->c_str(), &end, 10);
        if (end && *end == '\0' && milliseconds > 0)
            configuration.timeout = std::chrono::milliseconds(milliseconds);
    }
    return configuration;
}

SmartctlCommandRunner::SmartctlCommandRunner(Logger logger, Configuration configuration)
    : m_logger(std::move(logger))
    , m_configuration(std::move(configuration))
{
    if (!m_configuration.environment)
        m_configuration.environment = processEnvironment;
}

std::optional<std::string> SmartctlCommandRunner::environmentValue(const char* name) const
{
    return m_configuration.environment(name);
}

std::string_view SmartctlCommandRunner::originText(Origin origin)
{
    return origin == Origin::bundled ? "bundled" : "system";
}

std::vector<std::string> SmartctlCommandRunner::childEnvironment() const
{
    std::vector<std::string> entries;
    const auto own = [&](const char* name, std::string_view fallback) {
        const auto value = environmentValue(name);
        entries.push_back(fmt::format("{}={}", name, value ? *value : fallback));
    };
    own("PATH", "/usr/local/sbin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
    // root's home on Linux.
    own("HOME", "/root");
    own("TMPDIR", "/tmp");
    for (const char* name : { "LANG", "LC_ALL", "LC_CTYPE", "SHELL" }) {
        if (const auto value = environmentValue(name); value && !value->empty())
            entries.push_back(fmt::format("{}={}", name, *value));
    }
    std::sort(entries.begin(), entries.end());
    return entries;
}

Expected<SmartctlExecutionResult, SmartctlCommandRunnerError> SmartctlCommandRunner::run(
    std::string_view bsdName) const
{
    auto candidates = discoverCandidates();
    if (candidates.empty())
        return Unexpected(SmartctlCommandRunnerError::of(SmartctlCommandRunnerError::Kind::smartctlNotFound));

    std::vector<std::string> listed;
    for (const auto& candidate : candidates)
        listed.push_back(
            fmt::format("{} [origin={}]", candidate.path.string(), originText(candidate.origin)));
    m_logger.info(
        "Discovered smartctl executable candidates for BSD name {}: {}", bsdName, fmt::join(listed, ", "));

    const std::vector<std::string> arguments { "-j", "-x", "/dev/" + std::string(bsdName) };
    std::optional<SmartctlCommandRunnerError> lastError;
    for (const auto& candidate : candidates) {
        m_logger.info("Launching smartctl from {} [origin={}] for BSD name {}", candidate.path.string(),
            originText(candidate.origin), bsdName);
        auto output = launch(candidate, arguments);
        if (!output) {
            m_logger.error("smartctl attempt failed using {} for BSD name {}: {}", candidate.path.string(),
                bsdName, output.error().localizedDescription());
            lastError = output.error();
            // A hang is the device's doing, not the executable's: another candidate would hang
            // on the same disk. A shutdown stops everything.
            if (lastError->kind == SmartctlCommandRunnerError::Kind::timedOut
                || lastError->kind == SmartctlCommandRunnerError::Kind::executionFailedUnknown)
                break;
            continue;
        }
        if (output->status == 0)
            m_logger.debug("smartctl exited with status 0 when using {} for BSD name {}",
                candidate.path.string(), bsdName);
        else
            m_logger.error(
                "smartctl exited with non-zero status {} when using {} for BSD name {}; continuing to "
                "process available output.",
                output->status, candidate.path.string(), bsdName);
        return SmartctlExecutionResult { std::move(output->standardOutput),
            fmt::format("{} {}", candidate.path.string(), fmt::join(arguments, " ")),
            std::move(output->standardError), output->status };
    }
    m_logger.fault("All smartctl candidates failed for BSD name {}. Last error: {}", bsdName,
        lastError->localizedDescription());
    return Unexpected(*lastError);
}

std::vector<SmartctlCommandRunner::Candidate> SmartctlCommandRunner::discoverCandidates() const
{
    std::vector<Candidate> candidates;
    if (auto resource = prepareResourceCandidate())
        candidates.push_back(std::move(*resource));
    for (const auto& path : m_configuration.systemPaths) {
        // The list can be overridden for development; whatever it says, root runs nothing but
        // a verified file named smartctl.
        if (path.filename() != "smartctl") {
            m_logger.error("Refused smartctl candidate at {}: it is not named smartctl", path.string());
            continue;
        }
        auto opened = TrustedFile::openExecutable(path);
        if (!opened) {
            // A missing path is the common case and not worth a line; a present one that fails
            // the ownership checks is a warning sign.
            if (::access(path.c_str(), F_OK) == 0)
                m_logger.error("Refused smartctl candidate at {}: {}", path.string(), opened.error());
            continue;
        }
        m_logger.debug("Detected system smartctl candidate at path: {}", path.string());
        candidates.push_back({ path, Origin::system, std::move(opened).value() });
    }
    if (candidates.empty())
        m_logger.error("No smartctl executable found in bundled resources or standard system paths.");
    return candidates;
}

std::optional<SmartctlCommandRunner::Candidate> SmartctlCommandRunner::prepareResourceCandidate() const
{
    const fs::path resource = m_configuration.resourceDirectory / "smartctl";
    struct stat status { };
    if (m_configuration.resourceDirectory.empty() || ::stat(resource.c_str(), &status) != 0
        || !S_ISREG(status.st_mode)) {
        m_logger.debug("Bundled smartctl resource not found inside helper bundle.");
        return std::nullopt;
    }
    m_logger.info("Found bundled smartctl resource at {}", resource.string());
    const auto failed = [&](const std::string& description) {
        m_logger.error("Failed to prepare bundled smartctl executable: {}", description);
        return std::nullopt;
    };
    // The resource is copied into root's own folder when it is not executable, so it has to be
    // as trustworthy as a file root runs: a resource that another user could have written would
    // otherwise be laundered by the copy.
    auto resourceDirectory = TrustedFile::openDirectory(m_configuration.resourceDirectory);
    if (!resourceDirectory)
        return failed(resourceDirectory.error());
    auto source = TrustedFile::openAt(resourceDirectory->get(), "smartctl", false);
    if (!source)
        return failed(source.error());
    if (::fstat(source->get(), &status) == 0 && (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) != 0)
        return Candidate { resource, Origin::bundled, std::move(source).value() };

    std::lock_guard lock(preparationMutex());
    auto directory = TrustedFile::makeDirectory(m_configuration.copyDirectory);
    if (!directory) {
        m_logger.error("Failed to prepare Application Support directory at {}: {}",
            m_configuration.copyDirectory.string(), directory.error());
        return failed(directory.error());
    }
    const fs::path target = m_configuration.copyDirectory / "smartctl";

    // Written beside the target and renamed over it, so that a request running the previous
    // copy (through its own descriptor) never sees a half-written file.
    const std::string temporaryName = fmt::format(".smartctl-{}", ::getpid());
    ::unlinkat(directory->get(), temporaryName.c_str(), 0);
    FileDescriptor copy(::openat(directory->get(), temporaryName.c_str(),
        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0700));
    if (!copy)
        return failed(errnoText(errno));
    const auto discard = [&](int error) {
        ::unlinkat(directory->get(), temporaryName.c_str(), 0);
        return failed(errnoText(error));
    };
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(source->get(), buffer, sizeof(buffer));
        if (count == 0)
            break;
        if (count < 0) {
            if (errno == EINTR)
                continue;
            return discard(errno);
        }
        for (ssize_t done = 0; done < count;) {
            const ssize_t written
                = ::write(copy.get(), buffer + done, static_cast<std::size_t>(count - done));
            if (written < 0 && errno != EINTR)
                return discard(errno);
            done += std::max<ssize_t>(written, 0);
        }
    }
    if (::fchmod(copy.get(), 0755) != 0)
        return discard(errno);
    copy.reset();
    if (::faccessat(directory->get(), "smartctl", F_OK, AT_SYMLINK_NOFOLLOW) == 0)
        m_logger.debug("Removed existing bundled smartctl copy at {} before re-copying.", target.string());
    if (::renameat(directory->get(), temporaryName.c_str(), directory->get(), "smartctl") != 0)
        return discard(errno);
    auto opened = TrustedFile::openExecutableAt(directory->get(), "smartctl");
    if (!opened)
        return failed(opened.error());
    m_logger.debug("Prepared bundled smartctl copy at {}", target.string());
    return Candidate { target, Origin::bundled, std::move(opened).value() };
}

Expected<SmartctlCommandRunner::Output, SmartctlCommandRunnerError> SmartctlCommandRunner::launch(
    const Candidate& candidate, const std::vector<std::string>& arguments) const
{
    using Kind = SmartctlCommandRunnerError::Kind;
    const auto environment = childEnvironment();
    m_logger.info("About to launch process at {} with arguments {} and environment: {}",
        candidate.path.string(), fmt::join(arguments, " "), fmt::join(environment, ", "));

    SubprocessRequest request;
    request.program = candidate.path.string();
    request.arguments = arguments;
    request.environment = environment;
    // The file that was verified is the one executed, whatever happened to its path since.
    request.executable = candidate.file.get();
    request.timeLimit = m_configuration.timeout;
    request.maxStandardOutput = maxStandardOutput;
    request.maxStandardError = maxStandardError;
    request.cancellation = m_configuration.cancellationFd;
    auto output = runSubprocess(request);
    if (!output) {
        switch (output.error().kind) {
        case SubprocessError::Kind::launchFailed:
            return Unexpected(SmartctlCommandRunnerError::launchFailed(output.error().description));
        case SubprocessError::Kind::timedOut: {
            SmartctlCommandRunnerError error = SmartctlCommandRunnerError::of(Kind::timedOut);
            error.timeout = m_configuration.timeout;
            return Unexpected(std::move(error));
        }
        case SubprocessError::Kind::outputTooLarge:
            return Unexpected(SmartctlCommandRunnerError::of(Kind::outputTooLarge));
        case SubprocessError::Kind::cancelled:
            break;
        }
        return Unexpected(SmartctlCommandRunnerError::of(Kind::executionFailedUnknown));
    }
    if (output->standardOutput.empty())
        return Unexpected(SmartctlCommandRunnerError::emptyOutput(
            Bytes(output->standardError.begin(), output->standardError.end())));
    return Output { Bytes(output->standardOutput.begin(), output->standardOutput.end()),
        Bytes(output->standardError.begin(), output->standardError.end()), output->exitStatus };
}

}
