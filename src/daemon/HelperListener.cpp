#include "daemon/HelperListener.h"

#include "helper_protocol/Frame.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <fmt/format.h>
#include <fstream>
#include <mutex>
#include <optional>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <systemd/sd-login.h>
#include <thread>
#include <unistd.h>

namespace tallowin {

using Protocol = SmartctlHelperProtocol;

namespace {

struct PendingFrame {
    Bytes frame;
    std::chrono::steady_clock::time_point queued;
    std::size_t written { 0 };
};

// The kernel's audit session of a process, -1 when it has none (the value "unset" is
// 4294967295, which a signed 32-bit field shows as -1).
std::int32_t auditSessionId(int pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/sessionid");
    unsigned long long id = 0;
    if (!(file >> id))
        return -1;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(id));
}

std::string loginSession(int pid)
{
    char* session = nullptr;
    if (::sd_pid_get_session(pid, &session) < 0 || !session)
        return "none";
    std::string result(session);
    std::free(session);
    return result;
}

void signal(int eventFd)
{
    const std::uint64_t one = 1;
    (void)!::write(eventFd, &one, sizeof(one));
}

}

// One client. Everything but the posted replies belongs to the loop thread; workers only
// post() finished replies, under the mutex.
class HelperListener::Connection {
public:
    Connection(FileDescriptor socket, PeerCredentials credentials, std::size_t maxFrameSize, Clock::time_point now)
        : fd(std::move(socket))
        , peer(credentials)
        , decoder(maxFrameSize)
        , lastActivity(now)
    { }

    // From any thread: queues a reply frame unless the connection is gone.
    void post(Bytes frame)
    {
        std::lock_guard lock(m_mutex);
        if (!m_closed)
            m_posted.push_back({ std::move(frame), Clock::now() });
    }
    void takePosted()
    {
        std::lock_guard lock(m_mutex);
        for (auto& pending : m_posted)
            outgoing.push_back(std::move(pending));
        m_posted.clear();
    }
    bool isOpen()
    {
        std::lock_guard lock(m_mutex);
        return !m_closed;
    }
    void close()
    {
        {
            std::lock_guard lock(m_mutex);
            m_closed = true;
            m_posted.clear();
        }
        outgoing.clear();
        fd.reset();
        dropped = true;
    }

    FileDescriptor fd;
    const PeerCredentials peer;
    FrameDecoder decoder;
    Clock::time_point lastActivity;
    std::optional<Clock::time_point> frameStarted;
    std::deque<PendingFrame> outgoing;
    std::size_t inFlight { 0 };
    bool readClosed { false };
    bool dropped { false };

private:
    std::mutex m_mutex;
    std::deque<PendingFrame> m_posted;
    bool m_closed { false };
};

HelperListener::HelperListener(FileDescriptor listeningSocket, SmartctlHelper& helper, Limits limits)
    : m_listeningSocket(std::move(listeningSocket))
    , m_stopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_replyFd(std::make_shared<const FileDescriptor>(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)))
    , m_helper(helper)
    , m_limits(limits)
{ }

HelperListener::~HelperListener()
{
    for (auto& connection : m_connections)
        connection->close();
}

void HelperListener::stop()
{
    signal(m_stopFd.get());
}

void HelperListener::wake() const
{
    signal(m_replyFd->get());
}

void HelperListener::run()
{
    std::vector<pollfd> entries;
    for (;;) {
        for (auto& connection : m_connections)
            connection->takePosted();
        for (auto& connection : m_connections) {
            if (!connection->dropped && !connection->outgoing.empty())
                writeTo(*connection);
        }
        const auto now = Clock::now();
        const auto deadline = expireConnections(now);
        std::erase_if(m_connections, [](const auto& connection) { return connection->dropped; });

        entries.clear();
        entries.push_back({ m_listeningSocket.get(), POLLIN, 0 });
        entries.push_back({ m_stopFd.get(), POLLIN, 0 });
        entries.push_back({ m_replyFd->get(), POLLIN, 0 });
        for (const auto& connection : m_connections) {
            short events = 0;
            if (!connection->readClosed && connection->inFlight < m_limits.maxRequestsInFlightPerConnection)
                events |= POLLIN;
            if (!connection->outgoing.empty())
                events |= POLLOUT;
            entries.push_back({ connection->fd.get(), events, 0 });
        }
        const auto wait = std::clamp<long long>(
            std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(), 0, 1000);
        const int ready = ::poll(entries.data(), entries.size(), static_cast<int>(wait));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            m_logger.fault("Polling the helper socket failed: {}",
                std::error_code(errno, std::generic_category()).message());
            break;
        }
        if (entries[1].revents != 0)
            break;
        if (entries[2].revents != 0) {
            std::uint64_t count = 0;
            (void)!::read(m_replyFd->get(), &count, sizeof(count));
        }
        // Connections accepted below are not in `entries`; they are polled from the next turn.
        const std::size_t polled = m_connections.size();
        for (std::size_t index = 0; index < polled; ++index) {
            const short revents = entries[index + 3].revents;
            auto& connection = m_connections[index];
            if (revents == 0 || connection->dropped)
                continue;
            if (revents & POLLOUT)
                writeTo(*connection);
            if (!connection->dropped && (revents & POLLIN))
                readFrom(connection);
            // The peer closed both ways: nothing it asked for can be delivered any more.
            if (!connection->dropped && (revents & (POLLHUP | POLLERR | POLLNVAL)))
                drop(*connection, "");
        }
        if (entries[0].revents != 0)
            accept();
    }
    for (auto& connection : m_connections)
        connection->close();
    m_connections.clear();
}

void HelperListener::refuse(const std::string& reason)
{
    const auto now = Clock::now();
    if (m_lastRefusalLog != Clock::time_point {} && now - m_lastRefusalLog < m_limits.refusalLogInterval) {
        ++m_unloggedRefusals;
        return;
    }
    if (m_unloggedRefusals > 0)
        m_serviceLogger.error("Refused helper connection: {} ({} more refused since the last report)", reason,
            m_unloggedRefusals);
    else
        m_serviceLogger.error("Refused helper connection: {}", reason);
    m_lastRefusalLog = now;
    m_unloggedRefusals = 0;
}

void HelperListener::accept()
{
    FileDescriptor fd(::accept4(m_listeningSocket.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
        // Out of descriptors: the pending connection stays readable, so back off instead of
        // spinning until some are freed.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return;
    }
    auto peer = peerCredentials(fd.get());
    if (!peer) {
        refuse("its peer cannot be identified: " + peer.error().description());
        return;
    }
    const auto sameUser = static_cast<std::size_t>(std::count_if(m_connections.begin(), m_connections.end(),
        [&](const auto& connection) { return connection->peer.uid == peer->uid; }));
    if (sameUser >= m_limits.maxConnectionsPerUser) {
        refuse(fmt::format("process {}: user {} already has {} connections open", peer->pid, peer->uid, sameUser));
        return;
    }
    if (m_connections.size() >= m_limits.maxConnections) {
        refuse(fmt::format(
            "process {} (user {}): {} connections are already open", peer->pid, peer->uid, m_connections.size()));
        return;
    }
    m_serviceLogger.info(
        "Incoming XPC connection received; preparing exported interface and object for the caller.");
    m_serviceLogger.info(
        "Accepted new XPC connection from application. Process identifier: {}; audit session ID: {}",
        peer->pid, auditSessionId(peer->pid));
    m_serviceLogger.info("Helper connection peer: process {}, user {}, login session {}", peer->pid, peer->uid,
        loginSession(peer->pid));
    m_connections.push_back(
        std::make_shared<Connection>(std::move(fd), *peer, m_limits.maxRequestFrameSize, Clock::now()));
}

void HelperListener::drop(Connection& connection, const std::string& reason)
{
    if (reason.empty())
        m_serviceLogger.debug("Helper connection from process {} closed.", connection.peer.pid);
    else
        m_serviceLogger.error("Closing helper connection from process {}: {}", connection.peer.pid, reason);
    connection.close();
}

void HelperListener::readFrom(const std::shared_ptr<Connection>& connection)
{
    // A request is about 100 bytes; reading little at a time keeps what one connection can make
    // us hold to a few kilobytes.
    std::uint8_t buffer[4096];
    const ssize_t count = ::recv(connection->fd.get(), buffer, sizeof(buffer), 0);
    if (count < 0) {
        if (errno != EINTR && errno != EAGAIN)
            drop(*connection, std::error_code(errno, std::generic_category()).message());
        return;
    }
    if (count == 0) {
        // A client that half-closed after its requests still gets their replies.
        connection->readClosed = true;
        if (connection->decoder.bufferedSize() > 0)
            drop(*connection, "the connection ended inside a frame");
        else if (connection->inFlight == 0)
            drop(*connection, "");
        return;
    }
    connection->lastActivity = Clock::now();
    connection->decoder.feed(ByteView(buffer, static_cast<std::size_t>(count)));
    handleFrames(connection);
}

void HelperListener::handleFrames(const std::shared_ptr<Connection>& connection)
{
    while (!connection->dropped && connection->inFlight < m_limits.maxRequestsInFlightPerConnection) {
        auto frame = connection->decoder.next();
        if (!frame) {
            drop(*connection, frame.error().localizedDescription());
            return;
        }
        if (!*frame)
            break;
        auto request = Protocol::decodeRequest(**frame);
        if (!request) {
            drop(*connection, request.error().localizedDescription());
            return;
        }
        ++connection->inFlight;
        if (const auto* version = std::get_if<Protocol::HelperVersionRequest>(&*request)) {
            connection->outgoing.push_back({ encodeFrame(Protocol::encode(Protocol::VersionReply {
                                                 version->id, m_helper.helperVersion() })),
                Clock::now() });
            continue;
        }
        auto& fetch = std::get<Protocol::FetchSMARTDataRequest>(*request);
        // The worker holds the connection weakly: a request whose connection is gone is not run,
        // and its reply is dropped. The wake-up descriptor is shared, so a worker can never
        // signal one that was closed and its number reused.
        std::weak_ptr<Connection> weak = connection;
        m_helper.fetchSMARTDataForBSDName(
            std::move(fetch.bsdName), connection->peer.uid,
            [weak, wake = m_replyFd, id = fetch.id](Expected<SmartctlExecutionResult, HelperError> outcome) {
                auto target = weak.lock();
                if (!target)
                    return;
                const Protocol::Reply reply = outcome
                    ? Protocol::Reply(Protocol::ResultReply { id, std::move(outcome).value() })
                    : Protocol::Reply(Protocol::ErrorReply { id, outcome.error() });
                target->post(encodeFrame(Protocol::encode(reply)));
                signal(wake->get());
            },
            [weak] {
                const auto target = weak.lock();
                return target && target->isOpen();
            });
    }
    if (connection->dropped)
        return;
    // The frame clock runs only while we are reading: a connection paused because its replies
    // are pending is not to blame for a frame we have not read yet.
    if (connection->decoder.bufferedSize() == 0
        || connection->inFlight >= m_limits.maxRequestsInFlightPerConnection)
        connection->frameStarted.reset();
    else if (!connection->frameStarted)
        connection->frameStarted = Clock::now();
}

void HelperListener::writeTo(Connection& connection)
{
    bool freedSlot = false;
    while (!connection.outgoing.empty()) {
        auto& pending = connection.outgoing.front();
        const ssize_t count = ::send(connection.fd.get(), pending.frame.data() + pending.written,
            pending.frame.size() - pending.written, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN)
                drop(connection, "");
            break;
        }
        pending.written += static_cast<std::size_t>(count);
        if (pending.written < pending.frame.size())
            break;
        connection.outgoing.pop_front();
        --connection.inFlight;
        connection.lastActivity = Clock::now();
        freedSlot = true;
    }
    if (connection.dropped || !freedSlot)
        return;
    if (connection.readClosed && connection.inFlight == 0) {
        drop(connection, "");
        return;
    }
    // Requests that arrived while every slot was taken may be waiting in the decoder.
    for (auto& shared : m_connections) {
        if (shared.get() == &connection) {
            handleFrames(shared);
            break;
        }
    }
}

HelperListener::Clock::time_point HelperListener::expireConnections(Clock::time_point now)
{
    auto earliest = now + std::chrono::seconds(1);
    for (auto& connection : m_connections) {
        if (connection->dropped)
            continue;
        if (!connection->outgoing.empty()) {
            const auto deadline = connection->outgoing.front().queued + m_limits.sendTimeout;
            if (now >= deadline) {
                drop(*connection, "it does not read its replies");
                continue;
            }
            earliest = std::min(earliest, deadline);
        }
        if (connection->frameStarted) {
            const auto deadline = *connection->frameStarted + m_limits.frameTimeout;
            if (now >= deadline) {
                drop(*connection, "a request frame did not complete in time");
                continue;
            }
            earliest = std::min(earliest, deadline);
        }
        if (connection->inFlight == 0 && connection->outgoing.empty()) {
            const auto deadline = connection->lastActivity + m_limits.idleTimeout;
            if (now >= deadline) {
                drop(*connection, "it stayed idle too long");
                continue;
            }
            earliest = std::min(earliest, deadline);
        }
    }
    return earliest;
}

}
