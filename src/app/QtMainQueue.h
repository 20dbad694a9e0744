#pragma once

#include "core/MainQueue.h"

#include <QObject>

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace tallowin {

// The core's main queue on Qt's event loop. Work posted from any thread is appended to one list
// and runs, in posting order, on the thread the queue was created on (the GUI thread). A burst of
// posts costs one Qt event, not one per item.
//
// Once the queue is closed, explicitly or because the object its receiver belongs to was
// destroyed (by default the application object), posted work is dropped: it never runs against
// objects that are already gone.
class QtMainQueue final : public MainQueue {
public:
    // Create on the thread that runs the Qt event loop. The receiver becomes a child of `owner`
    // (the application object unless a test brings its own) and dies with it.
    explicit QtMainQueue(QObject* owner = nullptr);
    ~QtMainQueue() override;
    QtMainQueue(const QtMainQueue&) = delete;
    QtMainQueue& operator=(const QtMainQueue&) = delete;

    void post(std::function<void()>) override;
    bool isMainThread() const override;

    // Drops what is pending and everything posted from now on.
    void close();
    bool isClosed() const;
    std::size_t pendingCount() const;

    // At most this many items run per Qt event, so that a flood of posts cannot hold off
    // painting and input; the rest follow in the next event.
    static constexpr std::size_t maximumItemsPerEvent = 256;

    struct State;
    class Receiver;

private:
    std::shared_ptr<State> m_state;
    std::thread::id m_thread;
};

}
