#pragma once

#include "core/Expected.h"
#include "core/FileDescriptor.h"

#include <filesystem>
#include <string>
#include <sys/types.h>

namespace tallowin {

// Opening files that root will execute, the way sudo checks its secure path: every component
// from "/" down is walked with openat and O_NOFOLLOW, so no symbolic link is followed and no
// component can be swapped between the check and the use, and each one must be owned by a
// trusted owner (root, or the daemon's own user when it does not run as root) and not be
// writable by group or others. A sticky directory owned by root (/tmp) is the one exception:
// its other users can neither rename nor remove an entry that a trusted owner made, and that
// entry is checked in turn. The caller gets the descriptor of the very file it checked and
// executes that, never the path again.
struct TrustedFile {
    // The owners whose files may be trusted: root, and the effective user when it is not root
    // (a development daemon cannot be subverted by its own user's files any more than it is).
    static bool isTrustedOwner(uid_t owner);

    // A regular, executable file: O_RDONLY, close-on-exec.
    static Expected<FileDescriptor, std::string> openExecutable(const std::filesystem::path&);
    // A directory: O_RDONLY | O_DIRECTORY, close-on-exec, usable with the *at() calls.
    static Expected<FileDescriptor, std::string> openDirectory(const std::filesystem::path&);
    // The directory at `path`, made with mode 0755 when it is missing (its parent must already
    // be trusted); a directory that exists but fails the checks is refused, not repaired.
    static Expected<FileDescriptor, std::string> makeDirectory(const std::filesystem::path&);
    // Opens the executable `name` inside an already trusted directory.
    static Expected<FileDescriptor, std::string> openExecutableAt(int directory, const std::string& name);
    // Opens the regular file `name` inside an already trusted directory, executable or not
    // as `executable` says.
    static Expected<FileDescriptor, std::string> openAt(int directory, const std::string& name, bool executable);
};

}
