#pragma once

#include "helper_protocol/UnixSocket.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tallowin::testing {

// The real daemon (TALLOWIN_DAEMON_PATH) in standalone mode on <directory>/probewarden.sock,
// looking for smartctl only in <directory>/resources unless the environment says otherwise
// (and copying a non-executable one into <directory>/state),
// and for device names in the fake sysfs tree <directory>/sysfs, which lists the block
// devices sda, sdb, sdc and nvme0n1 (addFakeBlockDevice adds more).
// Constructed once it accepts connections; reaped when the test ends however it ends, and
// SIGKILLed should the test process die first.
class ProbeWardenProcess {
public:
    using Environment = std::map<std::string, std::string>;
    explicit ProbeWardenProcess(const std::filesystem::path& directory, Environment environment = {})
        : ProbeWardenProcess(directory, std::move(environment), 0)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!connectUnixSocket(m_socketPath.string())) {
            if (std::chrono::steady_clock::now() > deadline || !isRunning())
                throw std::runtime_error("the daemon did not start listening");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~ProbeWardenProcess()
    {
        if (!terminate(std::chrono::seconds(10)))
            kill();
    }
    ProbeWardenProcess(const ProbeWardenProcess&) = delete;
    // Runs a daemon that is expected to give up at start: its exit status, or -1.
    static int runToExit(const std::filesystem::path& directory)
    {
        ProbeWardenProcess daemon(directory, {}, 0);
        const bool exited = daemon.waitForExit(std::chrono::seconds(10)) && WIFEXITED(daemon.m_status);
        return exited ? WEXITSTATUS(daemon.m_status) : -1;
    }
    pid_t pid() const { return m_pid; }
    static void addFakeBlockDevice(const std::filesystem::path& directory, const std::string& name)
    {
        std::filesystem::create_directories(directory / "sysfs/class/block" / name);
    }
    bool isRunning()
    {
        if (m_pid > 0 && ::waitpid(m_pid, &m_status, WNOHANG) == m_pid)
            m_pid = -1;
        return m_pid > 0;
    }
    // SIGTERM; the wait status once it has exited, std::nullopt when it did not in time.
    std::optional<int> terminate(std::chrono::milliseconds within)
    {
        if (m_pid > 0)
            ::kill(m_pid, SIGTERM);
        return waitForExit(within) ? std::optional(m_status) : std::nullopt;
    }
    // SIGKILL, as in a crash: the socket file stays behind.
    void kill()
    {
        if (m_pid > 0)
            ::kill(m_pid, SIGKILL);
        while (m_pid > 0 && ::waitpid(m_pid, &m_status, 0) < 0 && errno == EINTR) { }
        m_pid = -1;
    }
    FileDescriptor connect() const
    {
        auto fd = connectUnixSocket(m_socketPath.string());
        EXPECT_TRUE(fd.has_value());
        return fd ? std::move(fd).value() : FileDescriptor();
    }

private:
    ProbeWardenProcess(const std::filesystem::path& directory, Environment environment, int)
        : m_socketPath(directory / "probewarden.sock")
    {
        environment["TALLOWIN_HELPER_SOCKET"] = m_socketPath.string();
        environment.try_emplace("TALLOWIN_HELPER_RESOURCE_DIR", (directory / "resources").string());
        environment.try_emplace("TALLOWIN_HELPER_SYSTEM_SMARTCTL_PATHS", "");
        environment.try_emplace("TALLOWIN_HELPER_STATE_DIR", (directory / "state").string());
        environment.try_emplace("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
        if (environment.try_emplace("TALLOWIN_SYSFS_ROOT", (directory / "sysfs").string()).second) {
            for (const char* name : { "sda", "sdb", "sdc", "nvme0n1" })
                addFakeBlockDevice(directory, name);
        }
        std::vector<std::string> entries;
        std::vector<char*> envp;
        entries.reserve(environment.size()); // envp points into it
        for (const auto& [name, value] : environment)
            envp.push_back(entries.emplace_back(name + "=" + value).data());
        envp.push_back(nullptr);
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            char* argv[] = { const_cast<char*>(TALLOWIN_DAEMON_PATH), nullptr };
            if (::getppid() == parent) // otherwise the test process died before prctl
                ::execve(TALLOWIN_DAEMON_PATH, argv, envp.data());
            ::_exit(127);
        }
        if (m_pid < 0)
            throw std::runtime_error("cannot start the daemon");
    }
    bool waitForExit(std::chrono::milliseconds within)
    {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (isRunning() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return !isRunning();
    }
    std::filesystem::path m_socketPath;
    pid_t m_pid { -1 };
    int m_status { -1 };
};

}
