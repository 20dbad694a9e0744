#include "platform/LinuxMountLookup.h"

#include "platform/SysfsFiles.h"

#include <blkid/blkid.h>
#include <cerrno>
#include <cstdlib>
#include <dirent.h>
#include <fmt/format.h>
#include <fstream>
#include <limits.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace tallowin {

using sysfs::basename;
using sysfs::realPath;

namespace {

// mountinfo writes space, tab, line feed and backslash as \ooo.
std::string decodeOctalEscapes(std::string_view text)
{
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size()) {
            auto digits = text.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string_view::npos) {
                decoded.push_back(
                    static_cast<char>((digits[0] - '0') * 64 + (digits[1] - '0') * 8 + (digits[2] - '0')));
                i += 3;
                continue;
            }
        }
        decoded.push_back(text[i]);
    }
    return decoded;
}

// udev and /dev/disk/by-label write unsafe bytes as \xNN.
std::string decodeHexEscapes(std::string_view text)
{
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            auto hex = std::string(text.substr(i + 2, 2));
            char* end = nullptr;
            long value = std::strtol(hex.c_str(), &end, 16);
            if (end == hex.c_str() + 2) {
                decoded.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        decoded.push_back(text[i]);
    }
    return decoded;
}

std::vector<std::string_view> splitFields(std::string_view line)
{
    std::vector<std::string_view> fields;
    std::size_t position = 0;
    while (position < line.size()) {
        auto next = line.find(' ', position);
        if (next == std::string_view::npos)
            next = line.size();
        if (next > position)
            fields.push_back(line.substr(position, next - position));
        position = next + 1;
    }
    return fields;
}

std::string readFile(const std::string& path)
{
    std::ifstream input(path);
    std::ostringstream text;
    text << input.rdbuf();
    return text.str();
}

bool isPathWithin(std::string_view path, std::string_view mountPoint)
{
    if (mountPoint == "/")
        return path.starts_with('/');
    return path.starts_with(mountPoint)
        && (path.size() == mountPoint.size() || path[mountPoint.size()] == '/');
}

}

std::vector<MountInfoEntry> parseMountInfo(std::string_view text)
{
    std::vector<MountInfoEntry> entries;
    while (!text.empty()) {
        auto end = text.find('\n');
        auto line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view {} : text.substr(end + 1);
        // id parent major:minor root mount-point options [optional fields…] - type source super-options
        auto fields = splitFields(line);
        if (fields.size() < 7)
            continue;
        std::size_t separator = 6;
        while (separator < fields.size() && fields[separator] != "-")
            ++separator;
        if (separator + 2 >= fields.size())
            continue;
        MountInfoEntry entry;
        auto number = fields[2];
        auto colon = number.find(':');
        if (colon == std::string_view::npos)
            continue;
        entry.major
            = static_cast<unsigned>(std::strtoul(std::string(number.substr(0, colon)).c_str(), nullptr, 10));
        entry.minor
            = static_cast<unsigned>(std::strtoul(std::string(number.substr(colon + 1)).c_str(), nullptr, 10));
        entry.mountPoint = decodeOctalEscapes(fields[4]);
        entry.fileSystemType = decodeOctalEscapes(fields[separator + 1]);
        entry.source = decodeOctalEscapes(fields[separator + 2]);
        entries.push_back(std::move(entry));
    }
    return entries;
}

const MountInfoEntry* mountContaining(const std::vector<MountInfoEntry>& entries, std::string_view path,
    std::optional<std::pair<unsigned, unsigned>> device)
{
    const MountInfoEntry* longest = nullptr;
    const MountInfoEntry* sameDevice = nullptr;
    for (const auto& entry : entries) {
        if (!isPathWithin(path, entry.mountPoint))
            continue;
        if (!longest || entry.mountPoint.size() >= longest->mountPoint.size())
            longest = &entry;
        if (device && entry.major == device->first && entry.minor == device->second
            && (!sameDevice || entry.mountPoint.size() >= sameDevice->mountPoint.size()))
            sameDevice = &entry;
    }
    return sameDevice ? sameDevice : longest;
}

std::string mountPointName(std::string_view mountPoint)
{
    while (mountPoint.size() > 1 && mountPoint.back() == '/')
        mountPoint.remove_suffix(1);
    auto slash = mountPoint.rfind('/');
    if (slash == std::string_view::npos || mountPoint.size() == 1)
        return std::string(mountPoint);
    return std::string(mountPoint.substr(slash + 1));
}

LinuxMountLookup::LinuxMountLookup()
    : LinuxMountLookup(Roots {})
{ }

LinuxMountLookup::LinuxMountLookup(Roots roots)
    : m_roots(std::move(roots))
{ }

Expected<std::string, int> LinuxMountLookup::resolveSymbolicLinks(std::string_view path)
{
    if (path.empty())
        return Unexpected(EINVAL);
    if (auto resolved = realPath(std::string(path)))
        return *resolved;
    return Unexpected(errno);
}

std::optional<std::string> LinuxMountLookup::blockNameForNumber(unsigned major, unsigned minor) const
{
    if (major == 0)
        return std::nullopt; // anonymous devices: tmpfs, proc, btrfs subvolumes …
    auto target = realPath(fmt::format("{}/dev/block/{}:{}", m_roots.sysfs, major, minor));
    if (!target)
        return std::nullopt;
    return basename(*target);
}

Expected<LinuxMountLookup::Located, int> LinuxMountLookup::locate(std::string_view path)
{
    auto resolved = resolveSymbolicLinks(path);
    if (!resolved)
        return Unexpected(resolved.error());
    std::optional<std::pair<unsigned, unsigned>> device;
    if (struct stat status; ::stat(resolved->c_str(), &status) == 0)
        device = std::pair { ::major(status.st_dev), ::minor(status.st_dev) };
    auto mounts = parseMountInfo(readFile(m_roots.proc + "/self/mountinfo"));
    const auto* mount = mountContaining(mounts, *resolved, device);
    if (!mount)
        return Unexpected(ENOENT);
    Located located { *mount, *resolved, std::nullopt, std::nullopt };
    if (auto name = blockNameForNumber(mount->major, mount->minor)) {
        located.blockName = name;
        located.deviceNumber = std::pair { mount->major, mount->minor };
    } else if (mount->source.starts_with("/dev/")) {
        // The mount's own number is anonymous (btrfs) or unknown to sysfs: use the source's.
        std::string node = m_roots.dev + mount->source.substr(4);
        struct stat status;
        if (::stat(node.c_str(), &status) == 0 && S_ISBLK(status.st_mode)) {
            if (auto sourceName = blockNameForNumber(::major(status.st_rdev), ::minor(status.st_rdev))) {
                located.blockName = sourceName;
                located.deviceNumber = std::pair { ::major(status.st_rdev), ::minor(status.st_rdev) };
            }
        }
        if (!located.blockName) {
            if (auto target = realPath(node);
                target && ::access((m_roots.sysfs + "/class/block/" + basename(*target)).c_str(), F_OK) == 0)
                located.blockName = basename(*target);
        }
    }
    return located;
}

Expected<std::pair<LinuxMountLookup::Located, FileSystemStatistics>, int> LinuxMountLookup::measure(
    std::string_view path)
{
    auto located = locate(path);
    if (!located)
        return Unexpected(located.error());
    struct statvfs status;
    if (::statvfs(located->resolvedPath.c_str(), &status) != 0)
        return Unexpected(errno);
    FileSystemStatistics statistics;
    statistics.blockSize = status.f_frsize ? status.f_frsize : status.f_bsize;
    statistics.totalBlocks = status.f_blocks;
    statistics.availableBlocks = status.f_bavail;
    statistics.fileSystemTypeName = located->mount.fileSystemType;
    statistics.mountedFromName = located->blockName ? "/dev/" + *located->blockName : located->mount.source;
    statistics.mountPoint = located->mount.mountPoint;
    return std::pair { std::move(*located), std::move(statistics) };
}

Expected<FileSystemStatistics, int> LinuxMountLookup::fileSystemStatistics(std::string_view path)
{
    auto measured = measure(path);
    if (!measured)
        return Unexpected(measured.error());
    return std::move(measured->second);
}

std::optional<std::string> LinuxMountLookup::label(const Located& located) const
{
    if (!located.blockName)
        return std::nullopt;
    if (located.deviceNumber) {
        std::ifstream database(fmt::format(
            "{}/b{}:{}", m_roots.udevData, located.deviceNumber->first, located.deviceNumber->second));
        std::optional<std::string> plain;
        std::string line;
        while (std::getline(database, line)) {
            if (line.starts_with("E:ID_FS_LABEL_ENC="))
                return decodeHexEscapes(std::string_view(line).substr(18));
            if (line.starts_with("E:ID_FS_LABEL="))
                plain = line.substr(14);
        }
        if (plain)
            return plain;
    }
    std::string devicePath = m_roots.dev + "/" + *located.blockName;
    std::string byLabel = m_roots.dev + "/disk/by-label";
    if (DIR* directory = ::opendir(byLabel.c_str())) {
        std::optional<std::string> found;
        auto device = realPath(devicePath);
        while (const dirent* entry = ::readdir(directory)) {
            std::string_view name(entry->d_name);
            if (name == "." || name == ".." || !device)
                continue;
            if (realPath(byLabel + "/" + std::string(name)) == device) {
                found = decodeHexEscapes(name);
                break;
            }
        }
        ::closedir(directory);
        if (found)
            return found;
    }
    // Last resort: read the superblock, which needs read access to the device.
    blkid_probe probe = blkid_new_probe_from_filename(devicePath.c_str());
    if (!probe)
        return std::nullopt;
    std::optional<std::string> result;
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_LABEL);
    if (blkid_do_safeprobe(probe) == 0) {
        const char* value = nullptr;
        if (blkid_probe_lookup_value(probe, "LABEL", &value, nullptr) == 0 && value)
            result = value;
    }
    blkid_free_probe(probe);
    return result;
}

Expected<VolumeResourceValues, int> LinuxMountLookup::volumeResourceValues(std::string_view path)
{
    auto measured = measure(path);
    if (!measured)
        return Unexpected(measured.error());
    const auto& [located, statistics] = *measured;
    VolumeResourceValues values;
    // Every volume has a name, as on systems whose volumes always carry one: without a label it
    // goes by its mount point, never by the folder that was chosen inside it.
    values.volumeName = label(located);
    if (!values.volumeName || values.volumeName->empty())
        values.volumeName = mountPointName(located.mount.mountPoint);
    // What df shows: the size, and the space an unprivileged user may still fill.
    values.totalCapacity = statistics.totalBlocks * statistics.blockSize;
    values.availableCapacity = statistics.availableBlocks * statistics.blockSize;
    return values;
}

}
