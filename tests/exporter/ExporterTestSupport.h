#pragma once

#include "core/FileDescriptor.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace tallowin::testing {

// A program run for one test (the exporter, Prometheus), with its standard output on a pipe.
// Stopped (SIGTERM, then SIGKILL) and reaped when the object goes, whatever the test did, and
// killed by the kernel should the test process die first: no test leaves one behind.
class ChildProcess {
public:
    using Environment = std::vector<std::pair<std::string, std::string>>;

    ChildProcess(std::vector<std::string> arguments, const Environment& environment = {})
    {
        int pipeEnds[2];
        if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        FileDescriptor readEnd(pipeEnds[0]);
        FileDescriptor writeEnd(pipeEnds[1]);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        m_pid = ::fork();
        if (m_pid < 0)
            throw std::runtime_error("fork");
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            for (const auto& [name, value] : environment)
                ::setenv(name.c_str(), value.c_str(), 1);
            ::dup2(writeEnd.get(), STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        m_output = std::move(readEnd);
    }
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return m_pid; }

    // The next line of standard output, or nothing when none came in time or the output ended.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            if (auto newline = m_buffered.find('\n'); newline != std::string::npos) {
                auto line = m_buffered.substr(0, newline);
                m_buffered.erase(0, newline + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return std::nullopt;
            pollfd entry { m_output.get(), POLLIN, 0 };
            if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
                continue;
            char chunk[4096];
            auto count = ::read(m_output.get(), chunk, sizeof chunk);
            if (count <= 0)
                return std::nullopt;
            m_buffered.append(chunk, static_cast<std::size_t>(count));
        }
    }

    // The exit status after SIGTERM (or SIGKILL when it does not end within 10 s); nothing when
    // it had ended by a signal.
    std::optional<int> stop()
    {
        if (m_pid <= 0)
            return m_exitStatus;
        ::kill(m_pid, SIGTERM);
        int status = 0;
        for (int waited = 0; waited < 1000; ++waited) {
            if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                m_exitStatus = WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
                return m_exitStatus;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::kill(m_pid, SIGKILL);
        while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
        m_pid = -1;
        return std::nullopt;
    }

private:
    pid_t m_pid { -1 };
    FileDescriptor m_output;
    std::string m_buffered;
    std::optional<int> m_exitStatus;
};

// An HTTP/1.0 GET of a path on 127.0.0.1; the body when the status is 200.
inline std::optional<std::string> httpGet(std::uint16_t port, const std::string& path)
{
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!socket || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    auto request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL)
        != static_cast<ssize_t>(request.size()))
        return std::nullopt;
    std::string response;
    char chunk[16384];
    for (ssize_t count; (count = ::recv(socket.get(), chunk, sizeof chunk, 0)) > 0;)
        response.append(chunk, static_cast<std::size_t>(count));
    auto bodyStart = response.find("\r\n\r\n");
    if (!response.starts_with("HTTP/1.1 200") && !response.starts_with("HTTP/1.0 200"))
        return std::nullopt;
    return bodyStart == std::string::npos ? std::string() : response.substr(bodyStart + 4);
}

// A TCP port on 127.0.0.1 that nobody listened on a moment ago.
inline std::uint16_t unusedPort()
{
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// The value of the one sample of an exposition whose name and labels are written exactly as
// given (`name{device="sda"}`), or nothing.
inline std::optional<double> sampleValue(const std::string& exposition, const std::string& series)
{
    std::size_t position = 0;
    while ((position = exposition.find(series + " ", position)) != std::string::npos) {
        if (position == 0 || exposition[position - 1] == '\n')
            return std::strtod(exposition.c_str() + position + series.size() + 1, nullptr);
        position += series.size();
    }
    return std::nullopt;
}

}
