#include "daemon/ListeningSocket.h"

#include "helper_protocol/SmartctlHelperProtocol.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

namespace tallowin {

namespace fs = std::filesystem;

namespace {

std::string errnoText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

}

ListeningSocket::ListeningSocket(FileDescriptor fd, Origin origin, fs::path path, dev_t device, ino_t inode)
    : m_fd(std::move(fd))
    , m_origin(origin)
    , m_path(std::move(path))
    , m_device(device)
    , m_inode(inode)
    , m_ownsFile(origin == Origin::standalone)
{ }

ListeningSocket::ListeningSocket(ListeningSocket&& other) noexcept
    : m_fd(std::move(other.m_fd))
    , m_origin(other.m_origin)
    , m_path(std::move(other.m_path))
    , m_device(other.m_device)
    , m_inode(other.m_inode)
    , m_ownsFile(std::exchange(other.m_ownsFile, false))
{ }

ListeningSocket::~ListeningSocket()
{
    if (!m_ownsFile)
        return;
    struct stat status { };
    if (::lstat(m_path.c_str(), &status) == 0 && S_ISSOCK(status.st_mode) && status.st_dev == m_device
        && status.st_ino == m_inode)
        ::unlink(m_path.c_str());
}

Expected<ListeningSocket, std::string> ListeningSocket::fromSystemdOrBind(const Logger& logger)
{
    const int count = ::sd_listen_fds(1);
    if (count < 0)
        return Unexpected("sd_listen_fds: " + errnoText(-count));
    if (count > 1)
        return Unexpected(std::string("systemd passed more than one socket"));
    if (count == 1) {
        const int fd = SD_LISTEN_FDS_START;
        if (::sd_is_socket_unix(fd, SOCK_STREAM, 1, nullptr, 0) <= 0)
            return Unexpected(std::string("the socket systemd passed is not a listening Unix stream socket"));
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        logger.info("Using the listening socket passed by systemd socket activation.");
        return ListeningSocket(FileDescriptor(fd), Origin::socketActivation, {}, 0, 0);
    }
    return bindStandalone(SmartctlHelperProtocol::socketPath(), logger);
}

Expected<ListeningSocket, std::string> ListeningSocket::bindStandalone(
    const fs::path& path, const Logger& logger)
{
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.empty() || text.size() >= sizeof(address.sun_path) || !path.is_absolute())
        return Unexpected("unusable socket path " + text);
    std::memcpy(address.sun_path, text.data(), text.size());

    // The directory is world-readable so that clients can reach the socket inside it.
    std::error_code error;
    if (!fs::exists(path.parent_path(), error)) {
        fs::create_directories(path.parent_path(), error);
        if (error)
            return Unexpected("cannot create " + path.parent_path().string() + ": " + error.message());
        ::chmod(path.parent_path().c_str(), 0755);
    }

    // A socket file left by a daemon that died is removed; a live daemon's is not, and a file
    // that is not a socket at all is never touched.
    struct stat existing { };
    if (::lstat(path.c_str(), &existing) == 0) {
        if (!S_ISSOCK(existing.st_mode))
            return Unexpected(text + " exists and is not a socket");
        if (connectUnixSocket(text))
            return Unexpected("another helper is already listening on " + text);
        logger.info("Removing stale helper socket at {}", text);
        if (::unlink(text.c_str()) != 0 && errno != ENOENT)
            return Unexpected("cannot remove stale socket " + text + ": " + errnoText(errno));
    }

    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        return Unexpected("socket: " + errnoText(errno));
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
        return Unexpected("bind " + text + ": " + errnoText(errno));
    // The mode is set through a descriptor of the node itself, opened without following links:
    // a chmod by path would follow a link that someone put in the socket's place meanwhile.
    FileDescriptor node(::open(text.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat bound { };
    if (!node || ::fstat(node.get(), &bound) != 0)
        return Unexpected("open " + text + ": " + errnoText(errno));
    if (!S_ISSOCK(bound.st_mode))
        return Unexpected(text + " was replaced before its mode could be set");
    ListeningSocket result(std::move(socket), Origin::standalone, path, bound.st_dev, bound.st_ino);
    // Any local user may ask: the same as the systemd socket unit's SocketMode=0666. The
    // daemon checks every request itself and reveals only what smartctl reports.
    const std::string nodeLink = "/proc/self/fd/" + std::to_string(node.get());
    if (::chmod(nodeLink.c_str(), 0666) != 0)
        return Unexpected("chmod " + text + ": " + errnoText(errno));
    if (::listen(result.fd(), SOMAXCONN) != 0)
        return Unexpected("listen " + text + ": " + errnoText(errno));
    logger.info("Listening in standalone mode on {}", text);
    return result;
}

}
