#pragma once

#include "core/Expected.h"
#include "core/Log.h"
#include "helper_protocol/UnixSocket.h"

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace tallowin {

// The daemon's listening Unix socket: the one systemd passed (socket activation), or, in the
// standalone mode for development and machines without systemd, one bound at
// TALLOWIN_HELPER_SOCKET (default /run/tallowin/probewarden.sock). A socket file the daemon
// bound itself is removed again when the object goes.
class ListeningSocket {
public:
    enum class Origin {
        socketActivation,
        standalone,
    };

    static Expected<ListeningSocket, std::string> fromSystemdOrBind(const Logger&);
    static Expected<ListeningSocket, std::string> bindStandalone(const std::filesystem::path&, const Logger&);

    ListeningSocket(ListeningSocket&&) noexcept;
    ListeningSocket& operator=(ListeningSocket&&) = delete;
    ListeningSocket(const ListeningSocket&) = delete;
    ListeningSocket& operator=(const ListeningSocket&) = delete;
    ~ListeningSocket();

    int fd() const { return m_fd.get(); }
    FileDescriptor takeDescriptor() { return std::move(m_fd); }
    Origin origin() const { return m_origin; }
    const std::filesystem::path& path() const { return m_path; }

private:
    ListeningSocket(FileDescriptor, Origin, std::filesystem::path, dev_t, ino_t);

    FileDescriptor m_fd;
    Origin m_origin;
    std::filesystem::path m_path;
    // Identity of the socket file we created, so that we never remove one that replaced it.
    dev_t m_device { 0 };
    ino_t m_inode { 0 };
    bool m_ownsFile { false };
};

}
