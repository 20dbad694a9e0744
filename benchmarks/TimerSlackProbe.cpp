// Does the thread's timer slack (PR_SET_TIMERSLACK) delay a timer's wake-up on this kernel?
// Measures how late a wake-up comes after its deadline for the two ways a thread can wait for
// a deadline: a timerfd watched by epoll (what asio's timers use on Linux) and
// clock_nanosleep, each with the default slack and with a large one.
//
//   tallowin_timer_slack_probe [WAITS]     (default 200 waits of 10 ms for each case)

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/epoll.h>
#include <sys/prctl.h>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr long period = 10'000'000; // ns

long nowNanoseconds()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1'000'000'000L + now.tv_nsec;
}

timespec fromNanoseconds(long value)
{
    return { value / 1'000'000'000L, value % 1'000'000'000L };
}

// Lateness of each wake-up in nanoseconds.
std::vector<long> timerfdLateness(int waits)
{
    std::vector<long> lateness;
    int timer = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    int poller = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event {};
    event.events = EPOLLIN;
    epoll_ctl(poller, EPOLL_CTL_ADD, timer, &event);
    long deadline = nowNanoseconds();
    for (int i = 0; i < waits; ++i) {
        deadline += period;
        itimerspec setting {};
        setting.it_value = fromNanoseconds(deadline);
        timerfd_settime(timer, TFD_TIMER_ABSTIME, &setting, nullptr);
        epoll_event ready {};
        epoll_wait(poller, &ready, 1, -1);
        lateness.push_back(nowNanoseconds() - deadline);
        unsigned long long expirations = 0;
        if (::read(timer, &expirations, sizeof expirations) < 0)
            break;
    }
    ::close(poller);
    ::close(timer);
    return lateness;
}

std::vector<long> nanosleepLateness(int waits)
{
    std::vector<long> lateness;
    long deadline = nowNanoseconds();
    for (int i = 0; i < waits; ++i) {
        deadline += period;
        auto when = fromNanoseconds(deadline);
        clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &when, nullptr);
        lateness.push_back(nowNanoseconds() - deadline);
    }
    return lateness;
}

void report(const char* what, unsigned long slack, std::vector<long> lateness)
{
    std::sort(lateness.begin(), lateness.end());
    auto at = [&](double fraction) {
        return static_cast<double>(
                   lateness[static_cast<std::size_t>(fraction * static_cast<double>(lateness.size() - 1))])
            / 1000.0;
    };
    // On a busy machine the upper percentiles are other threads' turns; the lower ones show
    // the slack, which delays every wake-up.
    std::printf(
        "{\"wait\": \"%s\", \"slackMicroseconds\": %.0f, \"minLateMicroseconds\": %.1f, "
        "\"p10LateMicroseconds\": %.1f, \"medianLateMicroseconds\": %.1f, \"p90LateMicroseconds\": %.1f}\n",
        what, static_cast<double>(slack) / 1000.0, at(0.0), at(0.1), at(0.5), at(0.9));
}

}

int main(int argc, char** argv)
{
    int waits = argc > 1 ? std::atoi(argv[1]) : 200;
    for (unsigned long slack : { 50'000UL, 4'000'000UL }) {
        prctl(PR_SET_TIMERSLACK, slack, 0, 0, 0);
        report("timerfd+epoll", slack, timerfdLateness(waits));
        report("clock_nanosleep", slack, nanosleepLateness(waits));
    }
    return 0;
}
