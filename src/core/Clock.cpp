#include "core/Clock.h"

namespace tallowin {

namespace {

class SystemClock final : public Clock {
public:
    WallClockTime wallNow() const override { return wallClockNow(); }
    MonotonicTime monotonicNow() const override { return std::chrono::steady_clock::now(); }
};

}

std::shared_ptr<const Clock> systemClock()
{
    static const auto clock = std::make_shared<const SystemClock>();
    return clock;
}

}
