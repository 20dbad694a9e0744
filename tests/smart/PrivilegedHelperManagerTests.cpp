#include "smart/NotificationCenter.h"
#include "smart/PrivilegedHelperManager.h"
#include "smart/SmartctlHelperClient.h"
#include "support/LanguageGuard.h"

#include <deque>
#include <gtest/gtest.h>
#include <map>

using namespace tallowin;
using namespace tallowin::testing;
using Environment = std::map<std::string, std::string>;
using S = ServiceStatus;

namespace {

// A scripted service manager: statuses come from a queue whose last entry repeats, and calls are
// counted. The manager calls it only from its main queue, so it needs no lock.
class FakeServiceManager final : public ServiceManager {
public:
    struct Script {
        std::deque<ServiceStatus> statuses { S::NotRegistered };
        bool executableExists { true }, definitionShipped { true };
        std::optional<ServiceManagerError> registrationError {}, unregistrationError {};
    };

    std::string definitionName() const override { return "com.tallowin.ProbeWarden.socket"; }
    std::optional<std::filesystem::path> locateDefinition() override
    {
        ++calls;
        return script.definitionShipped ? std::optional<std::filesystem::path>("/x.socket") : std::nullopt;
    }
    ServiceStatus status() override
    {
        ++calls;
        const auto status = script.statuses.front();
        if (script.statuses.size() > 1)
            script.statuses.pop_front();
        return status;
    }
    std::filesystem::path helperExecutablePath() override { return "/usr/libexec/tallowin/daemon"; }
    bool helperExecutableExists() override { return script.executableExists; }
    Expected<void, ServiceManagerError> registerService() override
    {
        ++calls;
        ++registerCalls;
        if (duringRegistration)
            duringRegistration();
        if (script.registrationError)
            return Unexpected(*script.registrationError);
        script.executableExists = true;
        return {};
    }
    Expected<void, ServiceManagerError> unregisterService() override
    {
        ++unregisterCalls;
        if (script.unregistrationError)
            return Unexpected(*script.unregistrationError);
        return {};
    }
    void openApprovalSettings() override { ++approvalSettingsOpened; }

    Script script;
    std::function<void()> duringRegistration;
    int calls { 0 }, registerCalls { 0 }, unregisterCalls { 0 }, approvalSettingsOpened { 0 };
};

const ServiceManagerError declined { std::string(serviceManagerErrorDomain),
    static_cast<std::int64_t>(ServiceManagerErrorCode::ApprovalRequired),
    "An administrator did not approve" };
const ServiceManagerError failed { std::string(serviceManagerErrorDomain), 2, "failed" };

PrivilegedHelperManager::RuntimeEnvironment detect(Environment environment, bool flatpakInfo = false)
{
    return PrivilegedHelperManager::RuntimeEnvironment::detect(
        [&](const char* name) {
            auto found = environment.find(name);
            return found == environment.end() ? std::nullopt : std::optional(found->second);
        },
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

// The client never connects when the manager says no: it reports why before trying.
TEST_F(PrivilegedHelperManagerTest, DisabledEnvironmentOrFailedInstallationKeepTheClientAway)
{
    using Kind = SmartctlHelperClient::FetchFailure::Kind;
    const auto fetch = [](std::shared_ptr<PrivilegedHelperManager> manager) {
        return SmartctlHelperClient::create(std::move(manager), { "/nonexistent/probewarden.sock" })
            ->fetchSMARTDataExplained("sda")
            .error()
            .kind;
    };
    auto disabled = makeManager({ { "TALLOWIN_DISABLE_PRIVILEGED_OPERATIONS", "1" } });
    EXPECT_FALSE(disabled->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(disabled->cachedInstallationState(), std::optional<bool>(false));
    EXPECT_EQ(fetch(disabled), Kind::PrivilegedOperationsDisabled);
    EXPECT_EQ(services->calls, 0);
    services->script.registrationError = failed;
    EXPECT_EQ(fetch(makeManager()), Kind::InstallationFailed);
}

TEST_F(PrivilegedHelperManagerTest, RegistrationStatesAndFailuresDecideTheCachedAnswer)
{
    struct Case {
        std::string name;
        FakeServiceManager::Script script;
        bool installed;
        int registrations, unregistrations, prompts;
    };
    const std::vector<Case> cases {
        { "enabled", { .statuses = { S::Enabled } }, true, 0, 0, 0 },
        { "not registered", { .statuses = { S::NotRegistered, S::NotRegistered, S::Enabled } }, true, 1, 0,
            0 },
        { "approval declined", { .registrationError = declined }, false, 1, 0, 1 },
        // Pending at the check, and still pending after a registration that succeeded.
        { "approval pending", { .statuses = { S::RequiresApproval } }, true, 1, 0, 1 },
        { "other registration failure", { .registrationError = failed }, false, 1, 0, 0 },
        { "enabled without the daemon", { .statuses = { S::Enabled }, .executableExists = false }, true, 1, 1,
            0 },
        { "failed unregistration",
            { .statuses = { S::Enabled }, .executableExists = false, .unregistrationError = failed }, false,
            0, 1, 0 },
        // When the failed unregistration left the helper absent anyway, the installation goes on.
        { "failed unregistration, helper gone",
            { .statuses = { S::Enabled, S::Enabled, S::NotRegistered },
                .executableExists = false,
                .unregistrationError = failed },
            true, 1, 1, 0 },
        { "missing definition", { .definitionShipped = false }, false, 0, 0, 0 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        posted = 0;
        services = std::make_shared<FakeServiceManager>();
        services->script = c.script;
        auto manager = makeManager();
        EXPECT_EQ(manager->ensureHelperInstalledIfNeeded(), c.installed);
        EXPECT_EQ(manager->cachedInstallationState(), std::optional<bool>(c.installed));
        EXPECT_FALSE(manager->isInstalling());
        const auto calls = services->calls; // a second call answers from the cache, and prompts no more
        EXPECT_EQ(manager->ensureHelperInstalledIfNeeded(), c.installed);
        EXPECT_EQ(services->calls, calls);
        EXPECT_EQ(posted, 0); // the prompt is queued for the main thread, never run inside the workflow
        EXPECT_EQ(approvalNotifications(), c.prompts);
        EXPECT_EQ(services->approvalSettingsOpened, c.prompts);
        EXPECT_EQ(manager->hasPromptedForApproval(), c.prompts > 0);
        EXPECT_EQ(services->registerCalls, c.registrations);
        EXPECT_EQ(services->unregisterCalls, c.unregistrations);
    }
}

TEST_F(PrivilegedHelperManagerTest, CallerDuringTheWorkflowGetsTheCachedAnswer)
{
    services->script.registrationError = declined;
    auto manager = makeManager();
    std::optional<bool> nestedAnswer;
    // A nested event loop serving the main thread can reach the manager while registration runs.
    services->duringRegistration = [&] {
        EXPECT_TRUE(manager->isInstalling());
        nestedAnswer = manager->ensureHelperInstalledIfNeeded();
    };
    EXPECT_FALSE(manager->ensureHelperInstalledIfNeeded());
    EXPECT_EQ(nestedAnswer, std::optional<bool>(false));
    EXPECT_EQ(services->registerCalls, 1);
    // A prompt queued by a manager that is gone by the time the main thread runs does nothing.
    services->duringRegistration = nullptr;
    makeManager()->ensureHelperInstalledIfNeeded();
    EXPECT_EQ(approvalNotifications(), 1);
}

// The message carries the command a Linux user has to run, in both languages.
TEST(HelperApprovalAlert, TellsALinuxUserWhatToDoInBothLanguages)
{
    for (const char* language : { "en_US", "zh_CN" }) {
        LanguageGuard guard(language);
        EXPECT_NE(HelperApprovalAlert::message().find(
                      "pkexec systemctl enable --now com.tallowin.ProbeWarden.socket"),
            std::string::npos)
            << language;
    }
}

TEST(NotificationCenter, PostsReachObserversOfThatNameWhileTheyAreRegistered)
{
    NotificationCenter::Registration outliving; // must not touch its destroyed centre (ASan would tell)
    NotificationCenter center;
    int approvals = 0, removedCalls = 0;
    auto approval = center.addObserver("approval", [&] { ++approvals; });
    NotificationCenter::Registration moved = center.addObserver("approval", [&] { ++approvals; });
    center.post("approval");
    center.post("other");
    approval.reset();
    center.post("approval");
    EXPECT_EQ(approvals, 3);
    // An observer may remove another during a post.
    NotificationCenter::Registration removed;
    auto remover = center.addObserver("removal", [&] { removed.reset(); });
    removed = center.addObserver("removal", [&] { ++removedCalls; });
    center.post("removal");
    EXPECT_EQ(removedCalls, 0);
    outliving = center.addObserver("approval", [] {});
}
