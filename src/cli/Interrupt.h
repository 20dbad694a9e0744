#pragma once

#include <functional>
#include <memory>

namespace tallowin::cli {

// Turns SIGINT and SIGTERM into a callback on an ordinary thread, where it may do anything
// (post to a queue, stop a test). Must be created before any other thread starts, because
// it blocks the signals for every thread created after it; only one may exist at a time.
class InterruptWatcher {
public:
    InterruptWatcher();
    ~InterruptWatcher();
    InterruptWatcher(const InterruptWatcher&) = delete;
    InterruptWatcher& operator=(const InterruptWatcher&) = delete;

    // Replaces the callback. Without one, the first signal ends the process with 130.
    void setHandler(std::function<void()>);
    bool wasInterrupted() const;

    static InterruptWatcher* current();

    struct State;

private:
    std::shared_ptr<State> m_state;
};

}
