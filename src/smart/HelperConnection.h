#pragma once

#include "core/Expected.h"
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "helper_protocol/UnixSocket.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

namespace tallowin {

// Errors that the connection itself makes up for a request, as opposed to errors the daemon
// sends: a reply that arrived but could not be decoded. They mean the connection is no longer
// trustworthy.
inline constexpr std::string_view helperTransportErrorDomain = "com.tallowin.SmartctlHelperClient.transport";

// One stream connection to the helper daemon's Unix socket. Requests carry ids; a reader thread
// (named "smartctl-reply", owned here) reads replies as they come and hands each to the
// handler registered for its id, so replies never arrive on the thread that sent the request
// and several requests may be in flight at once. A reply whose id nobody waits for any more is
// read and dropped.
class HelperConnection {
public:
    using ReplyHandler = std::function<void(const SmartctlHelperProtocol::Reply&)>;

    struct Handlers {
        // The daemon closed the connection or broke the protocol; runs on the reader thread.
        std::function<void()> interrupted;
        // The connection is finished for good, after invalidate() or an interruption; runs once,
        // on the reader thread.
        std::function<void()> invalidated;
    };

    // Connects at once; the handlers may run as soon as this returns.
    static Expected<std::unique_ptr<HelperConnection>, SocketError> connect(
        const std::string& socketPath, Handlers, std::uint64_t serial);

    // Invalidates the connection and waits for its reader to finish.
    ~HelperConnection();
    HelperConnection(const HelperConnection&) = delete;
    HelperConnection& operator=(const HelperConnection&) = delete;

    // Tells connections apart even when one is allocated where an old one was.
    std::uint64_t serial() const { return m_serial; }

    // Writes the request; the handler runs on the reader thread when its reply arrives. It never
    // runs when sending fails or the connection ends first.
    Expected<void, SocketError> send(const SmartctlHelperProtocol::Request&, ReplyHandler);

    // Closes the connection: later sends fail, waiting handlers are forgotten, and the
    // invalidation handler runs. Safe to call more than once and from any thread.
    void invalidate();

    struct State;

private:
    HelperConnection(std::shared_ptr<State>, std::uint64_t serial);

    std::shared_ptr<State> m_state;
    std::thread m_reader;
    std::uint64_t m_serial;
};

}
