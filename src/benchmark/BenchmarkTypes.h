#pragma once

#include "core/Records.h"
#include "core/Uuid.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tallowin {

// The phases of a performance test, in the order they run.
enum class BenchmarkPhase {
    randomWrite,
    randomRead,
    sequentialWrite,
    sequentialRead,
};

std::string_view rawValue(BenchmarkPhase);
// The phase's name in the user's language ("Random Write Phase" / "随机写入阶段" …).
std::string displayName(BenchmarkPhase);
std::optional<BenchmarkPhase> benchmarkPhaseFromRawValue(std::string_view);

// What the user sees of a running test.
struct ProgressState {
    BenchmarkPhase phase { BenchmarkPhase::randomWrite };
    double fractionCompleted { 0 };
    double elapsedTime { 0 };
    std::optional<double> estimatedRemainingTime;
    friend bool operator==(const ProgressState&, const ProgressState&) = default;
};

// One point of the sequential phases' throughput curve.
struct TimelineSample {
    enum class Phase {
        sequentialWrite,
        sequentialRead,
    };
    Uuid id;
    Phase phase { Phase::sequentialWrite };
    double timestamp { 0 }; // seconds since the test started
    std::uint64_t bytesTransferred { 0 };
    double throughput { 0 }; // bytes per second
    friend bool operator==(const TimelineSample&, const TimelineSample&) = default;
};

std::string_view rawValue(TimelineSample::Phase);

}
