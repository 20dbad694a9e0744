#pragma once

#include "core/MainQueue.h"
#include "core/SerialQueue.h"
#include "helper_protocol/SmartctlHelperProtocol.h"
#include "helper_protocol/UnixSocket.h"
#include "smart/SmartctlHelperClient.h"
#include "support/TemporaryDirectory.h"

#include <list>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>

namespace tallowin::testing {

// A helper daemon answering fetch requests as the test scripts it, one connection per thread.
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
        m_acceptor = std::thread([this] {
            for (int fd; (fd = ::accept4(m_listener.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
                std::lock_guard lock(m_mutex);
                auto& connection = *m_connections.emplace_back(std::make_unique<FileDescriptor>(fd));
                m_threads.emplace_back(
                    [this, &connection, index = m_accepted++] { serve(connection, index); });
            }
        });
    }
    ~FakeHelperDaemon()
    {
        ::shutdown(m_listener.get(), SHUT_RDWR);
        m_acceptor.join();
        for (auto& connection : m_connections)
            ::shutdown(connection->get(), SHUT_RDWR);
        m_threads.clear(); // joins them, each after at most its current delay
    }

    int connectionsAccepted() const { return m_accepted; }

    static Bytes result(SmartctlHelperProtocol::RequestId id, std::string json)
    {
        return SmartctlHelperProtocol::encode(SmartctlHelperProtocol::ResultReply {
            id, SmartctlExecutionResult { bytesFrom(json), "/usr/sbin/smartctl -j -x /dev/sda", {}, 0 } });
    }

private:
    void serve(const FileDescriptor& connection, int index)
    {
        for (auto frame = readFrame(connection.get()); frame; frame = readFrame(connection.get())) {
            auto request = SmartctlHelperProtocol::decodeRequest(*frame);
            auto* fetch
                = request ? std::get_if<SmartctlHelperProtocol::FetchSMARTDataRequest>(&*request) : nullptr;
            if (!fetch)
                continue;
            const auto action = m_behaviour(*fetch, index);
            std::this_thread::sleep_for(action.delay);
            for (const auto& reply : action.frames)
                (void)writeFrame(connection.get(), reply);
            if (action.closeConnection)
                ::shutdown(connection.get(), SHUT_RDWR);
        }
    }

    Behaviour m_behaviour;
    FileDescriptor m_listener;
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::list<std::unique_ptr<FileDescriptor>> m_connections;
    std::list<std::jthread> m_threads;
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
