#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

// How Linux block devices sit on each other: partitions on disks, NVMe namespaces on their
// controllers, device-mapper and md devices on their members, loop devices on the file system
// that holds their backing file. SMART data belongs to the physical drive at the bottom.
class BlockDeviceTopology {
public:
    virtual ~BlockDeviceTopology() = default;
    // The whole disk of a partition (sda1 → sda); nothing for a whole disk.
    virtual std::optional<std::string> partitionParent(std::string_view name) const = 0;
    // The NVMe controllers through which a namespace is reached (nvme0n1 → nvme0).
    virtual std::vector<std::string> nvmeControllers(std::string_view name) const = 0;
    // The devices a stacked device is built on (its `slaves`), sorted by name.
    virtual std::vector<std::string> slaves(std::string_view name) const = 0;
    // The block device holding a loop device's backing file.
    virtual std::optional<std::string> loopBackingDevice(std::string_view name) const = 0;
};

// The topology as sysfs shows it, under a given root (TALLOWIN_SYSFS_ROOT or /sys by default).
class SysfsBlockDeviceTopology final : public BlockDeviceTopology {
public:
    // The device number (major, minor) of the file system holding a file; stat() by default.
    using FileDeviceNumber = std::function<std::optional<std::pair<unsigned, unsigned>>(const std::string& path)>;

    explicit SysfsBlockDeviceTopology(std::string root = defaultRoot(), FileDeviceNumber = {});

    static std::string defaultRoot();

    std::optional<std::string> partitionParent(std::string_view name) const override;
    std::vector<std::string> nvmeControllers(std::string_view name) const override;
    std::vector<std::string> slaves(std::string_view name) const override;
    std::optional<std::string> loopBackingDevice(std::string_view name) const override;

private:
    std::string m_root;
    FileDeviceNumber m_fileDeviceNumber;
};

}
