#pragma once

#include "core/MainQueue.h"
#include "core/SerialQueue.h"
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "helper_protocol/UnixSocket.h"
#include "smart/SmartctlHelperClient.h"
#include "support/TemporaryDirectory.h"

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace tallowin::testing {

// A helper daemon for tests: listens on a Unix socket and answers fetch requests in the wire
// format as the test scripts it. Each request is answered on its own thread, so replies may
// overtake each other. Everything stops, and every thread is joined, when it is destroyed.
class FakeHelperDaemon {
public:
    struct Action {
        std::chrono::milliseconds delay { 0 };
        // Sent first, if any: a reply the client is not waiting for.
        std::optional<SmartctlHelperProtocol::Reply> stray {};
        std::optional<SmartctlHelperProtocol::Reply> reply {};
        // A payload sent as is instead of a reply.
        std::optional<Bytes> raw {};
        bool closeConnection { false };
    };
    // Decides what to do with a request; the index counts connections from 0.
    using Behaviour
        = std::function<Action(const SmartctlHelperProtocol::FetchSMARTDataRequest&, int connection)>;

    FakeHelperDaemon(const std::filesystem::path& socketPath, Behaviour behaviour)
        : m_behaviour(std::move(behaviour))
    {
        m_listener = FileDescriptor(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        socketPath.string().copy(address.sun_path, sizeof(address.sun_path) - 1);
        if (::bind(m_listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
            || ::listen(m_listener.get(), 16) != 0)
            throw std::runtime_error("cannot listen on " + socketPath.string());
        m_acceptor = std::thread([this] { acceptConnections(); });
    }

    ~FakeHelperDaemon()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
            for (auto& connection : m_connections)
                ::shutdown(connection->socket.get(), SHUT_RDWR);
        }
        m_wakeUp.notify_all();
        ::shutdown(m_listener.get(), SHUT_RDWR);
        m_acceptor.join();
        // Joined outside the lock: a serving thread may need it on its way out.
        for (;;) {
            std::list<std::thread> threads;
            {
                std::lock_guard lock(m_mutex);
                threads.swap(m_threads);
            }
            if (threads.empty())
                break;
            for (auto& thread : threads)
                thread.join();
        }
    }

    int connectionsAccepted() const { return m_accepted; }

    static SmartctlHelperProtocol::Reply result(
        SmartctlHelperProtocol::RequestId id, std::string json, std::int32_t status = 0)
    {
        return SmartctlHelperProtocol::ResultReply { id,
            SmartctlExecutionResult { bytesFrom(json), "/usr/sbin/smartctl -j -x /dev/sda", {}, status } };
    }

private:
    struct Connection {
        FileDescriptor socket;
        std::mutex writeMutex;
        int index;
    };

    void acceptConnections()
    {
        for (;;) {
            int fd = ::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                return;
            std::lock_guard lock(m_mutex);
            if (m_stopping) {
                ::close(fd);
                return;
            }
            auto connection = std::make_shared<Connection>();
            connection->socket = FileDescriptor(fd);
            connection->index = m_accepted++;
            m_connections.push_back(connection);
            m_threads.emplace_back([this, connection] { serve(connection); });
        }
    }

    void serve(const std::shared_ptr<Connection>& connection)
    {
        for (;;) {
            auto frame = readFrame(connection->socket.get());
            if (!frame)
                return;
            auto request = SmartctlHelperProtocol::decodeRequest(*frame);
            if (!request)
                return;
            auto* fetch = std::get_if<SmartctlHelperProtocol::FetchSMARTDataRequest>(&*request);
            if (!fetch)
                continue;
            auto action = m_behaviour(*fetch, connection->index);
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            m_threads.emplace_back([this, connection, action] { answer(*connection, action); });
        }
    }

    void answer(Connection& connection, const Action& action)
    {
        {
            std::unique_lock lock(m_mutex);
            if (m_wakeUp.wait_for(lock, action.delay, [this] { return m_stopping; }))
                return;
        }
        std::lock_guard lock(connection.writeMutex);
        if (action.stray)
            (void)writeFrame(connection.socket.get(), SmartctlHelperProtocol::encode(*action.stray));
        if (action.raw)
            (void)writeFrame(connection.socket.get(), *action.raw);
        if (action.reply)
            (void)writeFrame(connection.socket.get(), SmartctlHelperProtocol::encode(*action.reply));
        if (action.closeConnection)
            ::shutdown(connection.socket.get(), SHUT_RDWR);
    }

    Behaviour m_behaviour;
    FileDescriptor m_listener;
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    bool m_stopping { false };
    std::list<std::shared_ptr<Connection>> m_connections;
    std::list<std::thread> m_threads;
    std::atomic<int> m_accepted { 0 };
};

// A main queue on a thread of its own, for tests whose own thread plays a background caller.
class SerialMainQueue final : public MainQueue {
public:
    void post(std::function<void()> work) override { m_queue.post(std::move(work)); }
    bool isMainThread() const override { return m_queue.isCurrent(); }

private:
    SerialQueue m_queue { "com.tallowin.tests.main", QualityOfService::UserInitiated };
};

// A helper client wired as the application wires it, to whatever listens on the development
// socket in a fresh temporary directory.
struct HelperClientSetup {
    std::shared_ptr<SmartctlHelperClient> makeClient(
        std::chrono::milliseconds replyTimeout = SmartctlHelperClient::defaultReplyTimeout,
        PrivilegedHelperManager::RuntimeEnvironment environment = {})
    {
        auto manager = PrivilegedHelperManager::create(
            { std::make_shared<DevelopmentServiceManager>(socketPath.string()), mainQueue,
                std::move(environment), &notifications });
        return SmartctlHelperClient::create(manager, { socketPath.string(), replyTimeout });
    }

    TemporaryDirectory directory;
    std::filesystem::path socketPath = directory / "probewarden.sock";
    std::shared_ptr<SerialMainQueue> mainQueue = std::make_shared<SerialMainQueue>();
    NotificationCenter notifications;
};

}
