#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tallowin {

// A block device as the exporter lists it.
struct BlockDeviceEntry {
    std::string name; // kernel name: sda, sda1, nvme0n1, dm-0
    // The whole disk a partition lies on; nothing for a whole disk or a stacked device.
    std::optional<std::string> wholeDisk;

    friend bool operator==(const BlockDeviceEntry&, const BlockDeviceEntry&) = default;
};

// The block devices present right now. Listed again at every scrape, so that a device plugged
// in or pulled out shows up or goes away without a restart.
class BlockDeviceInventory {
public:
    virtual ~BlockDeviceInventory() = default;
    // In name order.
    virtual std::vector<BlockDeviceEntry> blockDevices() = 0;
};

// The devices under <root>/class/block that have a medium: a size of zero (an unused loop
// device, a card reader without a card, an empty optical drive) has nothing to count.
class SysfsBlockDeviceInventory final : public BlockDeviceInventory {
public:
    explicit SysfsBlockDeviceInventory(std::string root);
    std::vector<BlockDeviceEntry> blockDevices() override;

private:
    std::string m_root;
};

// Devices that exist only in the kernel or stack on others (loop, RAM disks, device-mapper, md,
// network block devices, optical drives): smartctl has nothing to say about them themselves.
bool isVirtualBlockDevice(const std::string& name);

}
