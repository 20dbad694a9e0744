#pragma once

#include "core/Uuid.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallowin {

// Wall-clock time as seconds since the Unix epoch, in double precision.
using WallClockTime = double;
WallClockTime wallClockNow();

// One reading of a block device's cumulative counters, as the kernel reports them; never reset
// by this program.
struct StatisticsSnapshot {
    std::uint64_t bytesRead { 0 };
    std::uint64_t bytesWritten { 0 };
    std::uint64_t readOperations { 0 };
    std::uint64_t writeOperations { 0 };

    friend bool operator==(const StatisticsSnapshot&, const StatisticsSnapshot&) = default;
};

// The difference between two consecutive snapshots: counts per sampling interval, not rates.
// Differences wrap modulo 2^64, so every field is always a valid unsigned value.
struct DiskSample {
    Uuid id;
    WallClockTime timestamp { 0 };
    std::uint64_t readBytes { 0 };
    std::uint64_t writeBytes { 0 };
    std::uint64_t readOperations { 0 };
    std::uint64_t writeOperations { 0 };

    friend bool operator==(const DiskSample&, const DiskSample&) = default;
};

// A drive's flattened SMART report.
struct DiskSMARTInfo {
    struct Detail {
        Uuid id;
        std::string keyPath;
        std::string displayName;
        std::string value;

        friend bool operator==(const Detail&, const Detail&) = default;
    };

    std::optional<std::string> overallStatus;
    std::optional<bool> isCapable;
    std::vector<Detail> details;
    std::optional<std::string> sourceCommand;

    friend bool operator==(const DiskSMARTInfo&, const DiskSMARTInfo&) = default;
};

// What the user selected: the volume, its device and what is known about its connection.
struct DiskVolumeDescriptor {
    std::string url; // absolute path with symbolic links resolved
    std::string bsdName; // kernel block device name of the mounted file system, e.g. "sda1"
    std::string displayName;
    std::string connectionTypeDescription;
    std::optional<std::string> connectionSpeedDescription;
    std::optional<std::string> fileSystemDescription;
    std::optional<std::uint64_t> totalCapacityBytes;
    std::optional<std::uint64_t> availableCapacityBytes;
    std::optional<std::string> hardwareVendor;
    std::optional<std::string> hardwareModel;
    std::optional<DiskSMARTInfo> smartInfo;

    friend bool operator==(const DiskVolumeDescriptor&, const DiskVolumeDescriptor&) = default;
};

}
