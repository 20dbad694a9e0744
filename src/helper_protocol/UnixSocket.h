#pragma once

#include "core/Expected.h"
#include "core/FileDescriptor.h"
#include "helper_protocol/Bytes.h"
#include "helper_protocol/Frame.h"
#include "helper_protocol/ProtocolError.h"

#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <variant>

namespace tallowin {

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
