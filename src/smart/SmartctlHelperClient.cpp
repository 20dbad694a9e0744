#include "smart/SmartctlHelperClient.h"

#include "core/Language.h"

#include <condition_variable>
#include <fmt/format.h>
#include <fmt/ranges.h>
#include <mutex>

namespace tallowin {

std::string SmartctlHelperClient::FetchFailure::localizedDescription() const
{
    switch (kind) {
    case Kind::PrivilegedOperationsDisabled:
        return isEnglish() ? fmt::format("Privileged operations are disabled ({}).", detail)
                           : fmt::format("特权操作已被禁用（{}）。", detail);
    case Kind::InstallationFailed:
        return localized("The SMART helper service com.tallowin.ProbeWarden is not installed or not enabled.",
            "SMART 辅助服务 com.tallowin.ProbeWarden 未安装或未启用。");
    case Kind::NoConnection:
        return isEnglish() ? fmt::format("Cannot reach the SMART helper service: {}", detail)
                           : fmt::format("无法连接 SMART 辅助服务：{}", detail);
    case Kind::TimedOut:
        return localized(
            "The SMART helper service did not answer within 5 seconds.", "SMART 辅助服务在 5 秒内没有响应。");
    case Kind::HelperReportedError: {
        // The daemon's texts are English on the wire; the user's language is chosen here, by code.
        const std::string reason = helperError ? helperError->localizedDescription() : detail;
        return isEnglish() ? fmt::format("The SMART helper service reported an error: {}", reason)
                           : fmt::format("SMART 辅助服务报告了错误：{}", reason);
    }
    case Kind::NeitherResultNorError:
        return localized("The SMART helper service returned neither a result nor an error.",
            "SMART 辅助服务既没有返回结果，也没有返回错误。");
    }
    return {};
}

std::shared_ptr<SmartctlHelperClient> SmartctlHelperClient::create(
    std::shared_ptr<PrivilegedHelperManager> manager, Options options)
{
    return std::shared_ptr<SmartctlHelperClient>(
        new SmartctlHelperClient(std::move(manager), std::move(options)));
}

std::shared_ptr<SmartctlHelperClient> SmartctlHelperClient::shared()
{
    static auto client
        = create(PrivilegedHelperManager::shared(), { helperSocketPath(), defaultReplyTimeout });
    return client;
}

SmartctlHelperClient::SmartctlHelperClient(std::shared_ptr<PrivilegedHelperManager> manager, Options options)
    : m_manager(std::move(manager))
    , m_options(std::move(options))
{ }

SmartctlHelperClient::~SmartctlHelperClient() = default;

bool SmartctlHelperClient::hasConnection() const
{
    bool present = false;
    m_connectionQueue.sync([&] { present = m_connection != nullptr; });
    return present;
}

std::optional<SmartctlExecutionResult> SmartctlHelperClient::fetchSMARTData(std::string_view bsdName)
{
    auto result = fetchSMARTDataExplained(bsdName);
    if (!result)
        return std::nullopt;
    return std::move(result).value();
}

void SmartctlHelperClient::dropConnection(std::uint64_t serial)
{
    std::shared_ptr<HelperConnection> taken;
    m_connectionQueue.sync([&] {
        if (m_connection && m_connection->serial() == serial)
            taken = std::move(m_connection);
    });
    // Outside the queue: invalidating wakes the connection's reader, whose handlers use the queue.
    if (taken)
        taken->invalidate();
}

std::shared_ptr<HelperConnection> SmartctlHelperClient::connectionForRequest(std::string& failure)
{
    std::shared_ptr<HelperConnection> connection;
    m_connectionQueue.sync([&] { connection = m_connection; });
    if (connection)
        return connection;

    // Made outside the queue, so two fetches that start together may each make one; the one
    // stored last stays in use and the other serves only its own request.
    auto serial = m_nextConnectionSerial++;
    std::weak_ptr<SmartctlHelperClient> weakClient = weak_from_this();
    HelperConnection::Handlers handlers;
    handlers.interrupted = [weakClient, serial] {
        auto self = weakClient.lock();
        if (!self)
            return;
        self->m_logger.error("Helper connection interrupted; will retry on next request.");
        self->dropConnection(serial);
    };
    handlers.invalidated = [weakClient, serial] {
        auto self = weakClient.lock();
        if (!self)
            return;
        self->m_logger.debug("Helper connection invalidated; will recreate on next request.");
        self->m_connectionQueue.post([weakClient, serial] {
            auto client = weakClient.lock();
            if (!client || !client->m_connection || client->m_connection->serial() != serial)
                return;
            // Destroyed outside the queue's own work would be tidier, but this connection's
            // reader has finished all it does with the queue, so waiting for it here is safe.
            client->m_connection.reset();
        });
    };
    auto made = HelperConnection::connect(m_options.socketPath, std::move(handlers), serial);
    if (!made) {
        failure = fmt::format("{}: {}", m_options.socketPath, made.error().description());
        m_logger.error("Remote proxy error: {}", failure);
        return nullptr;
    }
    connection = std::shared_ptr<HelperConnection>(std::move(*made));
    std::shared_ptr<HelperConnection> previous;
    m_connectionQueue.sync([&] {
        // A connection stored before is released, not invalidated: a fetch may still be using it.
        previous = std::exchange(m_connection, connection);
    });
    return connection;
}

Expected<SmartctlExecutionResult, SmartctlHelperClient::FetchFailure>
SmartctlHelperClient::fetchSMARTDataExplained(std::string_view bsdName)
{
    using Failure = FetchFailure;
    const auto& environment = m_manager->runtimeEnvironment();
    if (!environment.allowsPrivilegedOperations) {
        m_logger.info(
            "Skipped privileged helper request for BSD name {} because the runtime policy has disabled "
            "privileged operations.",
            bsdName);
        return Unexpected(Failure { Failure::Kind::PrivilegedOperationsDisabled,
            fmt::format("{}", fmt::join(environment.restrictionReasons, ", ")), std::nullopt });
    }
    if (!m_manager->ensureHelperInstalledIfNeeded()) {
        m_logger.error("Refusing to call helper because installation failed for BSD name {}", bsdName);
        return Unexpected(Failure { Failure::Kind::InstallationFailed, {}, std::nullopt });
    }

    std::string connectionFailure;
    auto connection = connectionForRequest(connectionFailure);
    if (!connection) {
        m_logger.error(
            "Unable to create remote proxy for privileged helper when fetching SMART info for {}", bsdName);
        return Unexpected(Failure { Failure::Kind::NoConnection, connectionFailure, std::nullopt });
    }

    // Shared with the reply handler, so a reply arriving after the time-out fills slots that
    // nobody reads any more and has no other effect.
    struct Slots {
        std::mutex mutex;
        std::condition_variable replied;
        bool done { false };
        std::optional<SmartctlExecutionResult> result;
        std::optional<HelperError> error;
    };
    auto slots = std::make_shared<Slots>();
    auto id = m_nextRequestId++;
    auto sent = connection->send(SmartctlHelperProtocol::FetchSMARTDataRequest { id, std::string(bsdName) },
        [slots](const SmartctlHelperProtocol::Reply& reply) {
            std::lock_guard lock(slots->mutex);
            slots->result.reset();
            slots->error.reset();
            if (auto* result = std::get_if<SmartctlHelperProtocol::ResultReply>(&reply))
                slots->result = result->result;
            else if (auto* error = std::get_if<SmartctlHelperProtocol::ErrorReply>(&reply))
                slots->error = error->error;
            slots->done = true;
            slots->replied.notify_all();
        });
    if (!sent) {
        // The request certainly did not reach the daemon, so there is nothing to wait for.
        auto failure = fmt::format("{}: {}", m_options.socketPath, sent.error().description());
        m_logger.error("Remote proxy error: {}", failure);
        dropConnection(connection->serial());
        return Unexpected(Failure { Failure::Kind::NoConnection, failure, std::nullopt });
    }

    std::unique_lock lock(slots->mutex);
    if (!slots->replied.wait_for(lock, m_options.replyTimeout, [&] { return slots->done; })) {
        lock.unlock();
        m_logger.error(
            "Timed out waiting for helper response when fetching SMART info for BSD name {}", bsdName);
        dropConnection(connection->serial());
        return Unexpected(Failure { Failure::Kind::TimedOut, {}, std::nullopt });
    }
    auto result = std::move(slots->result);
    auto error = std::move(slots->error);
    lock.unlock();

    if (error) {
        if (error->isHelperDomain()) {
            m_logger.error("Privileged helper domain error (code: {}) for BSD name {}: {}", error->code,
                bsdName, error->description);
        } else {
            m_logger.error("Helper reported error for BSD name {}: {}", bsdName, error->description);
        }
        // Transport errors mean the connection is broken; the daemon's own errors do not.
        if (error->domain == helperTransportErrorDomain)
            dropConnection(connection->serial());
        return Unexpected(
            Failure { Failure::Kind::HelperReportedError, error->description, std::move(error) });
    }
    if (result) {
        m_logger.debug(
            "Received helper response containing {} bytes of JSON for BSD name {}; exit status: {}",
            result->jsonData.size(), bsdName, result->terminationStatus);
        return std::move(*result);
    }
    m_logger.error("Helper returned neither result nor error for BSD name {}", bsdName);
    return Unexpected(Failure { Failure::Kind::NeitherResultNorError, {}, std::nullopt });
}

}
