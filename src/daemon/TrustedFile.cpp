#include "daemon/TrustedFile.h"

#include <cerrno>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace tallowin {

namespace fs = std::filesystem;

namespace {

std::string errnoText(int error)
{
    return std::error_code(error, std::generic_category()).message();
}

// Refuses what another user could change: a foreign owner, or write access for group or
// others (except a root-owned sticky directory, whose entries are checked in turn).
enum class Expect {
    directory,
    file,
    executable,
};

Expected<void, std::string> checkStatus(const struct stat& status, const std::string& shown, Expect expect)
{
    const bool directory = expect == Expect::directory;
    if (directory ? !S_ISDIR(status.st_mode) : !S_ISREG(status.st_mode))
        return Unexpected(fmt::format("{} is not a {}", shown, directory ? "directory" : "regular file"));
    if (!TrustedFile::isTrustedOwner(status.st_uid))
        return Unexpected(fmt::format("{} is owned by user {}", shown, status.st_uid));
    const bool writableByOthers = (status.st_mode & (S_IWGRP | S_IWOTH)) != 0;
    const bool rootSticky = directory && (status.st_mode & S_ISVTX) != 0 && status.st_uid == 0;
    if (writableByOthers && !rootSticky)
        return Unexpected(fmt::format("{} is writable by group or others", shown));
    if (expect == Expect::executable && (status.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0)
        return Unexpected(fmt::format("{} is not executable", shown));
    return {};
}

Expected<void, std::string> checkDescriptor(int fd, const std::string& shown, Expect expect)
{
    struct stat status { };
    if (::fstat(fd, &status) != 0)
        return Unexpected(fmt::format("{}: {}", shown, errnoText(errno)));
    return checkStatus(status, shown, expect);
}

// The path's components below "/", refusing relative paths and "..", which would walk out of
// a directory already checked.
Expected<std::vector<std::string>, std::string> componentsOf(const fs::path& path)
{
    if (!path.is_absolute())
        return Unexpected(fmt::format("{} is not an absolute path", path.string()));
    std::vector<std::string> components;
    for (const auto& part : path.relative_path()) {
        const std::string text = part.string();
        if (text.empty() || text == ".")
            continue;
        if (text == "..")
            return Unexpected(fmt::format("{} contains ..", path.string()));
        components.push_back(text);
    }
    return components;
}

Expected<FileDescriptor, std::string> walkDirectories(
    const fs::path& shownPath, const std::vector<std::string>& components, std::size_t count)
{
    FileDescriptor directory(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!directory)
        return Unexpected(fmt::format("/: {}", errnoText(errno)));
    if (auto checked = checkDescriptor(directory.get(), "/", Expect::directory); !checked)
        return Unexpected(checked.error());
    fs::path walked = "/";
    for (std::size_t index = 0; index < count; ++index) {
        walked /= components[index];
        FileDescriptor next(::openat(
            directory.get(), components[index].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next) {
            const int error = errno;
            // O_NOFOLLOW on a link reports ELOOP, O_DIRECTORY on a link to a file ENOTDIR.
            if (error == ELOOP || error == ENOTDIR)
                return Unexpected(fmt::format("{} is a symbolic link or not a directory", walked.string()));
            return Unexpected(fmt::format("{}: {}", walked.string(), errnoText(error)));
        }
        if (auto checked = checkDescriptor(next.get(), walked.string(), Expect::directory); !checked)
            return Unexpected(checked.error());
        directory = std::move(next);
    }
    (void)shownPath;
    return directory;
}

}

bool TrustedFile::isTrustedOwner(uid_t owner)
{
    return owner == 0 || owner == ::geteuid();
}

Expected<FileDescriptor, std::string> TrustedFile::openDirectory(const fs::path& path)
{
    auto components = componentsOf(path);
    if (!components)
        return Unexpected(components.error());
    return walkDirectories(path, *components, components->size());
}

Expected<FileDescriptor, std::string> TrustedFile::openExecutableAt(int directory, const std::string& name)
{
    return openAt(directory, name, true);
}

Expected<FileDescriptor, std::string> TrustedFile::openAt(int directory, const std::string& name, bool executable)
{
    // O_NONBLOCK: a FIFO planted under the name must not block the open.
    FileDescriptor file(::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file) {
        const int error = errno;
        if (error == ELOOP)
            return Unexpected(fmt::format("{} is a symbolic link", name));
        return Unexpected(fmt::format("{}: {}", name, errnoText(error)));
    }
    if (auto checked = checkDescriptor(file.get(), name, executable ? Expect::executable : Expect::file); !checked)
        return Unexpected(checked.error());
    return file;
}

Expected<FileDescriptor, std::string> TrustedFile::openExecutable(const fs::path& path)
{
    auto components = componentsOf(path);
    if (!components)
        return Unexpected(components.error());
    if (components->empty())
        return Unexpected(std::string("/ is not a file"));
    auto directory = walkDirectories(path, *components, components->size() - 1);
    if (!directory)
        return Unexpected(directory.error());
    auto file = openExecutableAt(directory->get(), components->back());
    if (!file)
        return Unexpected(fmt::format("{}: {}", path.string(), file.error()));
    return file;
}

Expected<FileDescriptor, std::string> TrustedFile::makeDirectory(const fs::path& path)
{
    auto components = componentsOf(path);
    if (!components)
        return Unexpected(components.error());
    if (components->empty())
        return openDirectory(path);
    auto parent = walkDirectories(path, *components, components->size() - 1);
    if (!parent)
        return Unexpected(parent.error());
    const std::string& name = components->back();
    if (::mkdirat(parent->get(), name.c_str(), 0755) != 0 && errno != EEXIST)
        return Unexpected(fmt::format("{}: {}", path.string(), errnoText(errno)));
    FileDescriptor directory(
        ::openat(parent->get(), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory)
        return Unexpected(fmt::format("{}: {}", path.string(), errnoText(errno)));
    if (auto checked = checkDescriptor(directory.get(), path.string(), Expect::directory); !checked)
        return Unexpected(checked.error());
    return directory;
}

}
