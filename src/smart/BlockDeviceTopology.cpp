#include "smart/BlockDeviceTopology.h"

#include "core/Formatting.h"
#include "core/Language.h"

#include <algorithm>
#include <filesystem>
#include <fmt/format.h>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace tallowin {

namespace fs = std::filesystem;

namespace {

// A name that stays inside class/block: no separators, no dot entries.
bool isPlainName(std::string_view name)
{
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string_view::npos
        && name.find('\0') == std::string_view::npos;
}

std::string subsystemOf(const fs::path& device)
{
    std::error_code error;
    auto target = fs::read_symlink(device / "subsystem", error);
    return error ? std::string() : target.filename().string();
}

std::optional<std::string> readSmallFile(const fs::path& file)
{
    std::ifstream input(file, std::ios::binary);
    if (!input)
        return std::nullopt;
    // A path is at most PATH_MAX long; sysfs attribute files are at most a page.
    std::string text(4096, '\0');
    input.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(input.gcount()));
    return text;
}

std::optional<std::pair<unsigned, unsigned>> statDeviceNumber(const std::string& path)
{
    struct stat status { };
    if (::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return std::pair { static_cast<unsigned>(major(status.st_dev)), static_cast<unsigned>(minor(status.st_dev)) };
}

}

SysfsBlockDeviceTopology::SysfsBlockDeviceTopology(std::string root, FileDeviceNumber fileDeviceNumber)
    : m_root(std::move(root))
    , m_fileDeviceNumber(fileDeviceNumber ? std::move(fileDeviceNumber) : FileDeviceNumber(statDeviceNumber))
{
}

std::string SysfsBlockDeviceTopology::defaultRoot()
{
    auto root = processEnvironment("TALLOWIN_SYSFS_ROOT");
    return root && !root->empty() ? *root : std::string("/sys");
}

std::optional<std::string> SysfsBlockDeviceTopology::partitionParent(std::string_view name) const
{
    if (!isPlainName(name))
        return std::nullopt;
    auto entry = fs::path(m_root) / "class/block" / name;
    std::error_code error;
    if (!fs::exists(entry / "partition", error))
        return std::nullopt;
    // A partition's directory sits inside its disk's directory, whatever the naming scheme
    // (sda1, nvme0n1p2, mmcblk0p1, loop0p1).
    auto directory = fs::canonical(entry, error);
    if (error)
        return std::nullopt;
    auto parent = directory.parent_path().filename().string();
    if (!isPlainName(parent) || !fs::exists(fs::path(m_root) / "class/block" / parent, error))
        return std::nullopt;
    return parent;
}

std::vector<std::string> SysfsBlockDeviceTopology::nvmeControllers(std::string_view name) const
{
    if (!isPlainName(name))
        return {};
    std::error_code error;
    auto directory = fs::canonical(fs::path(m_root) / "class/block" / name, error);
    if (error)
        return {};
    auto devices = fs::canonical(fs::path(m_root) / "devices", error);
    if (error)
        return {};
    for (auto ancestor = directory.parent_path(); ancestor != devices && ancestor.has_relative_path();
         ancestor = ancestor.parent_path()) {
        auto subsystem = subsystemOf(ancestor);
        if (subsystem == "nvme")
            return { ancestor.filename().string() };
        if (subsystem == "nvme-subsystem") {
            // A multipath namespace hangs off the subsystem, which links every controller that
            // reaches it.
            std::vector<std::string> controllers;
            for (const auto& child : fs::directory_iterator(ancestor, error)) {
                if (subsystemOf(child.path()) == "nvme")
                    controllers.push_back(child.path().filename().string());
            }
            std::sort(controllers.begin(), controllers.end());
            return controllers;
        }
    }
    return {};
}

std::vector<std::string> SysfsBlockDeviceTopology::slaves(std::string_view name) const
{
    if (!isPlainName(name))
        return {};
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& child : fs::directory_iterator(fs::path(m_root) / "class/block" / name / "slaves", error))
        names.push_back(child.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> SysfsBlockDeviceTopology::loopBackingDevice(std::string_view name) const
{
    if (!isPlainName(name))
        return std::nullopt;
    auto text = readSmallFile(fs::path(m_root) / "class/block" / name / "loop/backing_file");
    if (!text)
        return std::nullopt;
    auto path = std::string(Formatting::trimmed(*text));
    if (path.empty())
        return std::nullopt;
    auto number = m_fileDeviceNumber(path);
    if (!number)
        return std::nullopt;
    std::error_code error;
    auto device = fs::canonical(
        fs::path(m_root) / "dev/block" / fmt::format("{}:{}", number->first, number->second), error);
    if (error)
        return std::nullopt;
    auto deviceName = device.filename().string();
    if (!fs::exists(fs::path(m_root) / "class/block" / deviceName, error))
        return std::nullopt;
    return deviceName;
}

}
