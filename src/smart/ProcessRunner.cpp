#include "smart/ProcessRunner.h"

#include "helper_protocol/UnixSocket.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace tallowin {

namespace {

struct Pipe {
    FileDescriptor readEnd;
    FileDescriptor writeEnd;
};

Expected<Pipe, ProcessError> makePipe()
{
    std::array<int, 2> ends {};
    if (::pipe2(ends.data(), O_CLOEXEC) != 0)
        return Unexpected(ProcessError { ProcessError::Kind::LaunchFailed, std::strerror(errno) });
    return Pipe { FileDescriptor(ends[0]), FileDescriptor(ends[1]) };
}

int exitStatusOf(int waitStatus)
{
    if (WIFEXITED(waitStatus))
        return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus))
        return 128 + WTERMSIG(waitStatus);
    return -1;
}

// Owns the spawn attributes for the duration of one launch.
class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&m_actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&m_actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &m_actions; }

private:
    posix_spawn_file_actions_t m_actions {};
};

}

Expected<ProcessOutput, ProcessError> PosixProcessRunner::run(
    const std::vector<std::string>& arguments, std::chrono::milliseconds timeLimit)
{
    if (arguments.empty() || arguments.front().empty() || arguments.front().front() != '/')
        return Unexpected(
            ProcessError { ProcessError::Kind::LaunchFailed, "the program needs an absolute path" });
    auto deadline = std::chrono::steady_clock::now() + timeLimit;

    auto output = makePipe();
    if (!output)
        return Unexpected(output.error());
    auto errors = makePipe();
    if (!errors)
        return Unexpected(errors.error());

    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(actions.get(), output->writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), errors->writeEnd.get(), STDERR_FILENO);

    std::vector<char*> argv;
    argv.reserve(arguments.size() + 1);
    for (const auto& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    int spawnError
        = ::posix_spawn(&pid, arguments.front().c_str(), actions.get(), nullptr, argv.data(), environ);
    output->writeEnd.reset();
    errors->writeEnd.reset();
    if (spawnError != 0) {
        return Unexpected(ProcessError { ProcessError::Kind::LaunchFailed,
            fmt::format("{}: {}", arguments.front(), std::strerror(spawnError)) });
    }

    ProcessOutput result;
    bool timedOut = false;
    std::array<pollfd, 2> descriptors { { { output->readEnd.get(), POLLIN, 0 },
        { errors->readEnd.get(), POLLIN, 0 } } };
    std::array<std::string*, 2> sinks { &result.standardOutput, &result.standardError };
    int open = 2;
    std::array<char, 4096> buffer {};
    while (open > 0 && !timedOut) {
        auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0) {
            timedOut = true;
            break;
        }
        int ready = ::poll(descriptors.data(), descriptors.size(), static_cast<int>(remaining.count()) + 1);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            break;
        for (std::size_t index = 0; index < descriptors.size(); ++index) {
            auto& descriptor = descriptors[index];
            if (descriptor.fd < 0 || descriptor.revents == 0)
                continue;
            ssize_t count = ::read(descriptor.fd, buffer.data(), buffer.size());
            if (count > 0) {
                sinks[index]->append(buffer.data(), static_cast<std::size_t>(count));
            } else if (count == 0 || errno != EINTR) {
                descriptor.fd = -1;
                --open;
            }
        }
    }

    // Both pipes are closed: the child has ended or is about to. It gets until the deadline,
    // then it is killed; either way it is reaped before we return.
    if (timedOut)
        ::kill(pid, SIGKILL);
    int waitStatus = 0;
    for (;;) {
        pid_t waited = ::waitpid(pid, &waitStatus, timedOut ? 0 : WNOHANG);
        if (waited == pid)
            break;
        if (waited < 0) {
            if (errno == EINTR)
                continue;
            return Unexpected(ProcessError { ProcessError::Kind::LaunchFailed, std::strerror(errno) });
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            timedOut = true;
            ::kill(pid, SIGKILL);
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (timedOut) {
        return Unexpected(ProcessError { ProcessError::Kind::TimedOut,
            fmt::format("{} did not finish within {} ms", arguments.front(), timeLimit.count()) });
    }
    result.exitStatus = exitStatusOf(waitStatus);
    return result;
}

}
