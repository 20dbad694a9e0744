#include "app/MainThreadLoadMeter.h"

#include "core/Language.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QThread>
#include <QTimer>
#include <QWidget>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <fmt/format.h>

namespace tallowin {

std::string MainThreadLoadMeter::Report::text() const
{
    using std::chrono::duration_cast;
    using std::chrono::milliseconds;
    return fmt::format("main thread busy {} ms in the last {} ms, {} frames",
        duration_cast<milliseconds>(busy).count(), duration_cast<milliseconds>(window).count(), frames);
}

double MainThreadLoadMeter::Report::load() const
{
    if (window.count() <= 0)
        return 0;
    return static_cast<double>(busy.count()) / static_cast<double>(window.count());
}

MainThreadLoadMeter::MainThreadLoadMeter(Clock clock, std::chrono::nanoseconds window)
    : m_clock(std::move(clock))
    , m_window(window)
    , m_windowStart(m_clock())
{ }

void MainThreadLoadMeter::awake()
{
    if (!m_busySince)
        m_busySince = m_clock();
}

void MainThreadLoadMeter::aboutToBlock()
{
    if (!m_busySince)
        return;
    m_busy += m_clock() - *m_busySince;
    m_busySince.reset();
}

void MainThreadLoadMeter::frame()
{
    ++m_frames;
}

std::chrono::nanoseconds MainThreadLoadMeter::timeUntilDue() const
{
    auto remaining = m_windowStart + m_window - m_clock();
    return std::max(remaining, std::chrono::nanoseconds(0));
}

std::optional<MainThreadLoadMeter::Report> MainThreadLoadMeter::takeReportIfDue()
{
    auto now = m_clock();
    if (now - m_windowStart < m_window)
        return std::nullopt;
    auto busy = m_busy;
    if (m_busySince) {
        busy += now - *m_busySince;
        m_busySince = now;
    }
    Report report { busy, now - m_windowStart, m_frames };
    m_windowStart = now;
    m_busy = std::chrono::nanoseconds(0);
    m_frames = 0;
    return report;
}

// The Qt side: dispatcher signals, an application-wide filter that counts the top-level
// windows' update requests (one per frame painted), and a timer that asks for the report.
class MainThreadLoadProbe::Hooks final : public QObject {
public:
    Hooks(MainThreadLoadMeter::Clock clock, Sink sink)
        : m_meter(std::move(clock))
        , m_sink(std::move(sink))
    {
        auto* dispatcher = QAbstractEventDispatcher::instance(QThread::currentThread());
        if (dispatcher) {
            connect(dispatcher, &QAbstractEventDispatcher::awake, this, [this] { m_meter.awake(); });
            connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, [this] { m_meter.aboutToBlock(); });
        }
        if (auto* application = QCoreApplication::instance())
            application->installEventFilter(this);
        // One wake-up per window, armed for the moment the current window ends: a repeating
        // timer drifts against the meter's clock and would now and then skip a window.
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto report = m_meter.takeReportIfDue())
                m_sink(*report);
            armTimer();
        });
        armTimer();
    }

    ~Hooks() override
    {
        if (auto* application = QCoreApplication::instance())
            application->removeEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Work that the dispatcher runs right after its poll (timers, socket notifiers) comes
        // without an awake signal; every event delivered marks the thread as working again.
        m_meter.awake();
        // Qt delivers a widget window's repaint request to the top-level widget or to its
        // QWindow depending on the platform plugin; either marks one frame.
        if (event->type() == QEvent::UpdateRequest) {
            bool topLevelWidget = watched->isWidgetType() && static_cast<QWidget*>(watched)->isWindow();
            bool bareWindow = watched->isWindowType() && !m_sawWidgetRequests;
            if (topLevelWidget)
                m_sawWidgetRequests = true;
            if (topLevelWidget || bareWindow)
                m_meter.frame();
        }
        return false;
    }

private:
    void armTimer()
    {
        auto wait = std::chrono::ceil<std::chrono::milliseconds>(m_meter.timeUntilDue());
        m_timer.start(std::max(wait, std::chrono::milliseconds(1)));
    }

    MainThreadLoadMeter m_meter;
    bool m_sawWidgetRequests { false };
    Sink m_sink;
    QTimer m_timer;
};

MainThreadLoadProbe::MainThreadLoadProbe(MainThreadLoadMeter::Clock clock, Sink sink)
    : m_hooks(std::make_unique<Hooks>(std::move(clock), std::move(sink)))
{ }

MainThreadLoadProbe::~MainThreadLoadProbe() = default;

std::unique_ptr<MainThreadLoadProbe> MainThreadLoadProbe::fromEnvironment()
{
    if (processEnvironment("TALLOWIN_MAIN_THREAD_LOAD") != std::optional<std::string>("1"))
        return nullptr;
    auto elapsed = std::make_shared<QElapsedTimer>();
    elapsed->start();
    return std::make_unique<MainThreadLoadProbe>(
        [elapsed] { return std::chrono::nanoseconds(elapsed->nsecsElapsed()); },
        [](const MainThreadLoadMeter::Report& report) {
            auto line = report.text() + "\n";
            std::fputs(line.c_str(), stderr);
        });
}

}
