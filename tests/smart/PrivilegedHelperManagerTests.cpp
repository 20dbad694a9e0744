#include "smart/FakeServiceManager.h"
#include "smart/PrivilegedHelperManager.h"
#include "support/LanguageGuard.h"

#include <atomic>
#include <gtest/gtest.h>
#include <map>
#include <thread>

using namespace tallowin;
using namespace tallowin::testing;

namespace {

using Environment = std::map<std::string, std::string>;

EnvironmentLookup lookupIn(Environment environment)
{
    return [environment = std::move(environment)](const char* name) -> std::optional<std::string> {
        auto found = environment.find(name);
        return found == environment.end() ? std::nullopt : std::optional(found->second);
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
    const std::string sandbox = "App Sandbox entitlement active";
    struct Case {
        Environment environment;
        bool flatpakInfo;
        std::vector<std::string> reasons;
    };
    const std::vector<Case> cases {
        { {}, false, {} },
        // Only the exact value "1" disables.
        { { { "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS", "yes" }, { "XCODE_RUNNING_FOR_TESTS", "0" } }, false,
            {} },
        { { { "FLATPAK_ID", "com.tallowin.Tallowin" } }, false, { sandbox } },
        { {}, true, { sandbox } },
        { { { "FLATPAK_ID", "x" }, { "SNAP", "y" } }, true, { sandbox } },
        { { { "SNAP", "/snap/tallowin/1" }, { "SIMULATOR_DEVICE_NAME", "" },
              { "XCODE_RUNNING_FOR_TESTS", "1" }, { "XCTestConfigurationFilePath", "" },
              { "XCODE_RUNNING_FOR_PREVIEWS", "1" }, { "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS", "1" } },
            false,
            { "Manual override: TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS", "SwiftUI Preview runtime",
                "XCTest session detected", "Xcode test harness", "Simulator environment", sandbox } },
    };
    for (const auto& [environment, flatpakInfo, reasons] : cases)
        EXPECT_EQ(detect(environment, flatpakInfo),
            (PrivilegedHelperManager::RuntimeEnvironment { reasons.empty(), reasons }))
            << ::testing::PrintToString(environment);
}

TEST_F(PrivilegedHelperManagerTest, DisabledEnvironmentAnswersFalseAtOnceWithoutTheServiceManager)
{
    auto manager = makeManager({ { "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS", "1" } });
    EXPECT_FALSE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(manager->cachedInstallationState(), std::optional<bool>(false));
    EXPECT_TRUE(log->contains(LogLevel::Error,
        "Privileged operations disabled for environment: Manual override: "
        "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS"));
    EXPECT_EQ(services->calls, 0);
}

TEST_F(PrivilegedHelperManagerTest, RegistrationStatesAndFailuresDecideTheCachedAnswer)
{
    const ServiceManagerError failed { std::string(serviceManagerErrorDomain), 2, "failed" };
    using S = ServiceStatus;
    struct Case {
        std::string name;
        std::deque<ServiceStatus> statuses;
        bool executableExists, definitionShipped;
        std::optional<ServiceManagerError> registrationError, unregistrationError;
        bool installed;
        int registrations, unregistrations, prompts;
    };
    const std::vector<Case> cases {
        { "enabled", { S::Enabled }, true, true, {}, {}, true, 0, 0, 0 },
        { "not registered", { S::NotRegistered, S::NotRegistered, S::Enabled }, true, true, {}, {}, true, 1,
            0, 0 },
        { "approval declined", { S::NotRegistered }, true, true, approvalDeclined(), {}, false, 1, 0, 1 },
        // Pending at the check, and still pending after a registration that succeeded.
        { "approval pending", { S::RequiresApproval }, true, true, {}, {}, true, 1, 0, 1 },
        { "other registration failure", { S::NotRegistered }, true, true, failed, {}, false, 1, 0, 0 },
        { "enabled without the daemon", { S::Enabled }, false, true, {}, {}, true, 1, 1, 0 },
        { "failed unregistration", { S::Enabled }, false, true, {}, failed, false, 0, 1, 0 },
        // When the failed unregistration left the helper absent anyway, the installation goes on.
        { "failed unregistration, helper gone", { S::Enabled, S::Enabled, S::NotRegistered }, false, true, {},
            failed, true, 1, 1, 0 },
        { "missing definition", { S::NotRegistered }, true, false, {}, {}, false, 0, 0, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        posted = 0;
        services = std::make_shared<FakeServiceManager>();
        services->statuses = c.statuses;
        services->executableExists = c.executableExists;
        services->definitionShipped = c.definitionShipped;
        services->registrationError = c.registrationError;
        services->unregistrationError = c.unregistrationError;
        auto manager = makeManager();
        EXPECT_EQ(manager->ensureHelperInstalledIfNeeded(), c.installed);
        EXPECT_EQ(manager->cachedInstallationState(), std::optional<bool>(c.installed));
        EXPECT_FALSE(manager->isInstalling());
        EXPECT_EQ(posted, 0); // the prompt is queued for the main thread, never run inside the workflow
        EXPECT_EQ(approvalNotifications(), c.prompts);
        EXPECT_EQ(services->registerCalls, c.registrations);
        EXPECT_EQ(services->unregisterCalls, c.unregistrations);
    }
}

TEST_F(PrivilegedHelperManagerTest, AnswerIsCachedAndApprovalAskedForOncePerRun)
{
    services->statuses = { ServiceStatus::Enabled };
    auto enabled = makeManager();
    EXPECT_TRUE(enabled->ensureHelperInstalledIfNeeded());
    const auto calls = services->calls;
    EXPECT_TRUE(enabled->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(services->calls, calls);

    services->registrationError = approvalDeclined();
    services->statuses = { ServiceStatus::NotRegistered };
    auto declined = makeManager();
    EXPECT_FALSE(declined->ensureHelperInstalledIfNeeded());
    EXPECT_FALSE(declined->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(services->registerCalls, 1);
    EXPECT_EQ(approvalNotifications(), 1);
    EXPECT_EQ(services->approvalSettingsOpened, 1);
    EXPECT_TRUE(declined->hasPromptedForApproval());
    // A prompt queued by a manager that is gone by the time the main thread runs does nothing.
    auto gone = makeManager();
    EXPECT_FALSE(gone->ensureHelperInstalledIfNeeded());
    gone.reset();
    EXPECT_EQ(approvalNotifications(), 1);
}

TEST_F(PrivilegedHelperManagerTest, CallersDuringTheWorkflowOrOnOtherThreadsDoNotStartAnother)
{
    auto manager = makeManager();
    std::optional<bool> nestedAnswer;
    // A nested event loop serving the main thread can reach the manager while registration runs.
    services->duringRegistration = [&] {
        EXPECT_TRUE(manager->isInstalling());
        nestedAnswer = manager->ensureHelperInstalledIfNeeded();
    };
    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(nestedAnswer, std::optional<bool>(false));

    services->duringRegistration = nullptr;
    auto fresh = makeManager();
    std::optional<bool> answers[2];
    std::atomic<int> answered { 0 };
    std::vector<std::thread> callers;
    for (auto& answer : answers)
        callers.emplace_back([&] {
            answer = fresh->ensureHelperInstalledIfNeeded();
            ++answered;
            mainQueue->post([] {}); // wakes the loop so it sees the answer
        });
    EXPECT_TRUE(mainQueue->runUntil([&] { return answered == 2; }, std::chrono::seconds(30)));
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(answers[0], std::optional<bool>(true));
    EXPECT_EQ(answers[1], std::optional<bool>(true));
    EXPECT_EQ(services->registerCalls, 2); // one per manager
}

TEST_F(PrivilegedHelperManagerTest, DevelopmentSocketCountsAsRegisteredAndEnabled)
{
    const auto development = lookupIn({ { "TALLOWIN_HELPER_SOCKET", "/tmp/probewarden-dev.sock" } });
    auto serviceManager = makeSystemServiceManager(development);
    ASSERT_NE(dynamic_cast<DevelopmentServiceManager*>(serviceManager.get()), nullptr);
    EXPECT_EQ(helperSocketPath(development), "/tmp/probewarden-dev.sock");
    EXPECT_EQ(
        helperSocketPath(lookupIn({ { "TALLOWIN_HELPER_SOCKET", "" } })), "/run/tallowin/probewarden.sock");
    auto manager = PrivilegedHelperManager::create({ serviceManager, mainQueue, detect({}), &notifications });
    EXPECT_TRUE(manager->ensureHelperInstalledIfNeeded());
}

TEST(HelperApprovalAlert, TellsALinuxUserWhatToDoInBothLanguages)
{
    const std::string command = "pkexec systemctl enable --now com.tallowin.ProbeWarden.socket";
    LanguageGuard english("en_US");
    EXPECT_EQ(HelperApprovalAlert::title(), "Enable Permissions");
    EXPECT_NE(HelperApprovalAlert::message().find(command), std::string::npos);
    LanguageGuard chinese("zh_CN");
    EXPECT_EQ(HelperApprovalAlert::title(), "需要启用后台权限");
    EXPECT_EQ(HelperApprovalAlert::buttonTitle(), "我已了解");
    EXPECT_NE(HelperApprovalAlert::message().find(command), std::string::npos);
}
