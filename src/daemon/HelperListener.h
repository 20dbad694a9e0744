#pragma once

#include "core/FileDescriptor.h"
#include "core/Log.h"
#include "daemon/SmartctlHelper.h"
#include "helper_protocol/UnixSocket.h"

#include <chrono>
#include <memory>
#include <vector>

namespace tallowin {

// Accepts connections on the listening socket and carries framed requests to the
// SmartctlHelper and its replies back, all on one event-loop thread (the caller of run()) with
// non-blocking sockets. Workers never touch a client socket: they put the reply into the
// connection's send queue and wake the loop, which writes what each client is ready to take.
// A client that misbehaves in any way (bad frame, too slow to send or to read, idle too long)
// loses its own connection and nothing else.
class HelperListener {
public:
    // Every limit is far from anything the application does: it keeps one connection, sends
    // one request of about 30 bytes at a time, at most once a second, and reads each reply at
    // once. A hostile local user can reach them; the values bound what such a user can cost.
    struct Limits {
        // Every connection costs a descriptor and some kilobytes; 64 is far beyond the desktop
        // sessions of one machine.
        std::size_t maxConnections { 64 };
        // One user cannot take every connection for themselves.
        std::size_t maxConnectionsPerUser { 8 };
        // Requests of one connection whose reply has not been written out yet. Also bounds its
        // send queue: no new request is read while this many replies are pending, so a client
        // can have at most this many replies (each at most about 2.3 MiB) queued.
        std::size_t maxRequestsInFlightPerConnection { 4 };
        // A request is a map of three short keys and a device name of at most 64 bytes: about
        // 100 bytes. Replies may be large; requests never are. Bytes are buffered only as they
        // arrive, so an announced length costs nothing until it is sent.
        std::size_t maxRequestFrameSize { 4096 };
        // A frame that has begun must be complete within this long; the application writes a
        // request in one go.
        std::chrono::milliseconds frameTimeout { std::chrono::seconds(10) };
        // A connection with nothing in flight and nothing received for this long is closed;
        // the application reconnects on its next request.
        std::chrono::milliseconds idleTimeout { std::chrono::minutes(2) };
        // A reply not written out completely this long after it was queued means the client
        // stopped reading: its connection is closed. The application reads at once and waits
        // at most 5 seconds anyway.
        std::chrono::milliseconds sendTimeout { std::chrono::seconds(10) };
        // Refused connections are logged at most once per interval (with a count), so that a
        // flood cannot push the daemon's real records out of the journal's rate limit.
        std::chrono::milliseconds refusalLogInterval { std::chrono::seconds(10) };
    };

    HelperListener(FileDescriptor listeningSocket, SmartctlHelper&, Limits);
    ~HelperListener();
    HelperListener(const HelperListener&) = delete;
    HelperListener& operator=(const HelperListener&) = delete;

    // Serves until stop(); then closes every connection.
    void run();
    // Thread-safe; makes run() return.
    void stop();

private:
    class Connection;
    using Clock = std::chrono::steady_clock;

    void accept();
    void refuse(const std::string& reason);
    void readFrom(const std::shared_ptr<Connection>&);
    void handleFrames(const std::shared_ptr<Connection>&);
    void writeTo(Connection&);
    // The earliest deadline of any connection; closes those whose deadline has passed.
    Clock::time_point expireConnections(Clock::time_point now);
    void drop(Connection&, const std::string& reason);
    void wake() const;

    Logger m_logger { "com.tallowin.ProbeWarden", "HelperMain" };
    Logger m_serviceLogger { "com.tallowin.ProbeWarden", "SmartctlHelper" };
    FileDescriptor m_listeningSocket;
    // Readable when stop() was called.
    FileDescriptor m_stopFd;
    // Readable when a worker queued a reply; shared with the workers' reply callbacks.
    std::shared_ptr<const FileDescriptor> m_replyFd;
    SmartctlHelper& m_helper;
    Limits m_limits;
    std::vector<std::shared_ptr<Connection>> m_connections;
    Clock::time_point m_lastRefusalLog {};
    std::size_t m_unloggedRefusals { 0 };
};

}
