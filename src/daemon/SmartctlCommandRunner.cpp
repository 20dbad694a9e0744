#include "daemon/SmartctlCommandRunner.h"

#include "core/Language.h"
#include "helper_protocol/UnixSocket.h"

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

namespace tallowin {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A smartctl -x report is tens of kilobytes; these caps keep the reply inside one frame and
// stop a runaway program from filling the daemon's memory.
constexpr std::size_t maxStandardOutput = 8 * 1024 * 1024;
constexpr std::size_t maxStandardError = 1024 * 1024;

std::string errnoText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

std::string secondsText(std::chrono::milliseconds duration)
{
    return fmt::format("{:g}", static_cast<double>(duration.count()) / 1000.0);
}

bool isExecutableFile(const fs::path& path)
{
    struct stat status { };
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// Serialises the preparation of the resource copy, which every request does afresh.
std::mutex& preparationMutex()
{
    static std::mutex mutex;
    return mutex;
}

// The directory must be ours alone: root executes what is in it, so a directory that another
// user could have planted or can write to (think /tmp/Tallowin) is refused.
Expected<void, std::string> makePrivateDirectory(const fs::path& directory)
{
    std::error_code error;
    fs::create_directories(directory, error);
    if (error)
        return Unexpected(error.message());
    struct stat status { };
    if (::lstat(directory.c_str(), &status) != 0)
        return Unexpected(errnoText(errno));
    if (!S_ISDIR(status.st_mode) || status.st_uid != ::geteuid())
        return Unexpected(std::string("not a directory owned by this user"));
    if (::chmod(directory.c_str(), 0755) != 0)
        return Unexpected(errnoText(errno));
    return {};
}

// A child in its own process group; killed with its whole group and reaped unless it was
// reaped normally, so that no path out of the runner leaves a process behind.
class ChildProcess {
public:
    explicit ChildProcess(pid_t pid)
        : m_pid(pid)
    { }
    ~ChildProcess()
    {
        if (m_pid > 0) {
            killGroup();
            reap();
        }
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    void killGroup() const { ::kill(-m_pid, SIGKILL); }

    // The exit status, or 128 + the signal that ended it (the shells' convention).
    std::int32_t reap()
    {
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
        m_pid = -1;
        return statusOf(status);
    }

    // Reaps the child if it has ended; never blocks.
    std::optional<std::int32_t> tryReap()
    {
        int status = 0;
        pid_t reaped = 0;
        while ((reaped = ::waitpid(m_pid, &status, WNOHANG)) < 0 && errno == EINTR) { }
        if (reaped != m_pid)
            return std::nullopt;
        m_pid = -1;
        return statusOf(status);
    }

private:
    static std::int32_t statusOf(int status)
    {
        if (WIFEXITED(status))
            return WEXITSTATUS(status);
        if (WIFSIGNALED(status))
            return 128 + WTERMSIG(status);
        return -1;
    }

    pid_t m_pid;
};

struct Pipe {
    FileDescriptor read;
    FileDescriptor write;

    static Expected<Pipe, int> make()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return Unexpected(errno);
        return Pipe { FileDescriptor(fds[0]), FileDescriptor(fds[1]) };
    }
};

class SpawnSettings {
public:
    SpawnSettings()
    {
        ::posix_spawn_file_actions_init(&actions);
        ::posix_spawnattr_init(&attributes);
    }
    ~SpawnSettings()
    {
        ::posix_spawn_file_actions_destroy(&actions);
        ::posix_spawnattr_destroy(&attributes);
    }
    SpawnSettings(const SpawnSettings&) = delete;
    SpawnSettings& operator=(const SpawnSettings&) = delete;

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
};

}

std::string SmartctlCommandRunnerError::localizedDescription() const
{
    switch (kind) {
    case Kind::launchFailed:
        return HelperError::launchFailed(underlying).description;
    case Kind::nonZeroExit:
        return HelperError::nonZeroExit(status).description;
    case Kind::emptyOutput:
        return HelperError::emptyOutput().description;
    case Kind::smartctlNotFound:
        return HelperError::smartctlNotFound().description;
    case Kind::executionFailedUnknown:
        return HelperError::executionFailedUnknown().description;
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
    case Kind::timedOut:
    case Kind::outputTooLarge:
        // Not among the runner's original cases: sent like any other failure, with code 999 and
        // its own description, which the application only logs.
        return HelperError::make(HelperError::Code::executionFailedUnknown, localizedDescription());
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
    const auto candidates = discoverCandidates();
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
        auto output = launch(candidate.path, arguments);
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
        candidates.push_back({ std::move(*resource), Origin::bundled });
    for (const auto& path : m_configuration.systemPaths) {
        if (isExecutableFile(path)) {
            m_logger.debug("Detected system smartctl candidate at path: {}", path.string());
            candidates.push_back({ path, Origin::system });
        }
    }
    if (candidates.empty())
        m_logger.error("No smartctl executable found in bundled resources or standard system paths.");
    return candidates;
}

std::optional<fs::path> SmartctlCommandRunner::prepareResourceCandidate() const
{
    const fs::path resource = m_configuration.resourceDirectory / "smartctl";
    struct stat status { };
    if (m_configuration.resourceDirectory.empty() || ::stat(resource.c_str(), &status) != 0
        || !S_ISREG(status.st_mode)) {
        m_logger.debug("Bundled smartctl resource not found inside helper bundle.");
        return std::nullopt;
    }
    m_logger.info("Found bundled smartctl resource at {}", resource.string());
    if (isExecutableFile(resource))
        return resource;

    const auto failed = [&](const std::string& description) {
        m_logger.error("Failed to prepare bundled smartctl executable: {}", description);
        return std::nullopt;
    };
    std::lock_guard lock(preparationMutex());
    auto directory = copyDirectory();
    if (!directory)
        return failed(directory.error());
    const fs::path target = *directory / "smartctl";

    // Written beside the target and renamed over it, so that a request running the previous
    // copy never sees a half-written or missing file.
    std::string temporaryName = (*directory / ".smartctl-XXXXXX").string();
    FileDescriptor copy(::mkostemp(temporaryName.data(), O_CLOEXEC));
    if (!copy)
        return failed(errnoText(errno));
    const auto discard = [&](int error) {
        ::unlink(temporaryName.c_str());
        return failed(errnoText(error));
    };
    FileDescriptor source(::open(resource.c_str(), O_RDONLY | O_CLOEXEC));
    if (!source)
        return discard(errno);
    char buffer[64 * 1024];
    for (;;) {
        const ssize_t count = ::read(source.get(), buffer, sizeof(buffer));
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
    if (::access(target.c_str(), F_OK) == 0)
        m_logger.debug("Removed existing bundled smartctl copy at {} before re-copying.", target.string());
    if (::rename(temporaryName.c_str(), target.c_str()) != 0)
        return discard(errno);
    m_logger.debug("Prepared bundled smartctl copy at {}", target.string());
    return target;
}

Expected<fs::path, std::string> SmartctlCommandRunner::copyDirectory() const
{
    // Linux's per-user application data folders stand for Application Support.
    std::vector<fs::path> bases;
    if (const auto data = environmentValue("XDG_DATA_HOME"); data && !data->empty() && data->front() == '/')
        bases.emplace_back(*data);
    if (const auto home = environmentValue("HOME"); home && !home->empty() && home->front() == '/')
        bases.push_back(fs::path(*home) / ".local" / "share");
    for (const auto& base : bases) {
        const fs::path directory = base / "Tallowin";
        auto made = makePrivateDirectory(directory);
        if (made)
            return directory;
        m_logger.error(
            "Failed to prepare Application Support directory at {}: {}", directory.string(), made.error());
    }
    const auto temporary = environmentValue("TMPDIR");
    const fs::path directory
        = fs::path(temporary && !temporary->empty() && temporary->front() == '/' ? *temporary : "/tmp")
        / "Tallowin";
    if (auto made = makePrivateDirectory(directory); !made)
        return Unexpected(made.error());
    m_logger.error("Falling back to temporary directory for Application Support: {}", directory.string());
    return directory;
}

Expected<SmartctlCommandRunner::Output, SmartctlCommandRunnerError> SmartctlCommandRunner::launch(
    const fs::path& path, const std::vector<std::string>& arguments) const
{
    using Kind = SmartctlCommandRunnerError::Kind;
    const auto environment = childEnvironment();
    m_logger.info("About to launch process at {} with arguments {} and environment: {}", path.string(),
        fmt::join(arguments, " "), fmt::join(environment, ", "));

    const int cancellation = m_configuration.cancellationFd;
    if (cancellation >= 0) {
        pollfd entry { cancellation, POLLIN, 0 };
        if (::poll(&entry, 1, 0) > 0)
            return Unexpected(SmartctlCommandRunnerError::of(Kind::executionFailedUnknown));
    }

    auto input = Pipe::make();
    auto output = Pipe::make();
    auto errors = Pipe::make();
    if (!input || !output || !errors)
        return Unexpected(SmartctlCommandRunnerError::launchFailed(errnoText(errno)));

    SpawnSettings settings;
    ::posix_spawn_file_actions_adddup2(&settings.actions, input->read.get(), STDIN_FILENO);
    ::posix_spawn_file_actions_adddup2(&settings.actions, output->write.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&settings.actions, errors->write.get(), STDERR_FILENO);
    // The daemon blocks SIGTERM in every thread to take it synchronously; the child must start
    // with a clean mask and default handlers. Its own process group lets a time-out kill
    // whatever it started, too.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&settings.attributes, &none);
    ::posix_spawnattr_setsigdefault(&settings.attributes, &all);
    ::posix_spawnattr_setpgroup(&settings.attributes, 0);
    ::posix_spawnattr_setflags(&settings.attributes,
        static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP));

    const std::string program = path.string();
    std::vector<char*> argv { const_cast<char*>(program.c_str()) };
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    pid_t pid = -1;
    const int spawned = ::posix_spawn(
        &pid, program.c_str(), &settings.actions, &settings.attributes, argv.data(), envp.data());
    if (spawned != 0)
        return Unexpected(SmartctlCommandRunnerError::launchFailed(errnoText(spawned)));
    ChildProcess child(pid);
    input->read.reset();
    input->write.reset(); // smartctl reads nothing; it sees end of input at once
    output->write.reset();
    errors->write.reset();

    // Drain both pipes while the child runs: a child blocked on a full pipe never exits.
    Output result;
    const auto deadline = std::chrono::steady_clock::now() + m_configuration.timeout;
    bool outputOpen = true;
    bool errorsOpen = true;
    char buffer[64 * 1024];
    while (outputOpen || errorsOpen) {
        pollfd entries[3] = {
            { outputOpen ? output->read.get() : -1, POLLIN, 0 },
            { errorsOpen ? errors->read.get() : -1, POLLIN, 0 },
            { cancellation, POLLIN, 0 },
        };
        const auto remaining
            = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining <= 0ms) {
            child.killGroup();
            child.reap();
            SmartctlCommandRunnerError error = SmartctlCommandRunnerError::of(Kind::timedOut);
            error.timeout = m_configuration.timeout;
            return Unexpected(std::move(error));
        }
        const int ready
            = ::poll(entries, 3, static_cast<int>(std::min<long long>(remaining.count(), 1 << 30)));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            return Unexpected(SmartctlCommandRunnerError::of(Kind::executionFailedUnknown));
        }
        if (entries[2].revents != 0)
            return Unexpected(SmartctlCommandRunnerError::of(Kind::executionFailedUnknown));
        const auto drain = [&](int index, FileDescriptor& pipe, Bytes& into, std::size_t limit, bool& open) {
            if (entries[index].revents == 0)
                return true;
            const ssize_t count = ::read(pipe.get(), buffer, sizeof(buffer));
            if (count > 0) {
                into.insert(into.end(), buffer, buffer + count);
                return into.size() <= limit;
            }
            if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
                open = false;
                pipe.reset();
            }
            return true;
        };
        if (!drain(0, output->read, result.standardOutput, maxStandardOutput, outputOpen)
            || !drain(1, errors->read, result.standardError, maxStandardError, errorsOpen))
            return Unexpected(SmartctlCommandRunnerError::of(Kind::outputTooLarge));
    }
    // Both pipes are closed, which is nearly always the child's exit; one that closed them and
    // lives on is still held to the deadline.
    for (;;) {
        if (auto status = child.tryReap()) {
            result.status = *status;
            break;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            child.killGroup();
            child.reap();
            SmartctlCommandRunnerError error = SmartctlCommandRunnerError::of(Kind::timedOut);
            error.timeout = m_configuration.timeout;
            return Unexpected(std::move(error));
        }
        pollfd entry { cancellation, POLLIN, 0 };
        if (::poll(&entry, 1, 5) > 0)
            return Unexpected(SmartctlCommandRunnerError::of(Kind::executionFailedUnknown));
    }
    if (result.standardOutput.empty())
        return Unexpected(SmartctlCommandRunnerError::emptyOutput(std::move(result.standardError)));
    return result;
}

}
