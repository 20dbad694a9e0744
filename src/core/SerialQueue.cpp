#include "core/SerialQueue.h"

#include <asio/post.hpp>
#include <future>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace tallowin {

namespace {

int niceValue(QualityOfService qualityOfService)
{
    switch (qualityOfService) {
    case QualityOfService::UserInteractive:
    case QualityOfService::UserInitiated:
        return 0;
    case QualityOfService::Utility:
        return 4;
    case QualityOfService::Background:
        return 10;
    }
    return 0;
}

// Thread names are limited to 15 bytes; the end of a reverse-DNS label is the telling part.
std::string threadName(const std::string& label)
{
    return label.size() <= 15 ? label : label.substr(label.size() - 15);
}

}

SerialQueue::SerialQueue(std::string label, QualityOfService qualityOfService)
    : m_loop(std::make_shared<Loop>(std::move(label), qualityOfService))
{
    m_thread = std::thread([loop = m_loop] {
        pthread_setname_np(pthread_self(), threadName(loop->label).c_str());
        if (int nice = niceValue(loop->qualityOfService))
            setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), nice);
        loop->context.run();
    });
}

SerialQueue::~SerialQueue()
{
    m_loop->workGuard.reset();
    m_loop->context.stop();
    if (!m_thread.joinable())
        return;
    // The last owner may let go from inside the queue's own work; the thread then finishes that
    // work on its own and releases the loop it shares.
    if (isCurrent())
        m_thread.detach();
    else
        m_thread.join();
}

void SerialQueue::post(std::function<void()> work)
{
    // The work may drop the queue's last owner on the queue's thread while this thread is still
    // inside asio::post (it signals the loop after queueing); holding the loop until the post
    // returns keeps the event loop alive for that signal.
    auto loop = m_loop;
    asio::post(loop->context, std::move(work));
}

void SerialQueue::sync(const std::function<void()>& work)
{
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(m_loop->context, [&] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

void SerialQueue::setTimerSlack(std::chrono::nanoseconds slack)
{
    auto nanoseconds = static_cast<unsigned long>(slack.count() > 0 ? slack.count() : 1);
    post([nanoseconds] { prctl(PR_SET_TIMERSLACK, nanoseconds, 0, 0, 0); });
}

}
