#pragma once

#include "support/TemporaryDirectory.h"

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <utility>

namespace tallowin::testing {

// A sysfs tree in a temporary directory, laid out like the kernel's: device directories under
// devices/ with `uevent` files and attribute files, `subsystem` links to bus/<name> or
// class/<name>, and the class/block/<name> and dev/block/M:m links, all relative as in /sys.
// The whole tree is removed when the object goes, whatever the test did.
class FakeSysfsTree {
public:
    using Attributes = std::initializer_list<std::pair<const char*, std::string>>;

    const std::filesystem::path& root() const { return m_directory.path(); }
    std::string rootString() const { return root().string(); }
    std::filesystem::path devicePath(const std::string& devicesRelative) const
    {
        return root() / "devices" / devicesRelative;
    }

    // A device directory with a `uevent` file; `subsystemLink` is "bus/usb", "class/nvme" …, or
    // empty for directories without one (pci0000:00, ata1).
    std::filesystem::path device(const std::string& devicesRelative, const std::string& subsystemLink,
        const std::string& uevent = {}, Attributes attributes = {})
    {
        auto directory = devicePath(devicesRelative);
        std::filesystem::create_directories(directory);
        write(directory / "uevent", uevent);
        if (!subsystemLink.empty()) {
            std::filesystem::create_directories(root() / subsystemLink);
            link(directory / "subsystem", root() / subsystemLink);
        }
        for (const auto& [name, value] : attributes)
            write(directory / name, value);
        return directory;
    }

    // A block device (disk or partition) registered under class/block and dev/block.
    std::filesystem::path block(const std::string& devicesRelative, unsigned major, unsigned minor,
        const std::string& stat = "  100 0 800 0 50 0 400 0 0 0 0 0 0 0 0 0 0\n", bool isPartition = false)
    {
        auto name = std::filesystem::path(devicesRelative).filename().string();
        auto dev = std::to_string(major) + ":" + std::to_string(minor);
        auto directory = device(devicesRelative, "class/block",
            "MAJOR=" + std::to_string(major) + "\nMINOR=" + std::to_string(minor) + "\nDEVNAME=" + name
                + "\nDEVTYPE=" + (isPartition ? "partition" : "disk") + "\n",
            { { "dev", dev + "\n" }, { "size", "1000\n" } });
        if (!stat.empty())
            write(directory / "stat", stat);
        if (isPartition)
            write(directory / "partition", "1\n");
        std::filesystem::create_directories(root() / "class/block");
        std::filesystem::create_directories(root() / "dev/block");
        link(root() / "class/block" / name, directory);
        link(root() / "dev/block" / dev, directory);
        return directory;
    }

    // A link at `from` pointing at `to`, written relative like sysfs does.
    void link(const std::filesystem::path& from, const std::filesystem::path& to)
    {
        std::filesystem::create_directories(from.parent_path());
        std::filesystem::create_symlink(std::filesystem::relative(to, from.parent_path()), from);
    }

    static void write(const std::filesystem::path& file, const std::string& content)
    {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream output(file, std::ios::binary | std::ios::trunc);
        output << content;
    }

private:
    TemporaryDirectory m_directory { "tallowin-sysfs" };
};

}
