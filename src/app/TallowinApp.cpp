#include "app/TallowinApp.h"

#include "app/AppTexts.h"
#include "app/MainThreadLoadMeter.h"
#include "app/SerialQueueMainQueue.h"
#include "dashboard/DashboardRootView.h"
#include "platform/SysfsRegistry.h"
#include "smart/PrivilegedHelperManager.h"
#include "smart/SMARTInfoProvider.h"
#include "volumes/SystemVolume.h"

#include <QAction>
#include <QActionGroup>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QGuiApplication>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>

#include <cstdio>
#include <unistd.h>

namespace tallowin {

namespace {

QString qt(const std::string& text)
{
    return QString::fromStdString(text);
}

// Calls back once, the first time the watched widget is shown.
class FirstShowWatcher final : public QObject {
public:
    FirstShowWatcher(QWidget* watched, std::function<void()> callback)
        : QObject(watched)
        , m_callback(std::move(callback))
    {
        watched->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Show && m_callback) {
            auto callback = std::move(m_callback);
            m_callback = nullptr;
            watched->removeEventFilter(this);
            callback();
        }
        return false;
    }

private:
    std::function<void()> m_callback;
};

QSize initialMainWindowSize(QSize preferred)
{
    const QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return preferred;
    // Leave room for panels and docks on small screens.
    auto available = screen->availableGeometry().size() * 9 / 10;
    return preferred.boundedTo(available).expandedTo({ 640, 480 });
}

}

AboutWindowScene TallowinApp::aboutScene(WindowContentBuilder builder)
{
    return { std::move(builder), AppTexts::aboutWindowTitle() };
}

FeedbackWindowScene TallowinApp::feedbackScene(WindowContentBuilder builder)
{
    return { std::move(builder), AppTexts::feedbackWindowTitle() };
}

std::unique_ptr<TallowinApp> TallowinApp::createForThisMachine(
    std::shared_ptr<MainQueue> mainQueue, AboutWindowScene about, FeedbackWindowScene feedback)
{
    // The helper's registration may sit in pkexec's dialog for minutes and asks the service
    // manager on every check: it runs on a queue of its own, never on the GUI thread. The
    // approval notification is posted from that queue; the dashboard hands it to the GUI thread.
    PrivilegedHelperManager::setSharedMainQueue(
        std::make_shared<SerialQueueMainQueue>(SerialQueueMainQueue::helperWorkflowLabel));
    auto environment = PrivilegedHelperManager::RuntimeEnvironment::detect(
        processEnvironment, [](const std::filesystem::path& path) { return ::access(path.c_str(), F_OK) == 0; });
    std::function<void()> ensureHelperInstalled;
    if (environment.allowsPrivilegedOperations)
        ensureHelperInstalled = [] { PrivilegedHelperManager::shared()->ensureHelperInstalledIfNeeded(); };

    // The resolver runs on the GUI thread and the sampling on the monitor's queue: each gets a
    // registry of its own, so neither waits for the other's cache.
    auto resolverRegistry = std::make_shared<SysfsRegistry>();
    DiskIOMonitor::VolumeSelectionServices services;
    services.resolveVolume = [resolverRegistry](const std::string& location) {
        return resolveVolume(location, *resolverRegistry);
    };
    services.fetchSMARTInfo
        = [](const std::string& bsdName) { return SMARTInfoProvider::fetchSMARTInfo(bsdName); };

    Dependencies dependencies;
    dependencies.monitor
        = DiskIOMonitor::create(std::make_shared<SysfsRegistry>(), mainQueue, std::move(services));
    dependencies.performanceTester = DiskPerformanceTester::create(mainQueue);
    dependencies.mainQueue = std::move(mainQueue);
    dependencies.ensureHelperInstalled = std::move(ensureHelperInstalled);
    dependencies.aboutScene = std::move(about);
    dependencies.feedbackScene = std::move(feedback);
    dependencies.announce = [](const char* line) {
        std::fputs(line, stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    };
    auto app = std::make_unique<TallowinApp>(std::move(dependencies));
    app->m_loadProbe = MainThreadLoadProbe::fromEnvironment();
    return app;
}

TallowinApp::TallowinApp(Dependencies dependencies)
    : m_monitor(std::move(dependencies.monitor))
    , m_performanceTester(std::move(dependencies.performanceTester))
    , m_mainQueue(std::move(dependencies.mainQueue))
    , m_announce(std::move(dependencies.announce))
    , m_mainWindow(std::make_unique<QMainWindow>())
{
    if (!m_monitor || !m_performanceTester || !m_mainQueue)
        qFatal("TallowinApp needs a monitor, a performance tester and a main queue");

    m_mainWindow->setObjectName(QStringLiteral("tallowin-main-window"));
    m_mainWindow->setWindowTitle(qt(AppTexts::mainWindowTitle()));
    DashboardRootView::Dependencies rootDependencies;
    rootDependencies.monitor = m_monitor;
    rootDependencies.performanceTester = m_performanceTester;
    rootDependencies.mainQueue = m_mainQueue;
    rootDependencies.ensureHelperInstalled = std::move(dependencies.ensureHelperInstalled);
    m_rootView = new DashboardRootView(std::move(rootDependencies), m_mainWindow.get());
    m_mainWindow->setCentralWidget(m_rootView);
    new FirstShowWatcher(m_rootView, [this] {
        m_announced = true;
        if (m_announce)
            m_announce(launchAnnouncement);
    });

    m_aboutWindow = std::make_unique<SingleWindow>(
        SingleWindow::Scene { AboutWindowScene::identifier, dependencies.aboutScene.windowTitle,
            AboutWindowScene::defaultSize, std::move(dependencies.aboutScene.contentBuilder) },
        m_mainWindow.get());
    m_feedbackWindow = std::make_unique<SingleWindow>(
        SingleWindow::Scene { FeedbackWindowScene::identifier, dependencies.feedbackScene.windowTitle,
            FeedbackWindowScene::defaultSize, std::move(dependencies.feedbackScene.contentBuilder) },
        m_mainWindow.get());

    buildMenus();
    m_precisionObserver = m_monitor->addObserver([this](DiskIOMonitor::Property property) {
        if (property == DiskIOMonitor::Property::samplingPrecision)
            synchronisePrecisionChecks();
    });
}

TallowinApp::~TallowinApp()
{
    if (m_precisionObserver)
        m_monitor->removeObserver(*m_precisionObserver);
    m_loadProbe.reset();
    // The secondary windows are children of the main window and go with it.
    m_mainWindow.reset();
}

QMenuBar& TallowinApp::menuBar() const
{
    return *m_mainWindow->menuBar();
}

void TallowinApp::buildMenus()
{
    auto* bar = m_mainWindow->menuBar();

    auto* application = bar->addMenu(qt(AppTexts::applicationMenuTitle()));
    m_aboutAction = application->addAction(qt(AppTexts::aboutCommand()));
    m_aboutAction->setMenuRole(QAction::AboutRole);
    connect(m_aboutAction, &QAction::triggered, this, [this] { openWindow(AboutWindowScene::identifier); });
    application->addSeparator();
    m_quitAction = application->addAction(qt(AppTexts::quitCommand()));
    // Every Linux desktop quits with Ctrl+Q; Qt's platform themes do not all bind QKeySequence::Quit.
    m_quitAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    // Quits from the About and Feedback windows too, not only from the main window.
    m_quitAction->setShortcutContext(Qt::ApplicationShortcut);
    m_quitAction->setMenuRole(QAction::QuitRole);
    connect(m_quitAction, &QAction::triggered, this, [] { QCoreApplication::quit(); });

    // The pickers: a disabled entry names the choice, the radio entries below it are the cases.
    auto* precision = bar->addMenu(qt(AppTexts::samplingPrecisionMenuTitle()));
    precision->setObjectName(QStringLiteral("sampling-precision-menu"));
    precision->addAction(qt(AppTexts::samplingIntervalPickerLabel()))->setEnabled(false);
    m_precisionGroup = new QActionGroup(precision);
    m_precisionGroup->setExclusive(true);
    for (auto value : DiskIOMonitor::SamplingPrecision::allCases()) {
        auto* action = precision->addAction(qt(AppTexts::samplingPrecisionLabel(value)));
        action->setCheckable(true);
        action->setData(value.rawValue());
        m_precisionGroup->addAction(action);
        m_precisionActions.push_back(action);
        connect(action, &QAction::triggered, this, [this, value] {
            if (m_monitor->samplingPrecision() != value)
                m_monitor->updateSamplingPrecision(value);
            synchronisePrecisionChecks();
        });
    }
    synchronisePrecisionChecks();

    auto* sampleSize = bar->addMenu(qt(AppTexts::testSampleSizeMenuTitle()));
    sampleSize->setObjectName(QStringLiteral("test-sample-size-menu"));
    sampleSize->addAction(qt(AppTexts::payloadPickerLabel()))->setEnabled(false);
    m_dataSizeGroup = new QActionGroup(sampleSize);
    m_dataSizeGroup->setExclusive(true);
    m_dataSizes = DiskPerformanceTester::DataSize::allCases();
    for (std::size_t index = 0; index < m_dataSizes.size(); ++index) {
        auto* action = sampleSize->addAction(qt(AppTexts::dataSizeLabel(m_dataSizes[index])));
        action->setCheckable(true);
        action->setData(QString::fromStdString(m_dataSizes[index].id()));
        m_dataSizeGroup->addAction(action);
        m_dataSizeActions.push_back(action);
        connect(action, &QAction::triggered, this, [this, index] {
            m_performanceTester->setDataSize(m_dataSizes[index]);
            synchroniseDataSizeChecks();
        });
    }
    connect(sampleSize, &QMenu::aboutToShow, this, [this] { synchroniseDataSizeChecks(); });
    synchroniseDataSizeChecks();

    auto* help = bar->addMenu(qt(AppTexts::helpMenuTitle()));
    m_feedbackAction = help->addAction(qt(AppTexts::feedbackCommand()));
    connect(m_feedbackAction, &QAction::triggered, this, [this] { openWindow(FeedbackWindowScene::identifier); });

    // Shortcuts of the menu bar work while the main window is active.
    m_mainWindow->addAction(m_quitAction);
}

void TallowinApp::synchronisePrecisionChecks()
{
    auto current = m_monitor->samplingPrecision().rawValue();
    for (auto* action : m_precisionActions)
        action->setChecked(action->data().toInt() == current);
}

void TallowinApp::synchroniseDataSizeChecks()
{
    const auto& current = m_performanceTester->dataSize();
    for (std::size_t index = 0; index < m_dataSizes.size(); ++index)
        m_dataSizeActions[index]->setChecked(m_dataSizes[index] == current);
}

void TallowinApp::showMainWindow()
{
    if (!m_mainWindow->isVisible())
        m_mainWindow->resize(initialMainWindowSize(m_mainWindow->sizeHint().expandedTo({ 1180, 820 })));
    m_mainWindow->show();
    m_mainWindow->raise();
    m_mainWindow->activateWindow();
}

QWidget* TallowinApp::openWindow(std::string_view identifier)
{
    if (identifier == AboutWindowScene::identifier)
        return m_aboutWindow->open();
    if (identifier == FeedbackWindowScene::identifier)
        return m_feedbackWindow->open();
    return nullptr;
}

QWidget* TallowinApp::openedWindow(std::string_view identifier) const
{
    if (identifier == AboutWindowScene::identifier)
        return m_aboutWindow->window();
    if (identifier == FeedbackWindowScene::identifier)
        return m_feedbackWindow->window();
    return nullptr;
}

bool TallowinApp::settleBeforeExit(std::chrono::milliseconds limit)
{
    if (m_performanceTester->isRunning())
        m_performanceTester->stopTest();
    QElapsedTimer elapsed;
    elapsed.start();
    auto settled = [this] { return !m_performanceTester->isRunning() && !m_performanceTester->hasBackgroundWork(); };
    while (!settled()) {
        if (elapsed.elapsed() >= limit.count())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (!settled())
            ::usleep(10000);
    }
    return true;
}

}
