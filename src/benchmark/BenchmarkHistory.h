#pragma once

#include "benchmark/BenchmarkHonesty.h"
#include "benchmark/DiskPerformanceTester.h"
#include "core/Expected.h"
#include "core/Language.h"
#include "core/Records.h"
#include "monitor/DiskScope.h"
#include "platform/DeviceRegistry.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tallowin {

// Who a benchmark ran on, so that later runs of the same drive can be compared with it.
struct BenchmarkDevice {
    // What runs are grouped by: "serial:…", "wwid:…" or "uuid:…" (the file system's), else
    // "device:" and the kernel name, which a replug may give to another drive.
    std::string key;
    std::optional<std::string> vendor;
    std::optional<std::string> model;
    std::optional<std::string> serial;
    std::string bsdName;
    std::string connection;
    std::optional<std::string> linkSpeed;
    friend bool operator==(const BenchmarkDevice&, const BenchmarkDevice&) = default;
};

// One completed run, as one line of the history file.
struct BenchmarkRecord {
    WallClockTime finishedAt { 0 };
    BenchmarkDevice device;
    std::string path;
    std::uint64_t payloadBytes { 0 };
    double writeThroughput { 0 };
    double readThroughput { 0 };
    double randomWriteIOPS { 0 };
    double randomReadIOPS { 0 };
    BenchmarkHonesty honesty;
    friend bool operator==(const BenchmarkRecord&, const BenchmarkRecord&) = default;
};

// What a history file held: its good records in file order (oldest first), and one warning in
// the user's language for each line that could not be read.
struct BenchmarkHistoryContents {
    std::vector<BenchmarkRecord> records;
    std::vector<std::string> warnings;
};

// The history keeps the newest this many runs (and up to a tenth more between rotations).
inline constexpr std::size_t benchmarkHistoryLimit = 5000;

// $XDG_STATE_HOME/tallowin/benchmarks.jsonl, with ~/.local/state when XDG_STATE_HOME is unset,
// empty or not absolute.
std::string defaultHistoryPath(const EnvironmentLookup& = processEnvironment);

// The identity of the drive(s) under a volume: the serial numbers of its whole disks, else their
// WWIDs, else the file system's UUID from the udev database under `udevDataRoot`.
BenchmarkDevice benchmarkDevice(const DiskVolumeDescriptor&, DeviceRegistry&, const BlockStack&,
    const std::string& udevDataRoot = "/run/udev/data");

BenchmarkRecord benchmarkRecord(
    const DiskPerformanceTester::Result&, const DiskVolumeDescriptor&, BenchmarkDevice);

std::string historyLine(const BenchmarkRecord&);
std::optional<BenchmarkRecord> recordFromHistoryLine(std::string_view);

// Appends one line with one write() on an O_APPEND descriptor under an exclusive lock, then
// fsync; when the file holds a tenth more than `limit` runs, the newest `limit` are written to a
// new file that replaces it by rename(), so a reader sees the old file or the new one, never half
// of one.
// Creates the folder (mode 0700) when needed. The error is a text in the user's language.
Expected<void, std::string> appendToHistory(
    const std::string& path, const BenchmarkRecord&, std::size_t limit = benchmarkHistoryLimit);

// Never fails: a missing file is an empty history, a damaged line is skipped with a warning.
BenchmarkHistoryContents loadHistory(const std::string& path);

}
