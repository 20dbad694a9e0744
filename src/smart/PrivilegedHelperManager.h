#pragma once

#include "core/Expected.h"
#include "core/Language.h"
#include "core/Log.h"
#include "core/MainQueue.h"
#include "core/SerialQueue.h"
#include "smart/NotificationCenter.h"
#include "smart/ServiceManager.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallowin {

// Posted (no object, no user information) when the helper daemon needs an administrator's
// approval; the dashboard answers with its approval alert.
inline constexpr std::string_view privilegedHelperRequiresApprovalNotification
    = "com.tallowin.notifications.privilegedHelperRequiresApproval";

struct PrivilegedHelperError {
    enum class Kind {
        SmAppServiceRegistrationFailed,
        MissingHelperLaunchdPlist,
    };
    Kind kind;
    // Why the service manager refused, for SmAppServiceRegistrationFailed.
    std::optional<ServiceManagerError> underlying;

    static PrivilegedHelperError smAppServiceRegistrationFailed(ServiceManagerError);
    static PrivilegedHelperError missingHelperLaunchdPlist();
    // Only ever written to the log, so English only.
    std::string description() const;

    friend bool operator==(const PrivilegedHelperError&, const PrivilegedHelperError&) = default;
};

// Decides whether Tallowin may use the privileged helper daemon at all, and makes sure the
// daemon is registered with the service manager before it is used. The outcome is remembered
// for the rest of the run; the user is asked for approval at most once per run.
//
// The workflow and every service-manager call run on the main queue; callers on other threads
// wait for it there, so a caller must never wait for this while holding up the main thread.
class PrivilegedHelperManager : public std::enable_shared_from_this<PrivilegedHelperManager> {
public:
    struct RuntimeEnvironment {
        bool allowsPrivilegedOperations { true };
        // Why privileged operations are forbidden, in detection order.
        std::vector<std::string> restrictionReasons;

        using FileExists = std::function<bool(const std::filesystem::path&)>;
        // Reads the manual switch, the development markers and the app sandbox (Flatpak, Snap).
        static RuntimeEnvironment detect(
            const EnvironmentLookup& = processEnvironment, const FileExists& = {});

        friend bool operator==(const RuntimeEnvironment&, const RuntimeEnvironment&) = default;
    };

    struct Dependencies {
        std::shared_ptr<ServiceManager> serviceManager;
        std::shared_ptr<MainQueue> mainQueue;
        RuntimeEnvironment runtimeEnvironment;
        // Not owned; the default centre unless a test brings its own.
        NotificationCenter* notificationCenter { &NotificationCenter::defaultCenter() };
    };

    static std::shared_ptr<PrivilegedHelperManager> create(Dependencies);

    // The process-wide instance, created on first use with systemd (or the development socket),
    // the process environment and the main queue given to setSharedMainQueue. Without one, the
    // workflow runs on a queue of its own.
    static std::shared_ptr<PrivilegedHelperManager> shared();
    // Must be called before the first use of shared() to take effect.
    static void setSharedMainQueue(std::shared_ptr<MainQueue>);

    ~PrivilegedHelperManager();
    PrivilegedHelperManager(const PrivilegedHelperManager&) = delete;
    PrivilegedHelperManager& operator=(const PrivilegedHelperManager&) = delete;

    const RuntimeEnvironment& runtimeEnvironment() const { return m_runtimeEnvironment; }

    // True when the daemon can be used. Any thread; blocks until the main queue has answered.
    bool ensureHelperInstalledIfNeeded();

    std::optional<bool> cachedInstallationState() const;
    bool isInstalling() const;
    bool hasPromptedForApproval() const;

private:
    explicit PrivilegedHelperManager(Dependencies);

    bool runWorkflow();
    bool checkRegistration();
    Expected<void, PrivilegedHelperError> createService();
    Expected<void, PrivilegedHelperError> registerHelper();
    PrivilegedHelperError registrationFailure(const ServiceManagerError&);
    void showApprovalPrompt();
    void setCachedInstallationState(bool);
    std::string restrictionReasonsText() const;

    Logger m_logger { std::string(applicationLogSubsystem), "PrivilegedHelperManager" };
    std::shared_ptr<ServiceManager> m_serviceManager;
    std::shared_ptr<MainQueue> m_mainQueue;
    NotificationCenter* m_notificationCenter;
    const RuntimeEnvironment m_runtimeEnvironment;

    // The three fields below are touched only on m_stateQueue.
    std::optional<bool> m_cachedInstallationState;
    bool m_isInstalling { false };
    bool m_hasPromptedForApproval { false };
    mutable SerialQueue m_stateQueue { "com.tallowin.PrivilegedHelperManager.state",
        QualityOfService::UserInitiated };
};

// The alert the dashboard shows when the notification above arrives.
namespace HelperApprovalAlert {
std::string title();
std::string message();
std::string buttonTitle();
}

}
