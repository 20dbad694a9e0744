#pragma once

#include "core/MainQueue.h"
#include "core/SerialQueue.h"
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "helper_protocol/UnixSocket.h"
#include "smart/SmartctlHelperClient.h"
#include "support/TemporaryDirectory.h"

#include <condition_variable>
#include <list>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace tallowin::testing {

// A helper daemon answering fetch requests as the test scripts it. Each request is answered on
// a thread of its own, so replies may overtake each other; all are joined on destruction.
class FakeHelperDaemon {
public:
    struct Action {
        std::chrono::milliseconds delay { 0 };
        std::vector<Bytes> frames {}; // sent in order once the delay has passed
        bool closeConnection { false };
    };
    // Decides what to do with a request; connections are counted from 0.
    using Behaviour
        = std::function<Action(const SmartctlHelperProtocol::FetchSMARTDataRequest&, int connection)>;

    FakeHelperDaemon(const std::filesystem::path& socketPath, Behaviour behaviour)
        : m_behaviour(std::move(behaviour))
        , m_listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        sockaddr_un address { .sun_family = AF_UNIX, .sun_path = {} };
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
                ::shutdown(connection->get(), SHUT_RDWR);
        }
        m_wakeUp.notify_all();
        ::shutdown(m_listener.get(), SHUT_RDWR);
        m_acceptor.join();
        // Joined outside the lock: a serving thread may need it on its way out.
        for (auto threads = takeThreads(); !threads.empty(); threads = takeThreads())
            for (auto& thread : threads)
                thread.join();
    }

    int connectionsAccepted() const { return m_accepted; }

    static Bytes result(SmartctlHelperProtocol::RequestId id, std::string json)
    {
        return SmartctlHelperProtocol::encode(SmartctlHelperProtocol::ResultReply {
            id, SmartctlExecutionResult { bytesFrom(json), "/usr/sbin/smartctl -j -x /dev/sda", {}, 0 } });
    }

private:
    std::list<std::thread> takeThreads()
    {
        std::lock_guard lock(m_mutex);
        return std::exchange(m_threads, {});
    }

    void acceptConnections()
    {
        for (int fd; (fd = ::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            std::lock_guard lock(m_mutex);
            auto connection = std::make_shared<FileDescriptor>(fd);
            if (m_stopping)
                return;
            m_connections.push_back(connection);
            m_threads.emplace_back([this, connection, index = m_accepted++] { serve(connection, index); });
        }
    }

    void serve(const std::shared_ptr<FileDescriptor>& connection, int index)
    {
        for (auto frame = readFrame(connection->get()); frame; frame = readFrame(connection->get())) {
            auto request = SmartctlHelperProtocol::decodeRequest(*frame);
            auto* fetch
                = request ? std::get_if<SmartctlHelperProtocol::FetchSMARTDataRequest>(&*request) : nullptr;
            if (!fetch)
                continue;
            auto action = m_behaviour(*fetch, index);
            std::lock_guard lock(m_mutex);
            if (m_stopping)
                return;
            m_threads.emplace_back([this, connection, action] { answer(*connection, action); });
        }
    }

    void answer(FileDescriptor& connection, const Action& action)
    {
        std::unique_lock lock(m_mutex);
        if (m_wakeUp.wait_for(lock, action.delay, [this] { return m_stopping; }))
            return;
        // Still under the lock, so that answers to one connection do not interleave.
        for (const auto& frame : action.frames)
            (void)writeFrame(connection.get(), frame);
        if (action.closeConnection)
            ::shutdown(connection.get(), SHUT_RDWR);
    }

    Behaviour m_behaviour;
    FileDescriptor m_listener;
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::condition_variable m_wakeUp;
    bool m_stopping { false };
    std::list<std::shared_ptr<FileDescriptor>> m_connections;
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

// A helper client wired as the application wires it, to the development socket in a fresh
// temporary directory.
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
