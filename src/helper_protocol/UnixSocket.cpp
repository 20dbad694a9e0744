#include "helper_protocol/UnixSocket.h"

#include "core/Language.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace tallowin {

std::string SocketError::description() const
{
    switch (kind) {
    case Kind::system:
        return errorCode.message();
    case Kind::closed:
        return localized("The connection was closed", "连接已关闭");
    case Kind::timedOut:
        return localized("The operation timed out", "操作超时");
    case Kind::protocol:
        return protocolError ? protocolError->localizedDescription() : std::string();
    }
    return {};
}

namespace {

// Waits until the descriptor is ready for the given events or the deadline passes.
Expected<void, SocketError> waitFor(int fd, short events, const Deadline& deadline)
{
    if (!deadline)
        return {};
    for (;;) {
        const auto remaining
            = std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            return Unexpected(SocketError { SocketError::Kind::timedOut });
        pollfd entry { fd, events, 0 };
        const int ready
            = ::poll(&entry, 1, static_cast<int>(std::min<long long>(remaining.count(), 1 << 30)));
        if (ready > 0)
            return {};
        if (ready < 0 && errno != EINTR)
            return Unexpected(SocketError::fromErrno(errno));
    }
}

Expected<void, SocketError> readExactly(
    int fd, std::uint8_t* buffer, std::size_t size, const Deadline& deadline)
{
    std::size_t done = 0;
    while (done < size) {
        if (auto ready = waitFor(fd, POLLIN, deadline); !ready)
            return ready;
        const ssize_t count = ::recv(fd, buffer + done, size - done, 0);
        if (count > 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (count == 0)
            return Unexpected(SocketError { SocketError::Kind::closed });
        if (errno == EINTR || errno == EAGAIN)
            continue;
        return Unexpected(SocketError::fromErrno(errno));
    }
    return {};
}

}

Expected<FileDescriptor, SocketError> connectUnixSocket(const std::string& path)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof(address.sun_path))
        return Unexpected(SocketError::fromErrno(ENAMETOOLONG));
    std::memcpy(address.sun_path, path.data(), path.size());
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return Unexpected(SocketError::fromErrno(errno));
    for (;;) {
        if (::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0)
            return socket;
        if (errno == EINTR) {
            // The connection continues in the background after EINTR; wait for its outcome.
            pollfd entry { socket.get(), POLLOUT, 0 };
            while (::poll(&entry, 1, -1) < 0 && errno == EINTR) { }
            int error = 0;
            socklen_t length = sizeof(error);
            if (::getsockopt(socket.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
                return Unexpected(SocketError::fromErrno(errno));
            if (error == 0)
                return socket;
            return Unexpected(SocketError::fromErrno(error));
        }
        return Unexpected(SocketError::fromErrno(errno));
    }
}

Expected<void, SocketError> writeAll(int fd, ByteView bytes, Deadline deadline)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        if (auto ready = waitFor(fd, POLLOUT, deadline); !ready)
            return ready;
        const ssize_t count = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (count >= 0) {
            done += static_cast<std::size_t>(count);
            continue;
        }
        if (errno == EINTR || errno == EAGAIN)
            continue;
        if (errno == EPIPE || errno == ECONNRESET)
            return Unexpected(SocketError { SocketError::Kind::closed });
        return Unexpected(SocketError::fromErrno(errno));
    }
    return {};
}

Expected<void, SocketError> writeFrame(int fd, ByteView payload, Deadline deadline)
{
    const Bytes frame = encodeFrame(payload);
    return writeAll(fd, frame, deadline);
}

Expected<Bytes, SocketError> readFrame(int fd, std::size_t maxFrameSize, Deadline deadline)
{
    std::uint8_t header[frameHeaderSize];
    if (auto read = readExactly(fd, header, sizeof(header), deadline); !read)
        return Unexpected(read.error());
    const std::size_t size = (std::size_t { header[0] } << 24) | (std::size_t { header[1] } << 16)
        | (std::size_t { header[2] } << 8) | std::size_t { header[3] };
    if (size == 0)
        return Unexpected(SocketError {
            SocketError::Kind::protocol, {}, ProtocolError { ProtocolError::Kind::emptyFrame, {} } });
    if (size > maxFrameSize)
        return Unexpected(SocketError { SocketError::Kind::protocol, {},
            ProtocolError { ProtocolError::Kind::frameTooLarge, std::to_string(size) + " bytes" } });
    Bytes payload(size);
    if (auto read = readExactly(fd, payload.data(), size, deadline); !read)
        return Unexpected(read.error());
    return payload;
}

Expected<PeerCredentials, SocketError> peerCredentials(int fd)
{
    ucred credentials {};
    socklen_t length = sizeof(credentials);
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return Unexpected(SocketError::fromErrno(errno));
    return PeerCredentials { credentials.pid, credentials.uid, credentials.gid };
}

}
