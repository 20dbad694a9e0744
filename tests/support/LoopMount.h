#pragma once

#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"

#include <filesystem>
#include <fmt/format.h>
#include <string>
#include <sys/mount.h>

namespace tallowin::testing {

// An ext4 image on a loop device, mounted at `mountName` inside a fresh workspace (whose prefix
// may be an absolute path, to keep the image off a tmpfs). Every step is undone in reverse order
// when the object goes, also when an assertion ended the test half way. Needs root and loop
// devices; isMounted() says whether it worked.
class LoopMount {
public:
    LoopMount(const std::string& size, const std::string& mkfsOptions,
        const std::string& workspacePrefix = "tallowin-loop", const std::string& mountName = "mnt")
        : m_workspace(workspacePrefix)
        , m_mountPoint((m_workspace.path() / mountName).string())
    {
        auto image = (m_workspace.path() / "image.ext4").string();
        std::filesystem::create_directory(m_mountPoint);
        auto made = runShell(fmt::format(
            "{{ truncate -s {} '{}' && mkfs.ext4 -q -F {} '{}' && losetup -f --show '{}'; }} 2>/dev/null",
            size, image, mkfsOptions, image, image));
        m_device = made.exitStatus == 0 ? made.output.substr(0, made.output.find('\n')) : "";
        m_mounted
            = !m_device.empty() && ::mount(m_device.c_str(), m_mountPoint.c_str(), "ext4", 0, nullptr) == 0;
    }
    ~LoopMount()
    {
        if (m_mounted && ::umount(m_mountPoint.c_str()) != 0)
            ::umount2(m_mountPoint.c_str(), MNT_DETACH);
        if (!m_device.empty())
            runShell("losetup -d " + m_device + " 2>/dev/null");
    }
    LoopMount(const LoopMount&) = delete;
    LoopMount& operator=(const LoopMount&) = delete;

    bool isMounted() const { return m_mounted; }
    const std::string& path() const { return m_mountPoint; }
    const std::string& device() const { return m_device; }
    bool remountReadOnly()
    {
        return ::mount(m_device.c_str(), m_mountPoint.c_str(), "ext4", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    TemporaryDirectory m_workspace;
    std::string m_mountPoint;
    std::string m_device;
    bool m_mounted { false };
};

}
