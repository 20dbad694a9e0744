#include "daemon/HelperListener.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <systemd/sd-login.h>
#include <unistd.h>

namespace tallowin {

using Protocol = SmartctlHelperProtocol;

class HelperListener::Connection {
public:
    Connection(FileDescriptor fd, PeerCredentials peer, const Limits& limits)
        : m_fd(std::move(fd))
        , m_peer(peer)
        , m_limits(limits)
    { }

    int fd() const { return m_fd.get(); }
    const PeerCredentials& peer() const { return m_peer; }

    void send(const Protocol::Reply& reply)
    {
        const Bytes payload = Protocol::encode(reply);
        std::lock_guard lock(m_writeMutex);
        // A peer that went away or stopped reading loses its reply; nobody else is affected.
        (void)writeFrame(m_fd.get(), payload, std::chrono::steady_clock::now() + m_limits.replyWriteTimeout);
    }

    // Waits for a free request slot; false when the connection is being closed.
    bool acquireSlot()
    {
        std::unique_lock lock(m_stateMutex);
        m_condition.wait(
            lock, [this] { return m_closing || m_inFlight < m_limits.maxRequestsInFlightPerConnection; });
        if (m_closing)
            return false;
        ++m_inFlight;
        return true;
    }
    void releaseSlot()
    {
        {
            std::lock_guard lock(m_stateMutex);
            --m_inFlight;
        }
        m_condition.notify_all();
    }

    // Waits until every request of this connection has been answered, or the connection closes.
    void waitUntilIdle()
    {
        std::unique_lock lock(m_stateMutex);
        m_condition.wait(lock, [this] { return m_closing || m_inFlight == 0; });
    }

    // Wakes the reading thread and refuses further traffic both ways.
    void close()
    {
        {
            std::lock_guard lock(m_stateMutex);
            m_closing = true;
        }
        m_condition.notify_all();
        ::shutdown(m_fd.get(), SHUT_RDWR);
    }

    void markFinished() { m_finished.store(true); }
    bool finished() const { return m_finished.load(); }

private:
    FileDescriptor m_fd;
    PeerCredentials m_peer;
    const Limits m_limits;
    std::mutex m_writeMutex;
    std::mutex m_stateMutex;
    std::condition_variable m_condition;
    std::size_t m_inFlight { 0 };
    bool m_closing { false };
    std::atomic<bool> m_finished { false };
};

namespace {

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

}

HelperListener::HelperListener(FileDescriptor listeningSocket, SmartctlHelper& helper, Limits limits)
    : m_listeningSocket(std::move(listeningSocket))
    , m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
    , m_helper(helper)
    , m_limits(limits)
{ }

HelperListener::~HelperListener()
{
    stop();
    for (auto& entry : m_connections) {
        entry.connection->close();
        if (entry.thread.joinable())
            entry.thread.join();
    }
}

void HelperListener::stop()
{
    const std::uint64_t one = 1;
    (void)!::write(m_wakeFd.get(), &one, sizeof(one));
}

void HelperListener::run()
{
    for (;;) {
        pollfd entries[2] = { { m_listeningSocket.get(), POLLIN, 0 }, { m_wakeFd.get(), POLLIN, 0 } };
        const int ready = ::poll(entries, 2, 1000);
        if (ready < 0 && errno != EINTR) {
            m_logger.fault("Polling the helper socket failed: {}",
                std::error_code(errno, std::generic_category()).message());
            break;
        }
        if (entries[1].revents != 0)
            break;
        if (entries[0].revents != 0)
            accept();
        joinFinishedConnections();
    }
    for (auto& entry : m_connections)
        entry.connection->close();
    for (auto& entry : m_connections) {
        if (entry.thread.joinable())
            entry.thread.join();
    }
    m_connections.clear();
}

void HelperListener::joinFinishedConnections()
{
    for (auto it = m_connections.begin(); it != m_connections.end();) {
        if (it->connection->finished()) {
            it->thread.join();
            it = m_connections.erase(it);
        } else {
            ++it;
        }
    }
}

void HelperListener::accept()
{
    FileDescriptor fd(::accept4(m_listeningSocket.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!fd) {
        // Out of descriptors: the pending connection stays readable, so back off instead of
        // spinning until some are freed.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return;
    }
    m_serviceLogger.info(
        "Incoming XPC connection received; preparing exported interface and object for the caller.");
    joinFinishedConnections();
    auto peer = peerCredentials(fd.get());
    if (!peer) {
        m_serviceLogger.error(
            "Refused a helper connection whose peer cannot be identified: {}", peer.error().description());
        return;
    }
    const auto sameUser = std::count_if(m_connections.begin(), m_connections.end(),
        [&](const ConnectionThread& entry) { return entry.connection->peer().uid == peer->uid; });
    if (static_cast<std::size_t>(sameUser) >= m_limits.maxConnectionsPerUser) {
        m_serviceLogger.error(
            "Refused helper connection from process {}: user {} already has {} connections open.", peer->pid,
            peer->uid, sameUser);
        return;
    }
    if (m_connections.size() >= m_limits.maxConnections) {
        m_serviceLogger.error(
            "Refused helper connection from process {} (user {}): {} connections are already open.",
            peer->pid, peer->uid, m_connections.size());
        return;
    }
    auto connection = std::make_shared<Connection>(std::move(fd), *peer, m_limits);
    m_serviceLogger.info(
        "Accepted new XPC connection from application. Process identifier: {}; audit session ID: {}",
        peer->pid, auditSessionId(peer->pid));
    m_serviceLogger.info("Helper connection peer: process {}, user {}, login session {}", peer->pid,
        peer->uid, loginSession(peer->pid));
    m_connections.push_back({ connection, std::thread([this, connection] { serve(connection); }) });
}

void HelperListener::serve(const std::shared_ptr<Connection>& connection)
{
    ::pthread_setname_np(::pthread_self(), "ProbeWarden.con");
    const int pid = connection->peer().pid;
    for (;;) {
        auto frame = readFrame(connection->fd(), m_limits.maxFrameSize);
        if (!frame) {
            if (frame.error().kind == SocketError::Kind::closed) {
                // A client that half-closed after its requests still gets their replies.
                m_serviceLogger.debug("Helper connection from process {} closed.", pid);
                connection->waitUntilIdle();
            } else {
                m_serviceLogger.error(
                    "Closing helper connection from process {}: {}", pid, frame.error().description());
            }
            break;
        }
        auto request = Protocol::decodeRequest(*frame);
        if (!request) {
            m_serviceLogger.error(
                "Closing helper connection from process {}: {}", pid, request.error().localizedDescription());
            break;
        }
        if (const auto* version = std::get_if<Protocol::HelperVersionRequest>(&*request)) {
            connection->send(Protocol::VersionReply { version->id, m_helper.helperVersion() });
            continue;
        }
        auto& fetch = std::get<Protocol::FetchSMARTDataRequest>(*request);
        if (!connection->acquireSlot())
            break;
        // The reply holds the connection, which outlives this loop until the last reply is out.
        m_helper.fetchSMARTDataForBSDName(std::move(fetch.bsdName),
            [connection, id = fetch.id](Expected<SmartctlExecutionResult, HelperError> outcome) {
                if (outcome)
                    connection->send(Protocol::ResultReply { id, std::move(outcome).value() });
                else
                    connection->send(Protocol::ErrorReply { id, outcome.error() });
                connection->releaseSlot();
            });
    }
    connection->close();
    connection->markFinished();
}

}
