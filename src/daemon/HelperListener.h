#pragma once

#include "core/Log.h"
#include "daemon/SmartctlHelper.h"
#include "helper_protocol/Frame.h"
#include "helper_protocol/UnixSocket.h"

#include <chrono>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace tallowin {

// Accepts connections on the listening socket and carries framed requests to the
// SmartctlHelper and its replies back. One thread per connection reads requests; replies are
// written by whichever thread finishes the request. A connection that sends a malformed or
// oversized frame is closed; the others go on.
class HelperListener {
public:
    struct Limits {
        std::size_t maxConnections { 64 };
        // One user cannot take every connection (and its thread) for themselves.
        std::size_t maxConnectionsPerUser { 8 };
        // A connection with this many unanswered SMART requests is not read from until one is
        // answered, so one client cannot queue unbounded work.
        std::size_t maxRequestsInFlightPerConnection { 4 };
        std::size_t maxFrameSize { defaultMaxFrameSize };
        // A client that stops reading cannot hold a worker for longer than this.
        std::chrono::milliseconds replyWriteTimeout { std::chrono::seconds(10) };
    };

    HelperListener(FileDescriptor listeningSocket, SmartctlHelper&, Limits);
    ~HelperListener();
    HelperListener(const HelperListener&) = delete;
    HelperListener& operator=(const HelperListener&) = delete;

    // Accepts connections until stop(); then closes every connection and joins its thread.
    void run();
    // Thread-safe; makes run() return.
    void stop();

private:
    class Connection;
    struct ConnectionThread {
        std::shared_ptr<Connection> connection;
        std::thread thread;
    };

    void accept();
    void serve(const std::shared_ptr<Connection>&);
    void joinFinishedConnections();

    Logger m_logger { "com.tallowin.ProbeWarden", "HelperMain" };
    Logger m_serviceLogger { "com.tallowin.ProbeWarden", "SmartctlHelper" };
    FileDescriptor m_listeningSocket;
    FileDescriptor m_wakeFd;
    SmartctlHelper& m_helper;
    Limits m_limits;
    std::list<ConnectionThread> m_connections;
};

}
