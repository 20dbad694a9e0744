#pragma once

#include "core/Expected.h"
#include "core/Log.h"
#include "core/SerialQueue.h"
#include "helper_protocol/HelperError.h"
#include "helper_protocol/SmartctlExecutionResult.h"
#include "smart/HelperConnection.h"
#include "smart/PrivilegedHelperManager.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tallowin {

// The application's side of the connection to the privileged helper daemon. It keeps at most
// one connection, made on demand and dropped whenever it breaks, and fetches smartctl's result
// for a device name, waiting at most five seconds for the daemon's reply. Before sending
// anything it makes sure privileged operations are allowed and the daemon is registered.
class SmartctlHelperClient : public std::enable_shared_from_this<SmartctlHelperClient> {
public:
    static constexpr std::chrono::milliseconds defaultReplyTimeout { 5000 };

    struct Options {
        std::string socketPath;
        std::chrono::milliseconds replyTimeout { defaultReplyTimeout };
    };

    // Why a fetch gave nothing. The application only sees "nothing" (every cause is logged);
    // the command line tells the user which it was.
    struct FetchFailure {
        enum class Kind {
            PrivilegedOperationsDisabled,
            InstallationFailed,
            NoConnection,
            TimedOut,
            HelperReportedError,
            NeitherResultNorError,
        };
        Kind kind;
        // The restriction reasons, the socket error, or the helper's error description.
        std::string detail;
        std::optional<HelperError> helperError;

        std::string localizedDescription() const;

        friend bool operator==(const FetchFailure&, const FetchFailure&) = default;
    };

    static std::shared_ptr<SmartctlHelperClient> create(std::shared_ptr<PrivilegedHelperManager>, Options);
    // The process-wide client, created on first use, over the shared manager and the socket
    // named by TALLOWIN_HELPER_SOCKET or the systemd socket's path.
    static std::shared_ptr<SmartctlHelperClient> shared();

    ~SmartctlHelperClient();
    SmartctlHelperClient(const SmartctlHelperClient&) = delete;
    SmartctlHelperClient& operator=(const SmartctlHelperClient&) = delete;

    // Blocks for at most about the reply time-out plus the manager's checks; never call it on
    // the main thread. bsdName is the kernel name without "/dev/" ("sda", "nvme0n1").
    std::optional<SmartctlExecutionResult> fetchSMARTData(std::string_view bsdName);
    // The same fetch, telling why there is no result.
    Expected<SmartctlExecutionResult, FetchFailure> fetchSMARTDataExplained(std::string_view bsdName);

    bool hasConnection() const;

private:
    SmartctlHelperClient(std::shared_ptr<PrivilegedHelperManager>, Options);

    std::shared_ptr<HelperConnection> connectionForRequest(std::string& failure);
    // Clears the field only when it still holds the given connection, so that dropping an old
    // connection never throws away a newer one.
    void dropConnection(std::uint64_t serial);

    Logger m_logger { std::string(applicationLogSubsystem), "SmartctlHelperClient" };
    std::shared_ptr<PrivilegedHelperManager> m_manager;
    Options m_options;
    std::atomic<std::uint64_t> m_nextRequestId { 1 };
    std::atomic<std::uint64_t> m_nextConnectionSerial { 1 };
    // Touched only on m_connectionQueue.
    std::shared_ptr<HelperConnection> m_connection;
    mutable SerialQueue m_connectionQueue { "com.tallowin.SmartctlHelperClient.connection",
        QualityOfService::UserInitiated };
};

}
