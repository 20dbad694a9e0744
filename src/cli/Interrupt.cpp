#include "cli/Interrupt.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace tallowin::cli {

struct InterruptWatcher::State {
    std::mutex mutex;
    std::function<void()> handler;
    std::atomic<bool> interrupted { false };
    std::atomic<bool> stopping { false };
    std::thread thread;
    sigset_t signals {};
};

namespace {
std::atomic<InterruptWatcher*> currentWatcher { nullptr };
}

InterruptWatcher::InterruptWatcher()
    : m_state(std::make_shared<State>())
{
    sigemptyset(&m_state->signals);
    sigaddset(&m_state->signals, SIGINT);
    sigaddset(&m_state->signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_state->signals, nullptr);
    m_state->thread = std::thread([state = m_state] {
        for (;;) {
            int signal = 0;
            if (sigwait(&state->signals, &signal) != 0)
                continue;
            if (state->stopping)
                return;
            state->interrupted = true;
            std::function<void()> handler;
            {
                std::lock_guard lock(state->mutex);
                handler = state->handler;
            }
            if (handler)
                handler();
            else
                std::_Exit(130);
        }
    });
    currentWatcher = this;
}

InterruptWatcher::~InterruptWatcher()
{
    currentWatcher = nullptr;
    m_state->stopping = true;
    pthread_kill(m_state->thread.native_handle(), SIGTERM);
    m_state->thread.join();
    pthread_sigmask(SIG_UNBLOCK, &m_state->signals, nullptr);
}

void InterruptWatcher::setHandler(std::function<void()> handler)
{
    std::lock_guard lock(m_state->mutex);
    m_state->handler = std::move(handler);
}

bool InterruptWatcher::wasInterrupted() const
{
    return m_state->interrupted;
}

InterruptWatcher* InterruptWatcher::current()
{
    return currentWatcher;
}

}
