#pragma once

#include "core/Expected.h"
#include "helper_protocol/Bytes.h"
#include "helper_protocol/Frame.h"
#include "helper_protocol/ProtocolError.h"

#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <variant>

namespace tallowin {

// An owned file descriptor: closed exactly once, movable, never copied.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    { }
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept
        : m_fd(other.release())
    { }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    explicit operator bool() const { return isValid(); }
    int release() noexcept
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the current descriptor (never retried: after EINTR the descriptor is gone anyway).
    void reset(int fd = -1) noexcept;

private:
    int m_fd { -1 };
};

// Why a socket operation gave no frame.
struct SocketError {
    enum class Kind {
        system, // a system call failed; errorCode says which errno
        closed, // the peer closed the connection (cleanly, between frames, or in the middle of one)
        timedOut, // the deadline passed
        protocol, // the peer sent a frame we refuse (too large, empty)
    };

    Kind kind;
    std::error_code errorCode {};
    std::optional<ProtocolError> protocolError {};

    std::string description() const;
    static SocketError fromErrno(int error)
    {
        return { Kind::system, std::error_code(error, std::generic_category()) };
    }

    friend bool operator==(const SocketError&, const SocketError&) = default;
};

using Deadline = std::optional<std::chrono::steady_clock::time_point>;

// A blocking stream connection to a Unix socket path (close-on-exec).
Expected<FileDescriptor, SocketError> connectUnixSocket(const std::string& path);

// Writes every byte, retrying on EINTR and short writes; never raises SIGPIPE.
Expected<void, SocketError> writeAll(int fd, ByteView bytes, Deadline = std::nullopt);
Expected<void, SocketError> writeFrame(int fd, ByteView payload, Deadline = std::nullopt);

// Reads exactly one frame's payload. With a deadline, waits no longer than it.
Expected<Bytes, SocketError> readFrame(
    int fd, std::size_t maxFrameSize = defaultMaxFrameSize, Deadline = std::nullopt);

// The peer of a connected Unix socket, as the kernel vouches for it.
struct PeerCredentials {
    int pid { -1 };
    unsigned uid { 0 };
    unsigned gid { 0 };

    friend bool operator==(const PeerCredentials&, const PeerCredentials&) = default;
};
Expected<PeerCredentials, SocketError> peerCredentials(int fd);

}
