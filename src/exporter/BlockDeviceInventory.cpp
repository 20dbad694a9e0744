#include "exporter/BlockDeviceInventory.h"

#include "platform/SysfsFiles.h"

#include <array>
#include <string_view>

namespace tallowin {

SysfsBlockDeviceInventory::SysfsBlockDeviceInventory(std::string root)
    : m_root(std::move(root))
{ }

std::vector<BlockDeviceEntry> SysfsBlockDeviceInventory::blockDevices()
{
    std::vector<BlockDeviceEntry> devices;
    const auto classDirectory = m_root + "/class/block/";
    for (auto& name : sysfs::directoryEntries(classDirectory)) {
        const auto directory = classDirectory + name;
        auto size = sysfs::readAttribute(directory + "/size");
        if (!size || sysfs::parseUnsigned(sysfs::trimmed(*size)).value_or(0) == 0)
            continue;
        BlockDeviceEntry entry { std::move(name), std::nullopt };
        if (sysfs::exists(directory + "/partition")) {
            // A partition's directory sits inside its disk's.
            if (auto real = sysfs::realPath(directory))
                entry.wholeDisk = sysfs::basename(sysfs::dirname(*real));
        }
        devices.push_back(std::move(entry));
    }
    return devices;
}

bool isVirtualBlockDevice(const std::string& name)
{
    static constexpr std::array<std::string_view, 8> prefixes { "loop", "ram", "zram", "dm-", "md", "nbd",
        "sr", "drbd" };
    for (auto prefix : prefixes) {
        if (name.starts_with(prefix))
            return true;
    }
    return false;
}

}
