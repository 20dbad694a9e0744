#include "app/AppTexts.h"
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
#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

namespace tallowin {
namespace {

std::vector<std::string> texts(const std::vector<QAction*>& actions)
{
    std::vector<std::string> result;
    for (const auto* action : actions)
        result.push_back(action->text().toStdString());
    return result;
}

std::vector<std::string> menuTitles(const QMenuBar& bar)
{
    std::vector<std::string> result;
    for (const auto* action : bar.actions())
        result.push_back(action->text().toStdString());
    return result;
}

std::vector<std::string> menuEntries(const QMenuBar& bar, std::size_t index)
{
    std::vector<std::string> result;
    for (const auto* action : bar.actions().at(static_cast<qsizetype>(index))->menu()->actions()) {
        if (!action->isSeparator())
            result.push_back(action->text().toStdString());
    }
    return result;
}

int topLevelWidgetsNamed(const char* name)
{
    int count = 0;
    for (const auto* widget : QApplication::topLevelWidgets()) {
        if (widget->objectName() == QLatin1String(name) && widget->isVisible())
            ++count;
    }
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

    std::shared_ptr<QtMainQueue> m_queue = std::make_shared<QtMainQueue>();
    std::vector<std::string> m_announced;
};

struct LanguageCase {
    const char* language;
    std::vector<std::string> menus;
    std::vector<std::string> precisionEntries;
    std::vector<std::string> sizeEntriesHead;
    std::string aboutTitle;
    std::string feedbackTitle;
};

TEST_F(TallowinAppTest, MenusAndWindowTitlesFollowTheLanguageRule)
{
    const std::vector<LanguageCase> cases {
        { "en_GB", { "Tallowin", "Sampling Precision", "Test Sample Size", "Help" },
            { "Sampling Interval", "1 ms", "10 ms", "100 ms", "1000 ms" }, { "Payload" }, "About Tallowin",
            "Thanks for your feedback." },
        { "zh_CN", { "Tallowin", "采样精度", "测试样本大小", "帮助" },
            { "采样间隔", "1 毫秒", "10 毫秒", "100 毫秒", "1000 毫秒" }, { "数据量" }, "关于 Tallowin",
            "感谢您留下您的建议，多多益善～" },
        // Any other language is English.
        { "fr_FR", { "Tallowin", "Sampling Precision", "Test Sample Size", "Help" },
            { "Sampling Interval", "1 ms", "10 ms", "100 ms", "1000 ms" }, { "Payload" }, "About Tallowin",
            "Thanks for your feedback." },
    };
    for (const auto& testCase : cases) {
        testing::LanguageGuard language(testCase.language);
        auto app = makeApp();
        EXPECT_EQ(menuTitles(app->menuBar()), testCase.menus) << testCase.language;
        EXPECT_EQ(menuEntries(app->menuBar(), 1), testCase.precisionEntries) << testCase.language;
        EXPECT_EQ(menuEntries(app->menuBar(), 2).front(), testCase.sizeEntriesHead.front()) << testCase.language;
        auto* about = app->openWindow(AboutWindowScene::identifier);
        auto* feedback = app->openWindow(FeedbackWindowScene::identifier);
        ASSERT_TRUE(about && feedback);
        EXPECT_EQ(about->windowTitle().toStdString(), testCase.aboutTitle) << testCase.language;
        EXPECT_EQ(feedback->windowTitle().toStdString(), testCase.feedbackTitle) << testCase.language;
        EXPECT_EQ(app->aboutAction().text().toStdString(), testCase.aboutTitle) << testCase.language;
    }
}

TEST_F(TallowinAppTest, SampleSizeChoicesAreTheTestersListInOrder)
{
    struct SizeCase {
        const char* language;
        const char* fullDisk;
    };
    for (auto testCase : { SizeCase { "en_US", "Full Disk" }, SizeCase { "zh_TW", "全盘" } }) {
        testing::LanguageGuard language(testCase.language);
        auto app = makeApp();
        std::vector<std::string> expected;
        for (const auto& size : DiskPerformanceTester::DataSize::allCases()) {
            expected.push_back(size.kind == DiskPerformanceTester::DataSize::Kind::availableSpace
                    ? std::string(testCase.fullDisk)
                    : std::to_string(size.gigabyteCount) + " GB");
        }
        EXPECT_EQ(texts(app->dataSizeActions()), expected) << testCase.language;
    }
}

TEST_F(TallowinAppTest, PrecisionPickerIsBoundBothWaysToTheMonitor)
{
    auto app = makeApp();
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
    ASSERT_GE(sizes.size(), 3U);
    auto checkedIndex = [&] {
        int found = -1;
        for (std::size_t index = 0; index < app->dataSizeActions().size(); ++index) {
            if (app->dataSizeActions()[index]->isChecked())
                found = static_cast<int>(index);
        }
        return found;
    };
    EXPECT_EQ(sizes[static_cast<std::size_t>(checkedIndex())], app->performanceTester()->dataSize());

    app->dataSizeActions()[1]->trigger();
    EXPECT_EQ(app->performanceTester()->dataSize(), sizes[1]);
    EXPECT_EQ(checkedIndex(), 1);

    app->performanceTester()->setDataSize(sizes[2]);
    app->synchroniseDataSizeChecks();
    EXPECT_EQ(checkedIndex(), 2);
}

TEST_F(TallowinAppTest, OpeningAWindowTwiceShowsOneWindow)
{
    auto app = makeApp();
    app->showMainWindow();
    for (const char* identifier : { AboutWindowScene::identifier, FeedbackWindowScene::identifier }) {
        auto* first = app->openWindow(identifier);
        auto* second = app->openWindow(identifier);
        EXPECT_EQ(first, second) << identifier;
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

TEST_F(TallowinAppTest, SecondaryWindowsOpenAtTheirDefaultSizes)
{
    auto app = makeApp();
    app->showMainWindow();
    EXPECT_EQ(app->openWindow(AboutWindowScene::identifier)->size(), QSize(420, 380));
    EXPECT_EQ(app->openWindow(FeedbackWindowScene::identifier)->size(), QSize(520, 560));
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

TEST_F(TallowinAppTest, QuitHasTheDesktopsShortcut)
{
    auto app = makeApp();
    EXPECT_EQ(app->quitAction().shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
    EXPECT_EQ(app->quitAction().shortcutContext(), Qt::ApplicationShortcut) << "from every window";
}

struct SizingCase {
    const char* name;
    QSize defaultSize;
    ContentSizeFacts content;
    WindowSizing expected;
};

TEST(SecondaryWindowSizing, FollowsWhatTheContentAllows)
{
    const QSize unbounded(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    const QSizePolicy flexible(QSizePolicy::Preferred, QSizePolicy::Preferred);
    const QSizePolicy fixed(QSizePolicy::Fixed, QSizePolicy::Fixed);
    const std::vector<SizingCase> cases {
        { "flexible content opens at the default size", { 420, 380 }, { { 300, 200 }, { 100, 80 }, unbounded, flexible },
            { { 420, 380 }, { 100, 80 }, unbounded } },
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
    for (const auto& testCase : cases) {
        auto sizing = secondaryWindowSizing(testCase.defaultSize, testCase.content);
        EXPECT_EQ(sizing.initial, testCase.expected.initial) << testCase.name;
        EXPECT_EQ(sizing.minimum, testCase.expected.minimum) << testCase.name;
        EXPECT_EQ(sizing.maximum, testCase.expected.maximum) << testCase.name;
    }
}

// The content fills the window; one that cannot grow sits in the top-leading corner.
TEST(SingleWindow, ContentFillsTheWindowOrSitsTopLeading)
{
    struct ContentCase {
        const char* name;
        QSizePolicy policy;
        QRect expected; // in a 420 x 380 window
    };
    const std::vector<ContentCase> cases {
        { "flexible", QSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred), QRect(0, 0, 420, 380) },
        { "fixed width", QSizePolicy(QSizePolicy::Fixed, QSizePolicy::Expanding), QRect(0, 0, 200, 380) },
    };
    for (const auto& testCase : cases) {
        QWidget owner;
        QWidget* made = nullptr;
        SingleWindow window({ "test-window", "Test", { 420, 380 }, [&](QWidget* parent) {
                                 made = new QWidget(parent);
                                 made->setSizePolicy(testCase.policy);
                                 made->setFixedWidth(testCase.policy.horizontalPolicy() == QSizePolicy::Fixed ? 200 : 0);
                                 if (testCase.policy.horizontalPolicy() != QSizePolicy::Fixed) {
                                     made->setMinimumWidth(0);
                                     made->setMaximumWidth(QWIDGETSIZE_MAX);
                                 }
                                 return made;
                             } },
            &owner);
        auto* opened = window.open();
        ASSERT_TRUE(made) << testCase.name;
        opened->resize(420, 380);
        serveEvents();
        EXPECT_EQ(made->geometry(), testCase.expected) << testCase.name;
        EXPECT_EQ(opened->objectName(), QStringLiteral("test-window"));
    }
}

// A service manager that records the threads it is asked on, and can hold its answer back like
// an approval dialog that nobody has answered yet.
class RecordingServiceManager final : public ServiceManager {
public:
    std::string definitionName() const override { return "com.tallowin.ProbeWarden.socket"; }
    std::optional<std::filesystem::path> locateDefinition() override { return "/x.socket"; }
    ServiceStatus status() override
    {
        record();
        return m_registered ? ServiceStatus::Enabled : ServiceStatus::NotRegistered;
    }
    std::filesystem::path helperExecutablePath() override { return "/x"; }
    bool helperExecutableExists() override { return true; }
    Expected<void, ServiceManagerError> registerService() override
    {
        record();
        m_release.wait();
        m_registered = true;
        return {};
    }
    Expected<void, ServiceManagerError> unregisterService() override { return {}; }
    void openApprovalSettings() override { }

    void release() { m_gate.set_value(); }
    std::vector<std::thread::id> threads()
    {
        std::lock_guard lock(m_mutex);
        return m_threads;
    }

private:
    void record()
    {
        std::lock_guard lock(m_mutex);
        m_threads.push_back(std::this_thread::get_id());
    }

    std::mutex m_mutex;
    std::vector<std::thread::id> m_threads;
    std::promise<void> m_gate;
    std::shared_future<void> m_release { m_gate.get_future().share() };
    std::atomic<bool> m_registered { false };
};

// The registration may wait in the approval dialog for minutes: on its own queue, the GUI thread
// keeps serving events meanwhile, and nothing of the workflow runs on it.
TEST(HelperWorkflowQueue, RegistrationWaitsOffTheGuiThread)
{
    auto services = std::make_shared<RecordingServiceManager>();
    auto workflow = std::make_shared<SerialQueueMainQueue>(SerialQueueMainQueue::helperWorkflowLabel);
    EXPECT_EQ(workflow->label(), "com.tallowin.PrivilegedHelperManager.workflow");
    auto manager = PrivilegedHelperManager::create({ services, workflow, {} });

    auto answer = std::async(std::launch::async, [&] { return manager->ensureHelperInstalledIfNeeded(); });
    // The GUI thread is free while the dialog is up.
    QtMainQueue gui;
    bool guiRan = false;
    gui.post([&] { guiRan = true; });
    QElapsedTimer elapsed;
    elapsed.start();
    while (!guiRan && elapsed.elapsed() < 5000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_TRUE(guiRan);
    EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);

    services->release();
    EXPECT_TRUE(answer.get());
    auto threads = services->threads();
    ASSERT_FALSE(threads.empty());
    for (auto thread : threads)
        EXPECT_NE(thread, std::this_thread::get_id());
}

}
}
