#include "benchmark/BenchmarkHistory.h"

#include "core/FileDescriptor.h"
#include "platform/SysfsFiles.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <nlohmann/json.hpp>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallowin {

namespace {

using Json = nlohmann::ordered_json;

// Walking up from a disk never needs more steps than this to reach its drive's serial number.
constexpr int identityAncestors = 8;

std::optional<std::string> trimmedText(const RegistryDictionary& properties, std::string_view key)
{
    const auto* value = properties.find(key);
    if (!value || !value->text())
        return std::nullopt;
    auto text = std::string(sysfs::trimmed(*value->text()));
    if (text.empty())
        return std::nullopt;
    return text;
}

// The first `key` attribute on the disk's object or its ancestors (a virtio disk has its own
// `serial`, an NVMe namespace its `wwid` and its controller the `serial`, a USB bridge its
// device's `serial`).
std::optional<std::string> attributeUpwards(
    DeviceRegistry& registry, const std::string& disk, std::string_view key)
{
    auto matches = registry.matchBSDName(disk);
    if (!matches || matches->empty())
        return std::nullopt;
    auto object = matches->front();
    for (int level = 0; level <= identityAncestors; ++level) {
        if (auto properties = registry.properties(object)) {
            if (auto value = trimmedText(*properties, key))
                return value;
        }
        auto parent = registry.parent(object);
        if (!parent)
            break;
        object = *parent;
    }
    return std::nullopt;
}

std::optional<std::string> fileSystemUuid(
    DeviceRegistry& registry, const std::string& bsdName, const std::string& udevDataRoot)
{
    auto matches = registry.matchBSDName(bsdName);
    if (!matches || matches->empty())
        return std::nullopt;
    auto properties = registry.properties(matches->front());
    if (!properties)
        return std::nullopt;
    auto number = trimmedText(*properties, "dev");
    if (!number)
        return std::nullopt;
    std::ifstream database(udevDataRoot + "/b" + *number);
    for (std::string line; std::getline(database, line);) {
        if (line.starts_with("E:ID_FS_UUID="))
            return line.substr(std::strlen("E:ID_FS_UUID="));
    }
    return std::nullopt;
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string text;
    for (const auto& part : parts)
        text += (text.empty() ? "" : "+") + part;
    return text;
}

Json optionalJson(const std::optional<std::string>& value)
{
    return value ? Json(*value) : Json(nullptr);
}

std::optional<std::string> optionalText(const nlohmann::json& object, const char* key)
{
    auto found = object.find(key);
    if (found == object.end() || found->is_null())
        return std::nullopt;
    return found->get<std::string>();
}

Json phaseJson(const PhaseHonesty& phase)
{
    auto traffic = [&](std::uint64_t StatisticsSnapshot::*field) {
        return phase.deviceTraffic ? Json((*phase.deviceTraffic).*field) : Json(nullptr);
    };
    Json warnings = Json::array();
    for (const auto& warning : phase.warnings)
        warnings.push_back({ { "kind", warning.kind }, { "message", warning.message } });
    return { { "phase", rawValue(phase.phase) }, { "countedBytes", phase.countedBytes },
        { "throughput", phase.throughput }, { "deviceReadBytes", traffic(&StatisticsSnapshot::bytesRead) },
        { "deviceWriteBytes", traffic(&StatisticsSnapshot::bytesWritten) },
        { "deviceReadOperations", traffic(&StatisticsSnapshot::readOperations) },
        { "deviceWriteOperations", traffic(&StatisticsSnapshot::writeOperations) },
        { "warnings", warnings } };
}

PhaseHonesty phaseFromJson(const nlohmann::json& object)
{
    PhaseHonesty phase;
    auto which = benchmarkPhaseFromRawValue(object.at("phase").get<std::string>());
    if (!which)
        throw std::invalid_argument("unknown phase");
    phase.phase = *which;
    phase.countedBytes = object.at("countedBytes").get<std::uint64_t>();
    phase.throughput = object.at("throughput").get<double>();
    if (!object.at("deviceReadBytes").is_null()) {
        phase.deviceTraffic = StatisticsSnapshot { object.at("deviceReadBytes").get<std::uint64_t>(),
            object.at("deviceWriteBytes").get<std::uint64_t>(),
            object.at("deviceReadOperations").get<std::uint64_t>(),
            object.at("deviceWriteOperations").get<std::uint64_t>() };
    }
    for (const auto& warning : object.at("warnings"))
        phase.warnings.push_back(
            { warning.at("kind").get<std::string>(), warning.at("message").get<std::string>() });
    return phase;
}

std::string systemError(const std::string& path, int error)
{
    return localized(fmt::format("Cannot write the benchmark history {}: {}", path, std::strerror(error)),
        fmt::format("无法写入测试历史 {}：{}", path, std::strerror(error)));
}

// The whole buffer, continuing after a short write or EINTR.
bool writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        auto written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

// Opens the history for appending and takes its lock; if another process replaced the file by
// rotation while this one waited for the lock, the descriptor names the old file: open again.
Expected<FileDescriptor, int> lockedForAppend(const std::string& path)
{
    // Each retry means another writer rotated meanwhile, which happens once per hundreds of runs.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        FileDescriptor file(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600));
        if (!file)
            return Unexpected(errno);
        int locked;
        do {
            locked = ::flock(file.get(), LOCK_EX);
        } while (locked != 0 && errno == EINTR);
        if (locked != 0)
            return Unexpected(errno);
        struct stat opened;
        struct stat named;
        if (::fstat(file.get(), &opened) != 0)
            return Unexpected(errno);
        if (::stat(path.c_str(), &named) == 0 && named.st_ino == opened.st_ino
            && named.st_dev == opened.st_dev)
            return file;
    }
    return Unexpected(EAGAIN);
}

// Once the history holds a tenth more than `limit` runs, keeps the newest `limit`: written to a
// new file beside it and renamed over it. The slack makes rotations rare (each one costs a read
// of the whole file and sends every waiting writer back to open the new file).
Expected<void, int> rotate(const std::string& path, std::size_t limit)
{
    std::vector<std::string> lines;
    {
        std::ifstream input(path, std::ios::binary);
        for (std::string line; std::getline(input, line);)
            lines.push_back(std::move(line));
    }
    if (lines.size() <= limit + limit / 10)
        return {};
    std::string kept;
    for (auto line = lines.end() - static_cast<std::ptrdiff_t>(limit); line != lines.end(); ++line)
        kept += *line + "\n";
    std::string temporary = fmt::format("{}.{}.tmp", path, ::getpid());
    FileDescriptor file(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!file)
        return Unexpected(errno);
    if (!writeAll(file.get(), kept) || ::fsync(file.get()) != 0
        || ::rename(temporary.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(temporary.c_str());
        return Unexpected(error);
    }
    return {};
}

}

std::string defaultHistoryPath(const EnvironmentLookup& environment)
{
    auto state = environment("XDG_STATE_HOME");
    if (state && state->starts_with("/"))
        return *state + "/tallowin/benchmarks.jsonl";
    std::string home = environment("HOME").value_or("");
    if (home.empty()) {
        // No HOME (a service, `env -i`): the account's home from the password database.
        if (const passwd* account = ::getpwuid(::getuid()); account && account->pw_dir)
            home = account->pw_dir;
    }
    return home + "/.local/state/tallowin/benchmarks.jsonl";
}

BenchmarkDevice benchmarkDevice(const DiskVolumeDescriptor& volume, DeviceRegistry& registry,
    const BlockStack& stack, const std::string& udevDataRoot)
{
    BenchmarkDevice device;
    device.vendor = volume.hardwareVendor;
    device.model = volume.hardwareModel;
    device.bsdName = volume.bsdName;
    device.connection = volume.connectionTypeDescription;
    device.linkSpeed = volume.connectionSpeedDescription;

    auto disks = wholeDisksUnder(volume.bsdName, stack);
    auto identities = [&](std::string_view key) -> std::optional<std::string> {
        std::vector<std::string> values;
        for (const auto& disk : disks) {
            auto value = attributeUpwards(registry, disk, key);
            if (!value)
                return std::nullopt;
            values.push_back(*value);
        }
        if (values.empty())
            return std::nullopt;
        return joined(values);
    };
    if (auto serial = identities("serial")) {
        device.serial = serial;
        device.key = "serial:" + *serial;
    } else if (auto wwid = identities("wwid")) {
        device.key = "wwid:" + *wwid;
    } else if (auto uuid = fileSystemUuid(registry, volume.bsdName, udevDataRoot)) {
        device.key = "uuid:" + *uuid;
    } else {
        device.key = "device:" + volume.bsdName;
    }
    return device;
}

BenchmarkRecord benchmarkRecord(
    const DiskPerformanceTester::Result& result, const DiskVolumeDescriptor& volume, BenchmarkDevice device)
{
    BenchmarkRecord record;
    record.finishedAt = result.finishedAt;
    record.device = std::move(device);
    record.path = volume.url;
    record.payloadBytes = result.actualByteCount;
    record.writeThroughput = result.writeThroughput;
    record.readThroughput = result.readThroughput;
    record.randomWriteIOPS = result.randomWriteIOPS;
    record.randomReadIOPS = result.randomReadIOPS;
    record.honesty = result.honesty;
    return record;
}

std::string historyLine(const BenchmarkRecord& record)
{
    Json phases = Json::array();
    for (const auto& phase : record.honesty.phases)
        phases.push_back(phaseJson(phase));
    const auto& device = record.device;
    const auto& ceiling = record.honesty.linkCeiling;
    Json line { { "finishedAt", record.finishedAt },
        { "device",
            { { "key", device.key }, { "vendor", optionalJson(device.vendor) },
                { "model", optionalJson(device.model) }, { "serial", optionalJson(device.serial) },
                { "bsdName", device.bsdName }, { "connection", device.connection },
                { "linkSpeed", optionalJson(device.linkSpeed) } } },
        { "path", record.path }, { "payloadBytes", record.payloadBytes },
        { "writeThroughput", record.writeThroughput }, { "readThroughput", record.readThroughput },
        { "randomWriteIOPS", record.randomWriteIOPS }, { "randomReadIOPS", record.randomReadIOPS },
        { "phases", phases },
        { "linkCeiling",
            ceiling ? Json { { "link", ceiling->link }, { "bytesPerSecond", ceiling->bytesPerSecond } }
                    : Json(nullptr) } };
    // Invalid UTF-8 in a path or a device name must not make the line unwritable.
    return line.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::optional<BenchmarkRecord> recordFromHistoryLine(std::string_view text)
{
    auto line = nlohmann::json::parse(text, nullptr, false);
    if (line.is_discarded() || !line.is_object())
        return std::nullopt;
    try {
        BenchmarkRecord record;
        record.finishedAt = line.at("finishedAt").get<double>();
        const auto& device = line.at("device");
        record.device.key = device.at("key").get<std::string>();
        record.device.vendor = optionalText(device, "vendor");
        record.device.model = optionalText(device, "model");
        record.device.serial = optionalText(device, "serial");
        record.device.bsdName = device.at("bsdName").get<std::string>();
        record.device.connection = device.at("connection").get<std::string>();
        record.device.linkSpeed = optionalText(device, "linkSpeed");
        record.path = line.at("path").get<std::string>();
        record.payloadBytes = line.at("payloadBytes").get<std::uint64_t>();
        record.writeThroughput = line.at("writeThroughput").get<double>();
        record.readThroughput = line.at("readThroughput").get<double>();
        record.randomWriteIOPS = line.at("randomWriteIOPS").get<double>();
        record.randomReadIOPS = line.at("randomReadIOPS").get<double>();
        for (const auto& phase : line.at("phases"))
            record.honesty.phases.push_back(phaseFromJson(phase));
        if (const auto& ceiling = line.at("linkCeiling"); !ceiling.is_null())
            record.honesty.linkCeiling = LinkCeiling { ceiling.at("link").get<std::string>(),
                ceiling.at("bytesPerSecond").get<double>() };
        return record;
    } catch (const std::exception&) {
        // A key missing or of the wrong kind: the line is damaged.
        return std::nullopt;
    }
}

Expected<void, std::string> appendToHistory(
    const std::string& path, const BenchmarkRecord& record, std::size_t limit)
{
    std::error_code error;
    auto folder = std::filesystem::path(path).parent_path();
    if (!folder.empty() && !std::filesystem::exists(folder, error)) {
        std::filesystem::create_directories(folder, error);
        if (error)
            return Unexpected(systemError(path, error.value()));
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all, error);
    }
    auto file = lockedForAppend(path);
    if (!file)
        return Unexpected(systemError(path, file.error()));
    // One write of the whole line on an O_APPEND descriptor: it lands after every other line,
    // and readers that do not lock see it whole or (after a crash) as one damaged last line.
    if (!writeAll(file->get(), historyLine(record) + "\n") || ::fsync(file->get()) != 0)
        return Unexpected(systemError(path, errno));
    // Under the lock, so no other append can fall between the read and the rename. Every line
    // is far longer than 128 bytes, so a smaller file cannot hold too many runs.
    struct stat status;
    bool mayBeFull
        = ::fstat(file->get(), &status) != 0 || static_cast<std::uint64_t>(status.st_size) > limit * 128;
    if (auto rotated = mayBeFull ? rotate(path, limit) : Expected<void, int> {}; !rotated)
        return Unexpected(systemError(path, rotated.error()));
    return {};
}

BenchmarkHistoryContents loadHistory(const std::string& path)
{
    BenchmarkHistoryContents contents;
    std::ifstream input(path, std::ios::binary);
    std::size_t number = 0;
    for (std::string line; std::getline(input, line);) {
        ++number;
        if (line.empty())
            continue;
        if (auto record = recordFromHistoryLine(line))
            contents.records.push_back(std::move(*record));
        else
            contents.warnings.push_back(
                localized(fmt::format("Line {} of {} is damaged and was skipped.", number, path),
                    fmt::format("{} 的第 {} 行已损坏，已跳过。", path, number)));
    }
    return contents;
}

}
