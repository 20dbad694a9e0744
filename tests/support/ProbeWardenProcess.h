#pragma once

#include "helper_protocol/UnixSocket.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace tallowin::testing {

// The real com.tallowin.ProbeWarden program (TALLOWIN_DAEMON_PATH) in standalone mode, listening
// on <directory>/probewarden.sock and looking for smartctl only in <directory>/resources unless
// the environment given says otherwise. Stopped and reaped when the test ends, however it ends;
// it also gets SIGKILL should the test process die first, so no root daemon outlives a test.
class ProbeWardenProcess {
public:
    using Environment = std::map<std::string, std::string>;

    // Returns once the daemon accepts connections.
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
    ProbeWardenProcess& operator=(const ProbeWardenProcess&) = delete;

    // Runs a daemon that is expected to give up at start: its exit status, or -1.
    static int runToExit(const std::filesystem::path& directory, Environment environment = {})
    {
        ProbeWardenProcess daemon(directory, std::move(environment), 0);
        if (!daemon.waitForExit(std::chrono::seconds(10)))
            return -1;
        return WIFEXITED(daemon.m_status) ? WEXITSTATUS(daemon.m_status) : -1;
    }

    const std::filesystem::path& socketPath() const { return m_socketPath; }

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
        if (!waitForExit(within))
            return std::nullopt;
        return m_status;
    }

    // SIGKILL, as in a crash: the socket file stays behind.
    void kill()
    {
        if (m_pid <= 0)
            return;
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, &m_status, 0) < 0 && errno == EINTR) { }
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
        environment.try_emplace("PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin");
        std::vector<std::string> entries;
        for (const auto& [name, value] : environment)
            entries.push_back(name + "=" + value);
        std::vector<char*> envp;
        for (auto& entry : entries)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            char* argv[] = { const_cast<char*>(TALLOWIN_DAEMON_PATH), nullptr };
            ::execve(TALLOWIN_DAEMON_PATH, argv, envp.data());
            ::_exit(127);
        }
        if (m_pid < 0)
            throw std::runtime_error("cannot start the daemon");
    }

    bool waitForExit(std::chrono::milliseconds within)
    {
        const auto deadline = std::chrono::steady_clock::now() + within;
        while (isRunning()) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    std::filesystem::path m_socketPath;
    pid_t m_pid { -1 };
    int m_status { -1 };
};

}
