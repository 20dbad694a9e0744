#pragma once

#include <cstdint>
#include <string>

namespace tallowin {

// Why a volume cannot be monitored. Shared by the statistics provider, the monitor and the
// volume resolver; the monitor publishes the description as its error message.
struct MonitorError {
    enum class Kind {
        ioKitMatchingFailed, // the device registry refused the lookup; carries its status code
        invalidSelection,
        bsdNameResolutionFailed,
        statisticsUnavailable,
        monitorStopped,
    };

    Kind kind;
    std::int32_t code { 0 }; // only meaningful for ioKitMatchingFailed

    static MonitorError matchingFailed(std::int32_t status) { return { Kind::ioKitMatchingFailed, status }; }

    // The text in the language chosen by the language rule.
    std::string localizedDescription() const;

    friend bool operator==(const MonitorError&, const MonitorError&) = default;
};

}
