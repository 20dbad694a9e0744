#include "smart/HelperConnection.h"

#include <atomic>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <pthread.h>
#include <sys/socket.h>

namespace tallowin {

struct HelperConnection::State {
    FileDescriptor socket;
    Handlers handlers;
    std::mutex writeMutex;
    std::mutex pendingMutex;
    std::map<SmartctlHelperProtocol::RequestId, ReplyHandler> pending;
    std::atomic<bool> invalidated { false };

    ReplyHandler takeHandler(SmartctlHelperProtocol::RequestId id)
    {
        std::lock_guard lock(pendingMutex);
        auto found = pending.find(id);
        if (found == pending.end())
            return {};
        auto handler = std::move(found->second);
        pending.erase(found);
        return handler;
    }

    // Returns whether this call was the one that invalidated.
    bool invalidate()
    {
        if (invalidated.exchange(true))
            return false;
        // Wakes the reader; the descriptor itself is closed only when nobody can use it any more.
        ::shutdown(socket.get(), SHUT_RDWR);
        std::lock_guard lock(pendingMutex);
        pending.clear();
        return true;
    }

    // The id of a reply that could not be decoded as a whole, if it has one.
    static std::optional<SmartctlHelperProtocol::RequestId> replyIdOf(ByteView payload)
    {
        auto message = nlohmann::json::from_cbor(payload, true, false);
        if (!message.is_object())
            return std::nullopt;
        auto id = message.find("id");
        if (id == message.end() || !id->is_number_unsigned())
            return std::nullopt;
        return id->get<SmartctlHelperProtocol::RequestId>();
    }

    void readReplies()
    {
        for (;;) {
            auto frame = readFrame(socket.get());
            if (!frame)
                break;
            auto reply = SmartctlHelperProtocol::decodeReply(*frame);
            if (reply) {
                if (auto handler = takeHandler(SmartctlHelperProtocol::replyId(*reply)))
                    handler(*reply);
                continue;
            }
            // A reply that names its request but does not decode fails that request with a
            // transport error; without an id the stream cannot be trusted at all.
            auto id = replyIdOf(*frame);
            if (!id)
                break;
            if (auto handler = takeHandler(*id)) {
                handler(SmartctlHelperProtocol::ErrorReply { *id,
                    HelperError { std::string(helperTransportErrorDomain), 1,
                        "The helper's reply could not be decoded: "
                            + reply.error().localizedDescription() } });
            }
        }
        if (invalidate() && handlers.interrupted)
            handlers.interrupted();
        if (handlers.invalidated)
            handlers.invalidated();
    }
};

Expected<std::unique_ptr<HelperConnection>, SocketError> HelperConnection::connect(
    const std::string& socketPath, Handlers handlers, std::uint64_t serial)
{
    auto socket = connectUnixSocket(socketPath);
    if (!socket)
        return Unexpected(socket.error());
    auto state = std::make_shared<State>();
    state->socket = std::move(*socket);
    state->handlers = std::move(handlers);
    return std::unique_ptr<HelperConnection>(new HelperConnection(std::move(state), serial));
}

HelperConnection::HelperConnection(std::shared_ptr<State> state, std::uint64_t serial)
    : m_state(std::move(state))
    , m_serial(serial)
{
    m_reader = std::thread([state = m_state] {
        pthread_setname_np(pthread_self(), "smartctl-reply");
        state->readReplies();
    });
}

HelperConnection::~HelperConnection()
{
    m_state->invalidate();
    if (!m_reader.joinable())
        return;
    // The last owner may let go from one of the handlers, that is, on the reader itself; the
    // reader then finishes on its own and releases the state it shares.
    if (m_reader.get_id() == std::this_thread::get_id())
        m_reader.detach();
    else
        m_reader.join();
}

void HelperConnection::invalidate()
{
    m_state->invalidate();
}

Expected<void, SocketError> HelperConnection::send(
    const SmartctlHelperProtocol::Request& request, ReplyHandler handler)
{
    auto id = SmartctlHelperProtocol::requestId(request);
    {
        // Registered first: the reply may arrive before writeFrame returns.
        std::lock_guard lock(m_state->pendingMutex);
        if (m_state->invalidated)
            return Unexpected(SocketError { SocketError::Kind::closed });
        m_state->pending[id] = std::move(handler);
    }
    auto payload = SmartctlHelperProtocol::encode(request);
    Expected<void, SocketError> written;
    {
        std::lock_guard lock(m_state->writeMutex);
        // A daemon that stops reading must not hold the sender for ever.
        written = writeFrame(
            m_state->socket.get(), payload, std::chrono::steady_clock::now() + std::chrono::seconds(5));
    }
    if (!written)
        m_state->takeHandler(id);
    return written;
}

}
