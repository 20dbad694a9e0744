#include "platform/SysfsFiles.h"

#include "core/FileDescriptor.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallowin::sysfs {

// A small attribute file as text without its final line break; nothing when it cannot be
// read, is binary or is larger than an attribute should be. Never blocks on a slow device:
// the file is opened non-blocking and read once.
std::optional<std::string> readAttribute(const std::string& path)
{
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (file.get() < 0)
        return std::nullopt;
    std::string text(maximumAttributeSize + 1, '\0');
    std::size_t length = 0;
    while (length < text.size()) {
        ssize_t count = ::read(file.get(), text.data() + length, text.size() - length);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            return std::nullopt;
        if (count == 0)
            break;
        length += static_cast<std::size_t>(count);
    }
    if (length > maximumAttributeSize)
        return std::nullopt;
    text.resize(length);
    if (text.find('\0') != std::string::npos)
        return std::nullopt;
    while (!text.empty() && text.back() == '\n')
        text.pop_back();
    return text;
}

std::optional<std::string> realPath(const std::string& path)
{
    char buffer[PATH_MAX];
    if (!::realpath(path.c_str(), buffer))
        return std::nullopt;
    return std::string(buffer);
}

std::string basename(std::string_view path)
{
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string dirname(std::string_view path)
{
    auto slash = path.rfind('/');
    if (slash == std::string_view::npos || slash == 0)
        return "/";
    return std::string(path.substr(0, slash));
}

bool exists(const std::string& path)
{
    struct stat status;
    return ::stat(path.c_str(), &status) == 0;
}

std::optional<std::string> linkBasename(const std::string& path)
{
    char buffer[PATH_MAX];
    ssize_t length = ::readlink(path.c_str(), buffer, sizeof buffer - 1);
    if (length <= 0)
        return std::nullopt;
    return basename(std::string_view(buffer, static_cast<std::size_t>(length)));
}

// Directory entries in name order, so that property order does not depend on the file system.
std::vector<std::string> directoryEntries(const std::string& path)
{
    std::vector<std::string> names;
    DIR* directory = ::opendir(path.c_str());
    if (!directory)
        return names;
    while (const dirent* entry = ::readdir(directory)) {
        std::string_view name(entry->d_name);
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    ::closedir(directory);
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::pair<std::string, std::string>> parseUevent(std::string_view text)
{
    std::vector<std::pair<std::string, std::string>> entries;
    while (!text.empty()) {
        auto end = text.find('\n');
        auto line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view {} : text.substr(end + 1);
        auto equals = line.find('=');
        if (equals == std::string_view::npos || equals == 0)
            continue;
        entries.emplace_back(std::string(line.substr(0, equals)), std::string(line.substr(equals + 1)));
    }
    return entries;
}

std::optional<std::string> ueventValue(const std::string& directory, std::string_view key)
{
    auto text = readAttribute(directory + "/uevent");
    if (!text)
        return std::nullopt;
    for (auto& [name, value] : parseUevent(*text)) {
        if (name == key)
            return value;
    }
    return std::nullopt;
}

std::optional<std::uint64_t> parseUnsigned(std::string_view text, int base)
{
    text = trimmed(text);
    if (base == 16 && (text.starts_with("0x") || text.starts_with("0X")))
        text.remove_prefix(2);
    if (text.empty())
        return std::nullopt;
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc {} || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

// "0x1af4": the hexadecimal ID form of PCI, virtio and Thunderbolt attributes.
std::optional<std::uint64_t> parseHexIdentifier(std::string_view text)
{
    text = trimmed(text);
    if (!text.starts_with("0x") && !text.starts_with("0X"))
        return std::nullopt;
    return parseUnsigned(text, 16);
}

// The leading decimal number of a text such as "8.0 GT/s PCIe", "6.0 Gbps" or "20.0 Gb/s".
std::optional<double> leadingNumber(std::string_view text)
{
    text = trimmed(text);
    double value = 0;
    auto [end, error]
        = std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (error != std::errc {} || end == text.data() || !std::isfinite(value) || value <= 0)
        return std::nullopt;
    return value;
}

}
