#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tallowin {

// A mounted file system that lives on a block device, with its figures at the moment it was
// listed.
struct MountedFileSystem {
    std::string device; // kernel block device name
    std::string mountPoint;
    std::string fileSystemType;
    std::uint64_t sizeBytes { 0 };
    std::uint64_t availableBytes { 0 }; // what an unprivileged user may still write

    friend bool operator==(const MountedFileSystem&, const MountedFileSystem&) = default;
};

class MountedFileSystemSource {
public:
    virtual ~MountedFileSystemSource() = default;
    virtual std::vector<MountedFileSystem> mountedFileSystems() = 0;
};

// Mounts from <proc>/self/mountinfo whose source is a block device that sysfs knows, measured
// with statvfs. Pseudo and network file systems (tmpfs, proc, NFS) are left out; a mount point
// mounted over keeps only the newest mount, the one a path there reaches.
class LinuxMountedFileSystemSource final : public MountedFileSystemSource {
public:
    LinuxMountedFileSystemSource(std::string procRoot, std::string sysfsRoot);
    std::vector<MountedFileSystem> mountedFileSystems() override;

private:
    std::string m_procRoot;
    std::string m_sysfsRoot;
};

}
