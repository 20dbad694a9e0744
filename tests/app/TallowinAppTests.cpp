#include "app/QtMainQueue.h"
#include "app/SerialQueueMainQueue.h"
#include "app/TallowinApp.h"
#include "dashboard/DashboardRootView.h"
#include "smart/PrivilegedHelperManager.h"
#include "support/FakeDeviceRegistry.h"
#include "support/LanguageGuard.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace tallowin {
namespace {

template <typename Actions>
std::vector<std::string> texts(const Actions& actions)
{
    std::vector<std::string> result;
    for (const auto* action : actions) {
        if (!action->isSeparator())
            result.push_back(action->text().toStdString());
    }
    return result;
}

int topLevelWidgetsNamed(const char* name)
{
    int count = 0;
    for (const auto* widget : QApplication::topLevelWidgets())
        count += widget->objectName() == QLatin1String(name) && widget->isVisible();
    return count;
}

void serveEvents()
{
    for (int round = 0; round < 5; ++round) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

// The application object over an in-memory device registry, with label windows.
class TallowinAppTest : public ::testing::Test {
protected:
    std::unique_ptr<TallowinApp> makeApp()
    {
        TallowinApp::Dependencies dependencies;
        dependencies.mainQueue = m_queue;
        dependencies.monitor = DiskIOMonitor::create(std::make_shared<testing::FakeDeviceRegistry>(), m_queue);
        dependencies.performanceTester = DiskPerformanceTester::create(m_queue);
        dependencies.aboutScene = TallowinApp::aboutScene(
            [](QWidget* window) { return new QLabel(QStringLiteral("about"), window); });
        dependencies.feedbackScene = TallowinApp::feedbackScene(
            [](QWidget* window) { return new QLabel(QStringLiteral("feedback"), window); });
        dependencies.announce = [this](const char* line) { m_announced.emplace_back(line); };
        return std::make_unique<TallowinApp>(std::move(dependencies));
    }

    // Everything the menus and the secondary windows' titles show, in the given language.
    std::vector<std::string> shownTexts(const char* language)
    {
        testing::LanguageGuard guard(language);
        auto app = makeApp();
        std::vector<std::string> shown = texts(app->menuBar().actions());
        for (const auto* menu : app->menuBar().actions()) {
            auto entries = texts(menu->menu()->actions());
            shown.insert(shown.end(), entries.begin(), entries.end());
        }
        for (const char* identifier : { AboutWindowScene::identifier, FeedbackWindowScene::identifier })
            shown.push_back(app->openWindow(identifier)->windowTitle().toStdString());
        return shown;
    }

    std::shared_ptr<QtMainQueue> m_queue = std::make_shared<QtMainQueue>();
    std::vector<std::string> m_announced;
};

TEST_F(TallowinAppTest, MenusAndWindowTitlesFollowTheLanguageRule)
{
    using ::testing::IsSupersetOf;
    auto english = shownTexts("en_GB");
    EXPECT_THAT(english, IsSupersetOf({ "Tallowin", "Sampling Precision", "Sampling Interval", "1 ms", "Full Disk",
                             "10 GB", "Help", "About Tallowin", "Thanks for your feedback." }));
    // Any language but Chinese is English; every Chinese is the same Chinese.
    EXPECT_EQ(shownTexts("fr_FR"), english);
    auto chinese = shownTexts("zh_CN");
    EXPECT_EQ(shownTexts("zh_TW"), chinese);
    EXPECT_THAT(chinese, IsSupersetOf({ "采样精度", "采样间隔", "1 毫秒", "全盘", "10 GB", "帮助",
                             "关于 Tallowin", "感谢您留下您的建议，多多益善～" }));
    EXPECT_EQ(chinese.size(), english.size());
}

TEST_F(TallowinAppTest, PrecisionPickerIsBoundBothWaysToTheMonitor)
{
    auto app = makeApp();
    EXPECT_EQ(texts(app->samplingPrecisionActions()),
        (std::vector<std::string> { "1 ms", "10 ms", "100 ms", "1000 ms" }));
    auto checked = [&] {
        std::vector<int> values;
        for (const auto* action : app->samplingPrecisionActions()) {
            if (action->isChecked())
                values.push_back(action->data().toInt());
        }
        return values;
    };
    EXPECT_EQ(checked(), (std::vector<int> { 1000 })) << "the monitor starts at 1000 ms";

    app->samplingPrecisionActions()[1]->trigger();
    serveEvents();
    EXPECT_EQ(app->monitor()->samplingPrecision(), DiskIOMonitor::SamplingPrecision::ms10);
    EXPECT_EQ(checked(), (std::vector<int> { 10 }));

    // A change made elsewhere (the dashboard) moves the check mark.
    app->monitor()->updateSamplingPrecision(DiskIOMonitor::SamplingPrecision::ms1);
    serveEvents();
    EXPECT_EQ(checked(), (std::vector<int> { 1 }));
}

TEST_F(TallowinAppTest, SampleSizePickerSetsTheTesterAndShowsItsChoice)
{
    auto app = makeApp();
    const auto sizes = DiskPerformanceTester::DataSize::allCases();
    ASSERT_EQ(app->dataSizeActions().size(), sizes.size());
    auto checkedIndex = [&] {
        std::size_t index = 0;
        while (index < sizes.size() && !app->dataSizeActions()[index]->isChecked())
            ++index;
        return index;
    };
    EXPECT_EQ(sizes.at(checkedIndex()), app->performanceTester()->dataSize());

    app->dataSizeActions()[1]->trigger();
    EXPECT_EQ(app->performanceTester()->dataSize(), sizes[1]);
    EXPECT_EQ(checkedIndex(), 1U);

    app->performanceTester()->setDataSize(sizes[2]);
    app->synchroniseDataSizeChecks();
    EXPECT_EQ(checkedIndex(), 2U);
}

TEST_F(TallowinAppTest, OpeningAWindowTwiceShowsOneWindow)
{
    auto app = makeApp();
    app->showMainWindow();
    for (const char* identifier : { AboutWindowScene::identifier, FeedbackWindowScene::identifier }) {
        auto* first = app->openWindow(identifier);
        bool about = std::string_view(identifier) == AboutWindowScene::identifier;
        EXPECT_EQ(first->size(), about ? QSize(420, 380) : QSize(520, 560));
        EXPECT_EQ(app->openWindow(identifier), first) << identifier;
        EXPECT_EQ(topLevelWidgetsNamed(identifier), 1) << identifier;
        EXPECT_EQ(app->openedWindow(identifier), first);

        // Closed, it is gone; the next open makes a new one.
        first->close();
        serveEvents();
        EXPECT_EQ(app->openedWindow(identifier), nullptr) << identifier;
        EXPECT_EQ(topLevelWidgetsNamed(identifier), 0) << identifier;
        EXPECT_NE(app->openWindow(identifier), nullptr);
        EXPECT_EQ(topLevelWidgetsNamed(identifier), 1) << identifier;
    }
    EXPECT_EQ(app->openWindow("no-such-window"), nullptr);

    // The menu commands open the same windows.
    app->aboutAction().trigger();
    app->feedbackAction().trigger();
    EXPECT_EQ(topLevelWidgetsNamed(AboutWindowScene::identifier), 1);
    EXPECT_EQ(topLevelWidgetsNamed(FeedbackWindowScene::identifier), 1);
}

TEST_F(TallowinAppTest, LaunchLineIsWrittenOnceWhenTheRootViewFirstShows)
{
    auto app = makeApp();
    EXPECT_TRUE(m_announced.empty()) << "nothing before the window shows";
    app->showMainWindow();
    app->mainWindow().hide();
    app->showMainWindow();
    EXPECT_EQ(m_announced, (std::vector<std::string> { "[Tallowin] App launched and root window created." }));
    EXPECT_EQ(app->mainWindow().centralWidget(), &app->rootView());
}

TEST(SecondaryWindowSizing, FollowsWhatTheContentAllows)
{
    const QSize unbounded(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    const QSizePolicy flexible(QSizePolicy::Preferred, QSizePolicy::Preferred);
    const QSizePolicy fixed(QSizePolicy::Fixed, QSizePolicy::Fixed);
    const std::tuple<const char*, QSize, ContentSizeFacts, WindowSizing> cases[] {
        { "flexible content opens at the default size", { 420, 380 },
            { { 300, 200 }, { 100, 80 }, unbounded, flexible }, { { 420, 380 }, { 100, 80 }, unbounded } },
        { "content larger than the default widens the window", { 420, 380 },
            { { 500, 500 }, { 480, 400 }, unbounded, flexible }, { { 480, 400 }, { 480, 400 }, unbounded } },
        { "a content maximum caps it", { 520, 560 }, { { 300, 300 }, { 0, 0 }, { 500, 600 }, flexible },
            { { 500, 560 }, { 0, 0 }, { 500, 600 } } },
        { "fixed content fixes the window at its size", { 420, 380 }, { { 430, 372 }, { 430, 372 }, unbounded, fixed },
            { { 430, 372 }, { 430, 372 }, { 430, 372 } } },
        { "fixed in one direction only", { 520, 560 },
            { { 500, 600 }, { 200, 100 }, unbounded, QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding) },
            { { 500, 560 }, { 500, 100 }, { 500, QWIDGETSIZE_MAX } } },
        { "no size hint at all", { 420, 380 }, { { -1, -1 }, { -1, -1 }, unbounded, fixed },
            { { 420, 380 }, { 0, 0 }, unbounded } },
    };
    for (const auto& [name, defaultSize, content, expected] : cases)
        EXPECT_TRUE(secondaryWindowSizing(defaultSize, content) == expected) << name;
}

// The content fills the window; one that cannot grow sits in the top-leading corner.
TEST(SingleWindow, ContentFillsTheWindowOrSitsTopLeading)
{
    for (bool fixedWidth : { false, true }) {
        QWidget owner;
        QWidget* made = nullptr;
        SingleWindow window({ "test-window", "Test", { 420, 380 }, [&](QWidget* parent) {
                                 made = new QWidget(parent);
                                 if (fixedWidth) {
                                     made->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding);
                                     made->setFixedWidth(200);
                                 }
                                 return made;
                             } },
            &owner);
        auto* opened = window.open();
        ASSERT_TRUE(made);
        EXPECT_EQ(opened->objectName(), QStringLiteral("test-window"));
        opened->resize(420, 380);
        serveEvents();
        EXPECT_EQ(made->geometry(), QRect(0, 0, fixedWidth ? 200 : 420, 380)) << fixedWidth;
    }
}

// A service manager that counts the calls made on the thread that created it (the GUI thread),
// and holds its answer back like an approval dialog that nobody has answered yet.
class ApprovalAwaitingServices final : public ServiceManager {
public:
    std::string definitionName() const override { return "com.tallowin.ProbeWarden.socket"; }
    std::optional<std::filesystem::path> locateDefinition() override { return "/x.socket"; }
    ServiceStatus status() override
    {
        note();
        return registered ? ServiceStatus::Enabled : ServiceStatus::NotRegistered;
    }
    std::filesystem::path helperExecutablePath() override { return "/x"; }
    bool helperExecutableExists() override { return true; }
    Expected<void, ServiceManagerError> registerService() override
    {
        note();
        release.wait();
        registered = true;
        return {};
    }
    Expected<void, ServiceManagerError> unregisterService() override { return {}; }
    void openApprovalSettings() override { }

    void note()
    {
        ++calls;
        onGuiThread += std::this_thread::get_id() == guiThread;
    }
    const std::thread::id guiThread = std::this_thread::get_id();
    std::promise<void> approval;
    std::shared_future<void> release { approval.get_future().share() };
    std::atomic<bool> registered { false };
    std::atomic<int> calls { 0 };
    std::atomic<int> onGuiThread { 0 };
};

// The registration may wait in the approval dialog for minutes: on its own queue, the GUI thread
// keeps serving events meanwhile, and nothing of the workflow runs on it.
TEST(HelperWorkflowQueue, RegistrationWaitsOffTheGuiThread)
{
    auto services = std::make_shared<ApprovalAwaitingServices>();
    auto workflow = std::make_shared<SerialQueueMainQueue>(SerialQueueMainQueue::helperWorkflowLabel);
    auto manager = PrivilegedHelperManager::create({ services, workflow, {} });

    auto answer = std::async(std::launch::async, [&] { return manager->ensureHelperInstalledIfNeeded(); });
    QtMainQueue gui;
    bool guiRan = false;
    gui.post([&] { guiRan = true; });
    QElapsedTimer elapsed;
    elapsed.start();
    while (!guiRan && elapsed.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(guiRan);
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);

    services->approval.set_value();
    EXPECT_TRUE(answer.get());
    EXPECT_GT(services->calls.load(), 0);
    EXPECT_EQ(services->onGuiThread.load(), 0);
}

}
}
