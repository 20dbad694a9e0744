#include "app/QtMainQueue.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

namespace tallowin {

namespace {

const QEvent::Type drainEventType = static_cast<QEvent::Type>(QEvent::registerEventType());

}

// Shared by the queue and its receiver, so that whichever of the two goes first leaves the
// other a consistent picture. `receiver` is an observer: Qt's parent owns the receiver, and
// the receiver clears this pointer, under the mutex, before it is destroyed.
struct QtMainQueue::State {
    std::mutex mutex;
    std::deque<std::function<void()>> work;
    Receiver* receiver { nullptr };
    // Whether a drain event is on its way; a post only sends one when none is.
    bool drainPosted { false };
    bool closed { false };
};

class QtMainQueue::Receiver final : public QObject {
public:
    Receiver(std::shared_ptr<State> state, QObject* owner)
        : QObject(owner)
        , m_state(std::move(state))
    {
        setObjectName(QStringLiteral("com.tallowin.mainQueue"));
    }

    ~Receiver() override
    {
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard lock(m_state->mutex);
            m_state->receiver = nullptr;
            m_state->closed = true;
            dropped.swap(m_state->work);
        }
    }

    // Caller holds the state's mutex.
    void requestDrainLocked()
    {
        if (m_state->drainPosted)
            return;
        m_state->drainPosted = true;
        QCoreApplication::postEvent(this, new QEvent(drainEventType));
    }

protected:
    bool event(QEvent* event) override
    {
        if (event->type() != drainEventType)
            return QObject::event(event);
        drain();
        return true;
    }

private:
    void drain()
    {
        {
            std::lock_guard lock(m_state->mutex);
            m_state->drainPosted = false;
        }
        for (std::size_t ran = 0;; ++ran) {
            std::function<void()> next;
            {
                std::lock_guard lock(m_state->mutex);
                if (m_state->work.empty() || m_state->closed)
                    return;
                if (ran == maximumItemsPerEvent) {
                    requestDrainLocked();
                    return;
                }
                next = std::move(m_state->work.front());
                m_state->work.pop_front();
                // Work that opens a nested event loop (a modal dialog) must not stall the rest:
                // with an event pending, the nested loop carries on with the queue in order.
                if (!m_state->work.empty())
                    requestDrainLocked();
            }
            next();
        }
    }

    std::shared_ptr<State> m_state;
};

QtMainQueue::QtMainQueue(QObject* owner)
    : m_state(std::make_shared<State>())
    , m_thread(std::this_thread::get_id())
{
    if (!owner)
        owner = QCoreApplication::instance();
    if (!owner)
        qFatal("QtMainQueue needs a QCoreApplication or an owner object");
    if (owner->thread() != QThread::currentThread())
        qFatal("QtMainQueue must be created on the thread of its owner");
    // Qt's parent owns the receiver; the state keeps an observing pointer to it.
    m_state->receiver = new Receiver(m_state, owner);
}

QtMainQueue::~QtMainQueue()
{
    close();
}

void QtMainQueue::post(std::function<void()> work)
{
    std::lock_guard lock(m_state->mutex);
    if (m_state->closed || !m_state->receiver)
        return;
    m_state->work.push_back(std::move(work));
    m_state->receiver->requestDrainLocked();
}

bool QtMainQueue::isMainThread() const
{
    return std::this_thread::get_id() == m_thread;
}

void QtMainQueue::close()
{
    std::deque<std::function<void()>> dropped;
    std::lock_guard lock(m_state->mutex);
    m_state->closed = true;
    dropped.swap(m_state->work);
    // The dropped work is destroyed after the lock is released (declared first), since what it
    // captures may post again from its destructor.
}

bool QtMainQueue::isClosed() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->closed;
}

std::size_t QtMainQueue::pendingCount() const
{
    std::lock_guard lock(m_state->mutex);
    return m_state->work.size();
}

}
