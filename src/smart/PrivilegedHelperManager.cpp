#include "smart/PrivilegedHelperManager.h"

#include <fmt/format.h>
#include <fmt/ranges.h>
#include <future>
#include <mutex>
#include <unistd.h>

namespace tallowin {

PrivilegedHelperError PrivilegedHelperError::smAppServiceRegistrationFailed(ServiceManagerError underlying)
{
    return { Kind::SmAppServiceRegistrationFailed, std::move(underlying) };
}

PrivilegedHelperError PrivilegedHelperError::missingHelperLaunchdPlist()
{
    return { Kind::MissingHelperLaunchdPlist, std::nullopt };
}

std::string PrivilegedHelperError::description() const
{
    switch (kind) {
    case Kind::SmAppServiceRegistrationFailed:
        return "SMAppService registration failed: " + (underlying ? underlying->description : std::string());
    case Kind::MissingHelperLaunchdPlist:
        return "Missing helper LaunchDaemon plist inside application resources";
    }
    return {};
}

PrivilegedHelperManager::RuntimeEnvironment PrivilegedHelperManager::RuntimeEnvironment::detect(
    const EnvironmentLookup& environment, const FileExists& fileExists)
{
    auto equalsOne = [&](const char* name) { return environment(name) == std::optional<std::string>("1"); };
    auto present = [&](const char* name) { return environment(name).has_value(); };

    RuntimeEnvironment result;
    auto& reasons = result.restrictionReasons;
    if (equalsOne("TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS"))
        reasons.emplace_back("Manual override: TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS");
    if (equalsOne("XCODE_RUNNING_FOR_PREVIEWS"))
        reasons.emplace_back("SwiftUI Preview runtime");
    if (present("XCTestConfigurationFilePath"))
        reasons.emplace_back("XCTest session detected");
    if (equalsOne("XCODE_RUNNING_FOR_TESTS"))
        reasons.emplace_back("Xcode test harness");
    if (present("SIMULATOR_DEVICE_NAME"))
        reasons.emplace_back("Simulator environment");
    // An application sandbox cannot reach the host's service manager or the daemon's socket:
    // Flatpak announces itself with FLATPAK_ID and /.flatpak-info, Snap with SNAP.
    bool sandboxed = present("APP_SANDBOX_CONTAINER_ID") || present("FLATPAK_ID") || present("SNAP")
        || (fileExists && fileExists("/.flatpak-info"));
    if (sandboxed)
        reasons.emplace_back("App Sandbox entitlement active");
    result.allowsPrivilegedOperations = reasons.empty();
    return result;
}

namespace {

// Stands in for the main thread when nobody provided one: a queue whose only work is the
// installation workflow and the approval prompt.
class WorkflowQueue final : public MainQueue {
public:
    void post(std::function<void()> work) override { m_queue.post(std::move(work)); }
    bool isMainThread() const override { return m_queue.isCurrent(); }

private:
    SerialQueue m_queue { "com.tallowin.PrivilegedHelperManager.workflow", QualityOfService::UserInitiated };
};

std::mutex sharedMutex;
std::shared_ptr<MainQueue> sharedMainQueue;
std::shared_ptr<PrivilegedHelperManager> sharedManager;

bool fileExists(const std::filesystem::path& path)
{
    return ::access(path.c_str(), F_OK) == 0;
}

}

std::shared_ptr<PrivilegedHelperManager> PrivilegedHelperManager::create(Dependencies dependencies)
{
    std::shared_ptr<PrivilegedHelperManager> manager(new PrivilegedHelperManager(std::move(dependencies)));
    const auto& reasons = manager->m_runtimeEnvironment.restrictionReasons;
    if (!reasons.empty())
        manager->m_logger.error(
            "Privileged operations disabled for environment: {}", fmt::join(reasons, ", "));
    return manager;
}

std::shared_ptr<PrivilegedHelperManager> PrivilegedHelperManager::shared()
{
    std::lock_guard lock(sharedMutex);
    if (!sharedManager) {
        sharedManager = create({
            makeSystemServiceManager(),
            sharedMainQueue ? sharedMainQueue : std::make_shared<WorkflowQueue>(),
            RuntimeEnvironment::detect(processEnvironment, fileExists),
        });
    }
    return sharedManager;
}

void PrivilegedHelperManager::setSharedMainQueue(std::shared_ptr<MainQueue> mainQueue)
{
    std::lock_guard lock(sharedMutex);
    sharedMainQueue = std::move(mainQueue);
}

PrivilegedHelperManager::PrivilegedHelperManager(Dependencies dependencies)
    : m_serviceManager(std::move(dependencies.serviceManager))
    , m_mainQueue(std::move(dependencies.mainQueue))
    , m_notificationCenter(dependencies.notificationCenter)
    , m_runtimeEnvironment(std::move(dependencies.runtimeEnvironment))
{ }

PrivilegedHelperManager::~PrivilegedHelperManager() = default;

std::optional<bool> PrivilegedHelperManager::cachedInstallationState() const
{
    std::optional<bool> state;
    m_stateQueue.sync([&] { state = m_cachedInstallationState; });
    return state;
}

bool PrivilegedHelperManager::isInstalling() const
{
    bool installing = false;
    m_stateQueue.sync([&] { installing = m_isInstalling; });
    return installing;
}

bool PrivilegedHelperManager::hasPromptedForApproval() const
{
    bool prompted = false;
    m_stateQueue.sync([&] { prompted = m_hasPromptedForApproval; });
    return prompted;
}

void PrivilegedHelperManager::setCachedInstallationState(bool state)
{
    m_stateQueue.sync([&] { m_cachedInstallationState = state; });
}

std::string PrivilegedHelperManager::restrictionReasonsText() const
{
    const auto& reasons = m_runtimeEnvironment.restrictionReasons;
    if (reasons.empty())
        return "Privileged operations allowed";
    return fmt::format("{}", fmt::join(reasons, ", "));
}

bool PrivilegedHelperManager::ensureHelperInstalledIfNeeded()
{
    bool onMainThread = m_mainQueue->isMainThread();
    m_logger.debug("ensureHelperInstalledIfNeeded invoked on main thread? {}", onMainThread);
    if (!m_runtimeEnvironment.allowsPrivilegedOperations) {
        m_logger.error("Skipped helper installation because privileged operations are disabled ({}).",
            restrictionReasonsText());
        setCachedInstallationState(false);
        return false;
    }
    if (onMainThread) {
        m_logger.debug("Executing helper installation directly on the main thread.");
        return runWorkflow();
    }
    m_logger.debug("Dispatching helper installation onto the main thread synchronously.");
    auto answer = std::make_shared<std::promise<bool>>();
    auto answered = answer->get_future();
    // The caller waits for the answer, so the workflow may use the manager directly.
    m_mainQueue->post([this, answer] { answer->set_value(runWorkflow()); });
    try {
        return answered.get();
    } catch (const std::future_error&) {
        // The main queue was torn down before it ran the workflow: the application is quitting.
        return false;
    }
}

bool PrivilegedHelperManager::runWorkflow()
{
    if (auto cached = cachedInstallationState()) {
        m_logger.debug("Using cached helper installation state: {}", *cached);
        return *cached;
    }
    if (checkRegistration()) {
        m_logger.debug("Privileged helper already registered with launchd; caching installation flag.");
        setCachedInstallationState(true);
        return true;
    }

    bool alreadyInstalling = false;
    std::optional<bool> cached;
    m_stateQueue.sync([&] {
        alreadyInstalling = m_isInstalling;
        m_isInstalling = true;
        cached = m_cachedInstallationState;
    });
    if (alreadyInstalling) {
        m_logger.debug("Another installation attempt is active; deferring to cached result once available.");
        m_logger.debug("Installation already in progress; waiting for completion result.");
        return cached.value_or(false);
    }
    m_logger.debug(
        "Marking helper installation as in-flight on main thread: {}", m_mainQueue->isMainThread());
    m_logger.info("Starting privileged helper installation workflow via SMAppService.");

    auto registered = registerHelper();
    if (registered)
        m_logger.info("Successfully installed privileged helper via SMAppService.");
    else
        m_logger.error("Failed to install privileged helper1: {}", registered.error().description());
    bool state = registered.has_value();
    m_stateQueue.sync([&] {
        m_cachedInstallationState = state;
        m_isInstalling = false;
    });
    m_logger.debug("Clearing in-flight installation flag. Cached helper state = {}", state);
    return state;
}

Expected<void, PrivilegedHelperError> PrivilegedHelperManager::createService()
{
    auto definition = m_serviceManager->locateDefinition();
    if (!definition) {
        m_logger.error("Unable to locate helper launchd plist under Contents/Library/LaunchDaemons.");
        return Unexpected(PrivilegedHelperError::missingHelperLaunchdPlist());
    }
    m_logger.debug("Resolved helper launchd plist at path: {}", definition->string());
    m_logger.debug("Helper service definition name: {}", m_serviceManager->definitionName());
    return {};
}

bool PrivilegedHelperManager::checkRegistration()
{
    if (auto created = createService(); !created) {
        m_logger.error(
            "Failed to inspect helper registration via SMAppService: {}", created.error().description());
        return false;
    }
    auto status = m_serviceManager->status();
    auto executable = m_serviceManager->helperExecutablePath();
    bool executableExists = m_serviceManager->helperExecutableExists();
    m_logger.debug(
        "Resolved helper binary path (bundle) {}; exists? {}", executable.string(), executableExists);
    m_logger.debug("SMAppService status for helper: {}", serviceStatusName(status));
    m_logger.debug("Helper binary present on disk? {}", executableExists);

    switch (status) {
    case ServiceStatus::Enabled:
        m_logger.info("Helper registration state is enabled; launchd should manage the helper normally.");
        if (executableExists)
            return true;
        m_logger.error("Helper marked enabled but binary missing under /Library/PrivilegedHelperTools; will "
                       "trigger reinstall.");
        return false;
    case ServiceStatus::RequiresApproval:
        m_logger.error(
            "Helper registration pending user approval; awaiting confirmation inside System Settings.");
        m_logger.error(
            "Privileged helper awaiting user approval inside System Settings → General → Login Items.");
        showApprovalPrompt();
        return false;
    case ServiceStatus::NotFound:
        m_logger.error("Helper service definition not found; check bundle resources and plist name.");
        return false;
    case ServiceStatus::NotRegistered:
        m_logger.debug("Helper service not registered with launchd yet.");
        return false;
    }
    auto name = serviceStatusName(status);
    m_logger.error("Encountered uncommon helper status ({}).", name);
    m_logger.error("Unhandled SMAppService status encountered ({}); assuming helper not installed.", name);
    return false;
}

PrivilegedHelperError PrivilegedHelperManager::registrationFailure(const ServiceManagerError& error)
{
    if (error.domain == serviceManagerErrorDomain
        && error.code == static_cast<std::int64_t>(ServiceManagerErrorCode::ApprovalRequired)) {
        m_logger.error(
            "Helper registration blocked by Login Items approval (SMAppServiceErrorDomain code=1). "
            "Prompting user to approve in System Settings.");
        showApprovalPrompt();
    } else {
        m_logger.error("Failed to install privileged helper2: {}", error.description);
    }
    m_logger.error("SMAppService.register() threw NSError with domain: {}, code: {}, userInfo: {}",
        error.domain, error.code, fmt::format("{{description = \"{}\"}}", error.description));
    return PrivilegedHelperError::smAppServiceRegistrationFailed(error);
}

Expected<void, PrivilegedHelperError> PrivilegedHelperManager::registerHelper()
{
    if (auto created = createService(); !created)
        return created;
    auto status = m_serviceManager->status();
    bool executableExists = m_serviceManager->helperExecutableExists();
    m_logger.debug("Attempting helper registration with current status: {}", serviceStatusName(status));
    m_logger.debug("Effective user ID before helper registration: {}", ::geteuid());

    if (status == ServiceStatus::Enabled && executableExists) {
        m_logger.debug("Helper already registered and binary present; skipping re-installation.");
        return {};
    }
    if (status == ServiceStatus::Enabled) {
        m_logger.error("Helper reported enabled but binary missing; attempting SMAppService.register() to "
                       "restore installation.");
        m_logger.info("Detected stale helper registration without binary; unregistering existing "
                      "SMAppService to force reinstall.");
        if (auto unregistered = m_serviceManager->unregisterService()) {
            setCachedInstallationState(false);
            m_logger.info("Successfully removed stale launchd registration; proceeding with fresh helper "
                          "registration.");
        } else {
            bool alreadyAbsent = false;
            if (auto refreshed = createService(); !refreshed) {
                m_logger.error("Unable to refresh helper status after unregister failure: {}",
                    refreshed.error().description());
            } else {
                auto observed = m_serviceManager->status();
                m_logger.debug(
                    "Helper status observed after unregister failure: {}", serviceStatusName(observed));
                bool absent = observed == ServiceStatus::NotRegistered || observed == ServiceStatus::NotFound;
                if (observed != ServiceStatus::NotRegistered && observed != ServiceStatus::NotFound
                    && observed != ServiceStatus::Enabled && observed != ServiceStatus::RequiresApproval) {
                    m_logger.error("Encountered unknown SMAppService.Status when checking uninstall state; "
                                   "defaulting to not installed.");
                    absent = true;
                }
                alreadyAbsent = absent && !m_serviceManager->helperExecutableExists();
            }
            if (!alreadyAbsent) {
                m_logger.error("Failed to unregister stale helper before reinstall: {}",
                    unregistered.error().description);
                return Unexpected(registrationFailure(unregistered.error()));
            }
            setCachedInstallationState(false);
            m_logger.debug("SMAppService.unregister() reported a failure but helper is already absent; "
                           "continuing with reinstall.");
        }
        if (auto recreated = createService(); !recreated)
            return recreated;
        m_logger.debug("Refreshed SMAppService after unregister; new status: {}",
            serviceStatusName(m_serviceManager->status()));
    }

    m_logger.info("will register");
    auto registered = m_serviceManager->registerService();
    if (!registered)
        return Unexpected(registrationFailure(registered.error()));
    m_logger.info("did register");
    if (m_serviceManager->status() == ServiceStatus::RequiresApproval) {
        m_logger.error(
            "Privileged helper requires additional approval inside System Settings → General → Login Items.");
        showApprovalPrompt();
    }
    return {};
}

void PrivilegedHelperManager::showApprovalPrompt()
{
    bool alreadyPrompted = false;
    m_stateQueue.sync([&] {
        alreadyPrompted = m_hasPromptedForApproval;
        m_hasPromptedForApproval = true;
    });
    if (alreadyPrompted) {
        m_logger.debug("Skipping duplicate System Settings approval prompt for helper.");
        return;
    }
    // Queued, never run inside the workflow that asked for it.
    m_mainQueue->post([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        self->m_serviceManager->openApprovalSettings();
        self->m_notificationCenter->post(privilegedHelperRequiresApprovalNotification);
    });
}

namespace HelperApprovalAlert {

std::string title()
{
    return localized("Enable Permissions", "需要启用后台权限");
}

std::string message()
{
    return localized("Tallowin reads SMART data through its helper service com.tallowin.ProbeWarden, which "
                     "an administrator has to "
                     "enable. Approve the administrator prompt, or run “pkexec systemctl enable --now "
                     "com.tallowin.ProbeWarden.socket” in a terminal. After enabling these permissions, "
                     "please restart Tallowin to "
                     "activate them.",
        "Tallowin 通过后台辅助服务 com.tallowin.ProbeWarden 读取 SMART "
        "数据，该服务需要由管理员启用。请在管理员授权对话框中批准，"
        "或在终端中运行 “pkexec systemctl enable --now "
        "com.tallowin.ProbeWarden.socket”。完成授权后，请重新启动 Tallowin "
        "以启用新的权限。");
}

std::string buttonTitle()
{
    return localized("Understood", "我已了解");
}

}

}
