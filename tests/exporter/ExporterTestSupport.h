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
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        m_output = FileDescriptor(ends[0]);
        FileDescriptor writeEnd(ends[1]);
        std::vector<char*> argv;
        for (auto& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        const pid_t parent = ::getpid();
        if ((m_pid = ::fork()) < 0)
            throw std::runtime_error("fork");
        if (m_pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) // the test process died before prctl
                ::_exit(127);
            for (const auto& [name, value] : environment)
                ::setenv(name.c_str(), value.c_str(), 1);
            ::dup2(writeEnd.get(), STDOUT_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~ChildProcess() { stop(); }
    ChildProcess(const ChildProcess&) = delete;

    // The first line of standard output, or nothing when none came in time.
    std::optional<std::string> firstLine(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string line;
        for (char c; std::chrono::steady_clock::now() < deadline;) {
            pollfd entry { m_output.get(), POLLIN, 0 };
            if (::poll(&entry, 1, 100) <= 0)
                continue;
            if (::read(m_output.get(), &c, 1) != 1)
                return std::nullopt;
            if (c == '\n')
                return line;
            line += c;
        }
        return std::nullopt;
    }

    // The exit status after SIGTERM (or SIGKILL when it does not end within 10 s); nothing when
    // it had ended by a signal.
    std::optional<int> stop()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            int status = 0;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            while (::waitpid(m_pid, &status, WNOHANG) != m_pid) {
                if (std::chrono::steady_clock::now() > deadline) {
                    ::kill(m_pid, SIGKILL);
                    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) { }
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            m_pid = -1;
            m_exitStatus = WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
        }
        return m_exitStatus;
    }

private:
    pid_t m_pid { -1 };
    FileDescriptor m_output;
    std::optional<int> m_exitStatus;
};

inline sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// An HTTP/1.0 GET of a path on 127.0.0.1; the body when the status is 200.
inline std::optional<std::string> httpGet(std::uint16_t port, const std::string& path)
{
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const auto address = loopback(port);
    if (!socket || ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return std::nullopt;
    auto request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
    if (::send(socket.get(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return std::nullopt;
    std::string response;
    char chunk[16384];
    for (ssize_t count; (count = ::recv(socket.get(), chunk, sizeof chunk, 0)) > 0;)
        response.append(chunk, static_cast<std::size_t>(count));
    if (!response.starts_with("HTTP/1.1 200") && !response.starts_with("HTTP/1.0 200"))
        return std::nullopt;
    auto bodyStart = response.find("\r\n\r\n");
    return bodyStart == std::string::npos ? std::string() : response.substr(bodyStart + 4);
}

// A socket bound to a port of 127.0.0.1 the kernel chose, listening when asked to, and that port.
inline std::pair<FileDescriptor, std::uint16_t> boundPort(bool listening)
{
    FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    auto address = loopback(0);
    socklen_t length = sizeof address;
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0
        || (listening && ::listen(socket.get(), 1) != 0)
        || ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error("cannot bind a port on 127.0.0.1");
    return { std::move(socket), ntohs(address.sin_port) };
}

// A TCP port on 127.0.0.1 that nobody listened on a moment ago.
inline std::uint16_t unusedPort() { return boundPort(false).second; }

// The value of the one sample of an exposition whose name and labels are written exactly as
// given (`name{device="sda"}`), or nothing.
inline std::optional<double> sampleValue(const std::string& exposition, const std::string& series)
{
    for (std::size_t position = 0; (position = exposition.find(series + " ", position)) != std::string::npos;
         position += series.size()) {
        if (position == 0 || exposition[position - 1] == '\n')
            return std::strtod(exposition.c_str() + position + series.size() + 1, nullptr);
    }
    return std::nullopt;
}

}
