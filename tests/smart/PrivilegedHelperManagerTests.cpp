#include "smart/FakeServiceManager.h"
#include "smart/PrivilegedHelperManager.h"

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <thread>

using namespace tallowin;
using tallowin::testing::approvalDeclined;
using tallowin::testing::FakeServiceManager;

namespace {

using Environment = std::map<std::string, std::string>;

EnvironmentLookup lookupIn(Environment environment)
{
    return [environment = std::move(environment)](const char* name) -> std::optional<std::string> {
        if (auto found = environment.find(name); found != environment.end())
            return found->second;
        return std::nullopt;
    };
}

PrivilegedHelperManager::RuntimeEnvironment detect(Environment environment, bool flatpakInfo = false)
{
    return PrivilegedHelperManager::RuntimeEnvironment::detect(lookupIn(std::move(environment)),
        [flatpakInfo](const std::filesystem::path& path) { return flatpakInfo && path == "/.flatpak-info"; });
}

class PrivilegedHelperManagerTest : public ::testing::Test {
protected:
    std::shared_ptr<PrivilegedHelperManager> makeManager(Environment environment = {})
    {
        return PrivilegedHelperManager::create(
            { services, mainQueue, detect(std::move(environment)), &notifications });
    }

    // Runs what the manager queued on the main thread and tells how often approval was asked for.
    int approvalNotifications()
    {
        mainQueue->runPending();
        return posted;
    }

    ScopedTestLogSink log;
    std::shared_ptr<FakeServiceManager> services = std::make_shared<FakeServiceManager>();
    std::shared_ptr<EventLoopMainQueue> mainQueue = std::make_shared<EventLoopMainQueue>();
    NotificationCenter notifications;
    int posted { 0 };
    NotificationCenter::Registration observer = notifications.addObserver(
        std::string(privilegedHelperRequiresApprovalNotification), [this] { ++posted; });
};

}

TEST(RuntimeEnvironment, ReasonsFollowTheSwitchMarkersAndSandboxInDetectionOrder)
{
    EXPECT_EQ(detect({}), (PrivilegedHelperManager::RuntimeEnvironment { true, {} }));
    // Only the exact value "1" disables.
    EXPECT_TRUE(detect({ { "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS", "0" } }).allowsPrivilegedOperations);
    EXPECT_TRUE(detect({ { "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS", "yes" } }).allowsPrivilegedOperations);
    EXPECT_TRUE(detect({ { "XCODE_RUNNING_FOR_TESTS", "0" } }).allowsPrivilegedOperations);

    auto everything = detect({ { "SNAP", "/snap/tallowin/1" }, { "SIMULATOR_DEVICE_NAME", "" },
        { "XCODE_RUNNING_FOR_TESTS", "1" }, { "XCTestConfigurationFilePath", "" },
        { "XCODE_RUNNING_FOR_PREVIEWS", "1" }, { "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS", "1" } });
    EXPECT_FALSE(everything.allowsPrivilegedOperations);
    EXPECT_EQ(everything.restrictionReasons,
        (std::vector<std::string> { "Manual override: TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS",
            "SwiftUI Preview runtime", "XCTest session detected", "Xcode test harness",
            "Simulator environment", "App Sandbox entitlement active" }));
}

TEST(RuntimeEnvironment, FlatpakAndSnapCountAsTheAppSandbox)
{
    std::vector<std::string> sandbox { "App Sandbox entitlement active" };
    EXPECT_EQ(detect({ { "FLATPAK_ID", "com.tallowin.Tallowin" } }).restrictionReasons, sandbox);
    EXPECT_EQ(detect({}, true).restrictionReasons, sandbox);
    EXPECT_EQ(detect({ { "SNAP", "/snap/tallowin/12" } }).restrictionReasons, sandbox);
    // Several sandbox markers still make one reason.
    EXPECT_EQ(detect({ { "FLATPAK_ID", "x" }, { "SNAP", "y" } }, true).restrictionReasons, sandbox);
}

TEST_F(PrivilegedHelperManagerTest, DisabledEnvironmentAnswersFalseAtOnceWithoutTheServiceManager)
{
    auto manager = makeManager({ { "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS", "1" } });
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Privileged operations disabled for environment: Manual override: "
        "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS"));
    EXPECT_FALSE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(manager->cachedInstallationState(), std::optional<bool>(false));
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Skipped helper installation because privileged operations are disabled "
        "(Manual override: TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS)."));
    EXPECT_EQ(services->locateCalls + services->statusCalls + services->registerCalls, 0);
}

TEST_F(PrivilegedHelperManagerTest, EnabledHelperIsCachedAndNeverAskedAgain)
{
    services->statuses = { ServiceStatus::Enabled };
    auto manager = makeManager();
    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(manager->cachedInstallationState(), std::optional<bool>(true));
    EXPECT_TRUE(log->contains(LogLevel::Default,
        "Helper registration state is enabled; launchd should manage the helper normally."));
    auto statusCalls = services->statusCalls;

    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(services->statusCalls, statusCalls);
    EXPECT_EQ(services->registerCalls, 0);
    EXPECT_TRUE(log->contains(LogLevel::Debug, "Using cached helper installation state: true"));
    EXPECT_EQ(approvalNotifications(), 0);
}

TEST_F(PrivilegedHelperManagerTest, UnregisteredHelperIsRegisteredOnce)
{
    services->statuses
        = { ServiceStatus::NotRegistered, ServiceStatus::NotRegistered, ServiceStatus::Enabled };
    auto manager = makeManager();
    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(services->registerCalls, 1);
    EXPECT_FALSE(manager->isInstalling());
    EXPECT_TRUE(
        log->contains(LogLevel::Default, "Successfully installed privileged helper via SMAppService."));
    EXPECT_TRUE(
        log->contains(LogLevel::Debug, "Clearing in-flight installation flag. Cached helper state = true"));
}

TEST_F(PrivilegedHelperManagerTest, DeclinedApprovalCachesFalseAndPostsTheNotificationOnce)
{
    services->registrationError = approvalDeclined();
    auto manager = makeManager();
    EXPECT_FALSE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(manager->cachedInstallationState(), std::optional<bool>(false));
    // The prompt is queued for the main thread, never run inside the workflow.
    EXPECT_EQ(posted, 0);
    EXPECT_EQ(approvalNotifications(), 1);
    EXPECT_EQ(services->approvalSettingsOpened, 1);
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Failed to install privileged helper1: SMAppService registration failed: An administrator did not "
        "approve"));
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "SMAppService.register() threw NSError with domain: com.tallowin.ServiceManager.error, code: 1, "
        "userInfo: "
        "{description = \"An administrator did not approve\"}"));

    // No second attempt, no second prompt in this run.
    EXPECT_FALSE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(services->registerCalls, 1);
    EXPECT_EQ(approvalNotifications(), 1);
    EXPECT_TRUE(manager->hasPromptedForApproval());
}

TEST_F(PrivilegedHelperManagerTest, PendingApprovalPromptsOnceAndCountsAsInstalled)
{
    // Pending at the check, and still pending after a registration that succeeded.
    services->statuses = { ServiceStatus::RequiresApproval };
    auto manager = makeManager();
    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(manager->cachedInstallationState(), std::optional<bool>(true));
    EXPECT_EQ(approvalNotifications(), 1);
    EXPECT_TRUE(
        log->contains(LogLevel::Debug, "Skipping duplicate System Settings approval prompt for helper."));
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Privileged helper requires additional approval inside System Settings → General → Login Items."));
}

TEST_F(PrivilegedHelperManagerTest, OtherRegistrationFailuresDoNotPrompt)
{
    services->registrationError = ServiceManagerError { std::string(serviceManagerErrorDomain), 2,
        "\"systemctl enable\" exited with status 1" };
    auto manager = makeManager();
    EXPECT_FALSE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(approvalNotifications(), 0);
    EXPECT_TRUE(log->contains(
        LogLevel::Error, "Failed to install privileged helper2: \"systemctl enable\" exited with status 1"));
}

TEST_F(PrivilegedHelperManagerTest, EnabledWithoutTheDaemonIsUnregisteredAndRegisteredAgain)
{
    services->statuses = { ServiceStatus::Enabled };
    services->executableExists = false;
    auto manager = makeManager();
    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(services->unregisterCalls, 1);
    EXPECT_EQ(services->registerCalls, 1);
    EXPECT_EQ(manager->cachedInstallationState(), std::optional<bool>(true));
    EXPECT_TRUE(log->contains(LogLevel::Default,
        "Successfully removed stale launchd registration; proceeding with fresh helper registration."));
}

TEST_F(PrivilegedHelperManagerTest, FailedUnregistrationOfAStillEnabledHelperFailsTheInstallation)
{
    services->statuses = { ServiceStatus::Enabled };
    services->executableExists = false;
    services->unregistrationError
        = ServiceManagerError { std::string(serviceManagerErrorDomain), 2, "disable failed" };
    auto manager = makeManager();
    EXPECT_FALSE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(services->registerCalls, 0);
    EXPECT_TRUE(
        log->contains(LogLevel::Error, "Failed to unregister stale helper before reinstall: disable failed"));

    // When the failed unregistration left the helper absent anyway, the installation goes on.
    services->statuses = { ServiceStatus::Enabled, ServiceStatus::Enabled, ServiceStatus::NotRegistered };
    auto second = makeManager();
    EXPECT_TRUE(second->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(services->registerCalls, 1);
}

TEST_F(PrivilegedHelperManagerTest, MissingDefinitionFailsInspectionAndRegistration)
{
    services->definitionShipped = false;
    auto manager = makeManager();
    EXPECT_FALSE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(services->registerCalls, 0);
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Failed to inspect helper registration via SMAppService: Missing helper LaunchDaemon plist inside "
        "application "
        "resources"));
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Failed to install privileged helper1: Missing helper LaunchDaemon plist inside application "
        "resources"));
}

TEST_F(PrivilegedHelperManagerTest, SecondCallerDuringTheWorkflowGetsTheCachedAnswer)
{
    auto manager = makeManager();
    std::optional<bool> nestedAnswer;
    // A caller that reaches the manager while registration is under way (a nested event loop
    // serving the main thread does exactly that) must not start a second registration.
    services->duringRegistration = [&] {
        EXPECT_TRUE(manager->isInstalling());
        nestedAnswer = manager->ensureHelperInstalledIfNeeded();
    };
    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(nestedAnswer, std::optional<bool>(false));
    EXPECT_EQ(services->registerCalls, 1);
    EXPECT_TRUE(
        log->contains(LogLevel::Debug, "Installation already in progress; waiting for completion result."));
}

TEST_F(PrivilegedHelperManagerTest, CallersOnOtherThreadsWaitForTheMainThread)
{
    services->statuses = { ServiceStatus::Enabled };
    auto manager = makeManager();
    std::optional<bool> first, second;
    std::atomic<int> answered { 0 };
    std::thread one([&] {
        first = manager->ensureHelperInstalledIfNeeded();
        ++answered;
        mainQueue->post([] {}); // wakes the loop so it sees the answer
    });
    std::thread two([&] {
        second = manager->ensureHelperInstalledIfNeeded();
        ++answered;
        mainQueue->post([] {}); // wakes the loop so it sees the answer
    });
    // Both wait until the main queue runs their workflow.
    EXPECT_TRUE(mainQueue->runUntil([&] { return answered == 2; }, std::chrono::seconds(30)));
    one.join();
    two.join();
    EXPECT_EQ(first, std::optional<bool>(true));
    EXPECT_EQ(second, std::optional<bool>(true));
    EXPECT_TRUE(log->contains(
        LogLevel::Debug, "Dispatching helper installation onto the main thread synchronously."));
    EXPECT_TRUE(
        log->contains(LogLevel::Debug, "ensureHelperInstalledIfNeeded invoked on main thread? false"));
}

TEST_F(PrivilegedHelperManagerTest, DevelopmentSocketCountsAsRegisteredAndEnabled)
{
    auto development
        = makeSystemServiceManager(lookupIn({ { "TALLOWIN_HELPER_SOCKET", "/tmp/probewarden-dev.sock" } }));
    ASSERT_NE(dynamic_cast<DevelopmentServiceManager*>(development.get()), nullptr);
    EXPECT_EQ(helperSocketPath(lookupIn({ { "TALLOWIN_HELPER_SOCKET", "/tmp/probewarden-dev.sock" } })),
        "/tmp/probewarden-dev.sock");
    EXPECT_EQ(helperSocketPath(lookupIn({})), "/run/tallowin/probewarden.sock");
    EXPECT_EQ(
        helperSocketPath(lookupIn({ { "TALLOWIN_HELPER_SOCKET", "" } })), "/run/tallowin/probewarden.sock");

    auto manager = PrivilegedHelperManager::create({ development, mainQueue, detect({}), &notifications });
    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_TRUE(log->contains(
        LogLevel::Debug, "Privileged helper already registered with launchd; caching installation flag."));
}

TEST_F(PrivilegedHelperManagerTest, PromptQueuedByAManagerThatIsGoneDoesNothing)
{
    services->registrationError = approvalDeclined();
    auto manager = makeManager();
    EXPECT_FALSE(manager->ensureHelperInstalledIfNeeded());
    manager.reset();
    EXPECT_EQ(approvalNotifications(), 0);
}

TEST(HelperApprovalAlert, TellsALinuxUserWhatToDoInBothLanguages)
{
    setenv("LANGUAGE", "en_US", 1);
    EXPECT_EQ(HelperApprovalAlert::title(), "Enable Permissions");
    EXPECT_NE(
        HelperApprovalAlert::message().find("pkexec systemctl enable --now com.tallowin.ProbeWarden.socket"),
        std::string::npos);
    setenv("LANGUAGE", "zh_CN", 1);
    EXPECT_EQ(HelperApprovalAlert::title(), "需要启用后台权限");
    EXPECT_EQ(HelperApprovalAlert::buttonTitle(), "我已了解");
    EXPECT_NE(
        HelperApprovalAlert::message().find("pkexec systemctl enable --now com.tallowin.ProbeWarden.socket"),
        std::string::npos);
    unsetenv("LANGUAGE");
}
