#include "platform/Subprocess.h"

#include "core/FileDescriptor.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <system_error>
#include <unistd.h>

extern char** environ;

namespace tallowin {

namespace {

// Where the child finds the verified executable. posix_spawn cannot execute a descriptor, so
// the child executes the kernel's link to its own copy of the descriptor: /proc/self/fd/N
// names the open file itself, not a path that could be walked again, and the descriptor is
// inherited (not close-on-exec) so that a script's interpreter can open it too.
constexpr int executableDescriptorInChild = 3;

std::string errnoText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

int exitStatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;

    static std::optional<Pipe> make()
    {
        std::array<int, 2> ends {};
        if (::pipe2(ends.data(), O_CLOEXEC) != 0)
            return std::nullopt;
        return Pipe { FileDescriptor(ends[0]), FileDescriptor(ends[1]) };
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

    posix_spawn_file_actions_t actions {};
    posix_spawnattr_t attributes {};
};

// A child in its own process group: killed with its whole group and reaped on every path out
// of the runner unless it was reaped normally.
class Child {
public:
    explicit Child(pid_t pid)
        : m_pid(pid)
    { }
    ~Child()
    {
        if (m_pid > 0) {
            killGroup();
            reap();
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void killGroup() const { ::kill(-m_pid, SIGKILL); }
    int reap()
    {
        int status = 0;
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
        m_pid = -1;
        return exitStatusOf(status);
    }
    std::optional<int> tryReap()
    {
        int status = 0;
        pid_t reaped = 0;
        while ((reaped = ::waitpid(m_pid, &status, WNOHANG)) < 0 && errno == EINTR) { }
        if (reaped != m_pid)
            return std::nullopt;
        m_pid = -1;
        return exitStatusOf(status);
    }

private:
    pid_t m_pid;
};

bool isReadable(int fd)
{
    if (fd < 0)
        return false;
    pollfd entry { fd, POLLIN, 0 };
    return ::poll(&entry, 1, 0) > 0;
}

}

std::vector<std::string> currentEnvironment()
{
    std::vector<std::string> entries;
    for (char** entry = environ; entry && *entry; ++entry)
        entries.emplace_back(*entry);
    return entries;
}

Expected<SubprocessOutput, SubprocessError> runSubprocess(const SubprocessRequest& request)
{
    using Kind = SubprocessError::Kind;
    const bool throughDescriptor = request.executable >= 0;
    if (!throughDescriptor && (request.program.empty() || request.program.front() != '/'))
        return Unexpected(SubprocessError { Kind::launchFailed, "the program needs an absolute path" });
    if (isReadable(request.cancellation))
        return Unexpected(SubprocessError { Kind::cancelled });
    const auto deadline = std::chrono::steady_clock::now() + request.timeLimit;

    auto output = Pipe::make();
    auto errors = Pipe::make();
    if (!output || !errors)
        return Unexpected(SubprocessError { Kind::launchFailed, errnoText(errno) });

    SpawnSettings settings;
    ::posix_spawn_file_actions_addopen(&settings.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&settings.actions, output->writeEnd.get(), STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&settings.actions, errors->writeEnd.get(), STDERR_FILENO);
    int firstClosed = STDERR_FILENO + 1;
    if (throughDescriptor) {
        // dup2 onto itself clears close-on-exec in the child (glibc 2.29 and later).
        ::posix_spawn_file_actions_adddup2(&settings.actions, request.executable, executableDescriptorInChild);
        firstClosed = executableDescriptorInChild + 1;
    }
    // Whatever a library opened without O_CLOEXEC stays in the parent.
    ::posix_spawn_file_actions_addclosefrom_np(&settings.actions, firstClosed);

    // Callers may block signals in every thread (the daemon takes SIGTERM synchronously); the
    // child starts with a clean mask and default handlers, in its own group so that a time-out
    // kills whatever it started too.
    sigset_t none;
    sigemptyset(&none);
    sigset_t all;
    sigfillset(&all);
    ::posix_spawnattr_setsigmask(&settings.attributes, &none);
    ::posix_spawnattr_setsigdefault(&settings.attributes, &all);
    ::posix_spawnattr_setpgroup(&settings.attributes, 0);
    ::posix_spawnattr_setflags(&settings.attributes,
        static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP));

    std::vector<char*> argv { const_cast<char*>(request.program.c_str()) };
    for (const auto& argument : request.arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : request.environment)
        envp.push_back(const_cast<char*>(entry.c_str()));
    envp.push_back(nullptr);

    const std::string executed = throughDescriptor
        ? "/proc/self/fd/" + std::to_string(executableDescriptorInChild)
        : request.program;
    pid_t pid = -1;
    const int spawned
        = ::posix_spawn(&pid, executed.c_str(), &settings.actions, &settings.attributes, argv.data(), envp.data());
    output->writeEnd.reset();
    errors->writeEnd.reset();
    if (spawned != 0)
        return Unexpected(SubprocessError { Kind::launchFailed, errnoText(spawned) });
    Child child(pid);

    SubprocessOutput result;
    std::array<FileDescriptor*, 2> pipes { &output->readEnd, &errors->readEnd };
    std::array<std::string*, 2> sinks { &result.standardOutput, &result.standardError };
    const std::array<std::size_t, 2> limits { request.maxStandardOutput, request.maxStandardError };
    std::array<char, 64 * 1024> buffer {};
    for (;;) {
        const auto remaining
            = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            return Unexpected(SubprocessError { Kind::timedOut });
        const bool draining = pipes[0]->isValid() || pipes[1]->isValid();
        std::array<pollfd, 3> entries { { { pipes[0]->get(), POLLIN, 0 }, { pipes[1]->get(), POLLIN, 0 },
            { request.cancellation, POLLIN, 0 } } };
        // Once both pipes are closed the child has nearly always exited; one that closed them
        // and lives on is polled for until the deadline.
        const int wait = draining ? static_cast<int>(std::min<long long>(remaining.count(), 1 << 30))
                                  : static_cast<int>(std::min<long long>(remaining.count(), 5));
        const int ready = ::poll(entries.data(), entries.size(), wait);
        if (ready < 0 && errno != EINTR)
            return Unexpected(SubprocessError { Kind::launchFailed, errnoText(errno) });
        if (ready > 0 && entries[2].revents != 0)
            return Unexpected(SubprocessError { Kind::cancelled });
        for (std::size_t index = 0; ready > 0 && index < pipes.size(); ++index) {
            if (entries[index].revents == 0)
                continue;
            const ssize_t count = ::read(pipes[index]->get(), buffer.data(), buffer.size());
            if (count > 0) {
                if (sinks[index]->size() + static_cast<std::size_t>(count) > limits[index])
                    return Unexpected(SubprocessError { Kind::outputTooLarge });
                sinks[index]->append(buffer.data(), static_cast<std::size_t>(count));
            } else if (count == 0 || (errno != EINTR && errno != EAGAIN)) {
                pipes[index]->reset();
            }
        }
        if (!pipes[0]->isValid() && !pipes[1]->isValid()) {
            if (auto status = child.tryReap()) {
                result.exitStatus = *status;
                return result;
            }
        }
    }
}

}
