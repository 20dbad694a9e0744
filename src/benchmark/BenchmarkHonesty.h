#pragma once

#include "benchmark/BenchmarkTypes.h"
#include "core/Records.h"
#include "volumes/LinkHealth.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tallowin {

// Something about a phase's figure that the user must not take at face value. `kind` is
// "cache" (the device moved less than the phase counted: a cache answered) or "link-ceiling"
// (faster than the link can carry); `message` is in the user's language.
struct BenchmarkWarning {
    std::string kind;
    std::string message;
    friend bool operator==(const BenchmarkWarning&, const BenchmarkWarning&) = default;
};

// What one phase counted, and what the device's own counters say it moved meanwhile.
struct PhaseHonesty {
    BenchmarkPhase phase { BenchmarkPhase::randomWrite };
    // Bytes the phase asked the file system to move (operations × block size, or the payload).
    std::uint64_t countedBytes { 0 };
    // The phase's figure in bytes per second (IOPS × block size for the random phases).
    double throughput { 0 };
    // The device's counter differences over the phase; nothing when they could not be read.
    std::optional<StatisticsSnapshot> deviceTraffic;
    std::vector<BenchmarkWarning> warnings;
    friend bool operator==(const PhaseHonesty&, const PhaseHonesty&) = default;
};

// The honesty figures of one test: the four phases in their order (empty when the test did not
// get that far), and the link ceiling they were checked against.
struct BenchmarkHonesty {
    std::vector<PhaseHonesty> phases;
    std::optional<LinkCeiling> linkCeiling;
    friend bool operator==(const BenchmarkHonesty&, const BenchmarkHonesty&) = default;
};

// A phase whose device moved less than this share of the counted bytes was served by a cache.
// Writes may be merged or amplified by the file system, so only a shortfall counts.
inline constexpr double deviceShareBelowWhichCached = 0.9;

// The warnings of one phase: "cache" when the device's traffic in the phase's direction is below
// 90 % of the counted bytes, "link-ceiling" when the throughput exceeds the ceiling.
std::vector<BenchmarkWarning> phaseWarnings(BenchmarkPhase, std::uint64_t countedBytes, double throughput,
    const std::optional<StatisticsSnapshot>& deviceTraffic, const std::optional<LinkCeiling>&);

// The difference of two counter readings, modulo 2^64 like the counters.
StatisticsSnapshot trafficBetween(const StatisticsSnapshot& start, const StatisticsSnapshot& end);

// What a test can watch of the device it runs on: its counters (read at each phase's start and
// end) and its link ceiling.
struct DeviceObservation {
    std::function<std::optional<StatisticsSnapshot>()> readCounters;
    std::optional<LinkCeiling> linkCeiling;
};

// The real observation of a volume: the counters of its own block device through the monitor's
// statistics session over sysfs, and the summed ceiling of the whole disks under it (none when
// any of their links is unknown).
DeviceObservation observeVolume(const DiskVolumeDescriptor&);

}
