#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class QObject;

namespace tallowin {

// How busy the GUI thread is: the time between waking up and going back to sleep in the event
// loop, summed over windows of one second, and how many frames the windows painted meanwhile.
// Sleeping begins when the dispatcher announces it is about to block; waking is its awake signal
// or the first event delivered after the poll, whichever comes first (Qt's dispatchers run
// timers and socket notifiers after the poll without announcing it).
// The meter itself is plain bookkeeping over an injected clock; MainThreadLoadProbe feeds it
// from Qt's event dispatcher.
class MainThreadLoadMeter {
public:
    using Clock = std::function<std::chrono::nanoseconds()>;

    struct Report {
        std::chrono::nanoseconds busy { 0 };
        std::chrono::nanoseconds window { 0 };
        std::uint64_t frames { 0 };
        // "main thread busy N ms in the last 1000 ms, M frames"
        std::string text() const;
        // Busy time as a share of one core, 0…1.
        double load() const;
        friend bool operator==(const Report&, const Report&) = default;
    };

    static constexpr std::chrono::nanoseconds defaultWindow = std::chrono::seconds(1);

    explicit MainThreadLoadMeter(Clock, std::chrono::nanoseconds window = defaultWindow);

    // The event loop woke up (work begins) and is about to sleep again (work ends). Repeated
    // calls of either, as nested event loops produce, count the time once.
    void awake();
    void aboutToBlock();
    void frame();

    // The finished window's figures once a whole window has passed since the last report; the
    // next window starts then. The busy span still open is split at that moment.
    std::optional<Report> takeReportIfDue();
    // How long until the current window is over (zero when it is).
    std::chrono::nanoseconds timeUntilDue() const;

private:
    Clock m_clock;
    std::chrono::nanoseconds m_window;
    std::chrono::nanoseconds m_windowStart;
    std::optional<std::chrono::nanoseconds> m_busySince;
    std::chrono::nanoseconds m_busy { 0 };
    std::uint64_t m_frames { 0 };
};

// Hooks a meter to the GUI thread's event dispatcher and to the frames of every top-level
// window, and hands a report to `sink` once a second. Lives on the GUI thread; destroying it
// unhooks everything.
class MainThreadLoadProbe {
public:
    using Sink = std::function<void(const MainThreadLoadMeter::Report&)>;

    // Writes the reports to standard error when TALLOWIN_MAIN_THREAD_LOAD=1; nothing otherwise.
    static std::unique_ptr<MainThreadLoadProbe> fromEnvironment();

    MainThreadLoadProbe(MainThreadLoadMeter::Clock, Sink);
    ~MainThreadLoadProbe();
    MainThreadLoadProbe(const MainThreadLoadProbe&) = delete;
    MainThreadLoadProbe& operator=(const MainThreadLoadProbe&) = delete;

private:
    class Hooks;
    std::unique_ptr<Hooks> m_hooks;
};

}
