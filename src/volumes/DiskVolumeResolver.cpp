#include "volumes/DiskVolumeResolver.h"

#include "core/Formatting.h"
#include "core/Language.h"
#include "volumes/ConnectionClassifier.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <fmt/format.h>
#include <limits.h>
#include <unistd.h>

namespace tallowin::DiskVolumeResolver {

namespace {

using namespace std::string_view_literals;

constexpr std::array vendorKeys { "Vendor Name"sv, "kUSBVendorString"sv, "vendor-name"sv, "manufacturer"sv,
    "Manufacturer"sv, "vendor"sv, "Vendor"sv, "DeviceVendor"sv };
constexpr std::array modelKeys { "Product Name"sv, "model"sv, "kUSBProductString"sv, "product-name"sv,
    "Product"sv, "product"sv, "Model"sv, "DeviceModel"sv, "Device Model"sv };

constexpr int maximumSearchDepth = 12;
constexpr int maximumIdentityAncestors = 10;

using Formatting::trimmed;

std::optional<std::string> firstText(const RegistryDictionary& properties, auto keys)
{
    for (auto key : keys) {
        if (const auto* value = properties.find(key); value && value->text()) {
            auto text = trimmed(*value->text());
            if (!text.empty())
                return std::string(text);
        }
    }
    return std::nullopt;
}

std::optional<std::string> hexIdentifier(const RegistryValue* value)
{
    if (!value || !value->number())
        return std::nullopt;
    return fmt::format("0x{:04X}", value->number()->asUnsigned());
}

bool isValidUtf8(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size()) {
        auto byte = static_cast<unsigned char>(text[i]);
        std::size_t length = byte < 0x80 ? 1
            : (byte >> 5) == 0x6         ? 2
            : (byte >> 4) == 0xE         ? 3
            : (byte >> 3) == 0x1E        ? 4
                                         : 0;
        if (length == 0 || i + length > text.size())
            return false;
        for (std::size_t k = 1; k < length; ++k) {
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2)
                return false;
        }
        i += length;
    }
    return true;
}

// The match and up to twelve of its ancestors, nearest first.
std::optional<ConnectionMetadata> searchChain(
    DeviceRegistry& registry, const RegistryObjectRef& object, int depth)
{
    if (auto metadata = ConnectionClassifier::classify(registry, object))
        return metadata;
    if (depth < maximumSearchDepth) {
        if (auto parent = registry.parent(object))
            return searchChain(registry, *parent, depth + 1);
    }
    return std::nullopt;
}

// A file:// URL's path with %XX escapes decoded; nothing for other schemes.
std::optional<std::string> pathOfLocation(std::string_view location)
{
    auto scheme = location.find("://");
    if (scheme == std::string_view::npos)
        return std::string(location);
    std::string lower(location.substr(0, scheme));
    std::transform(lower.begin(), lower.end(), lower.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower != "file")
        return std::nullopt;
    auto rest = location.substr(scheme + 3);
    // Only local files: an empty host or "localhost".
    auto slash = rest.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    auto host = rest.substr(0, slash);
    if (!host.empty() && host != "localhost")
        return std::nullopt;
    std::string path;
    for (std::size_t i = slash; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && std::isxdigit(static_cast<unsigned char>(rest[i + 1]))
            && std::isxdigit(static_cast<unsigned char>(rest[i + 2]))) {
            path.push_back(static_cast<char>(std::stoi(std::string(rest.substr(i + 1, 2)), nullptr, 16)));
            i += 2;
        } else {
            path.push_back(rest[i]);
        }
    }
    return path;
}

std::string lastPathComponent(std::string_view path)
{
    while (path.size() > 1 && path.back() == '/')
        path.remove_suffix(1);
    if (path == "/")
        return "/";
    auto slash = path.rfind('/');
    return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::optional<std::uint64_t> atLeastOne(const std::optional<std::uint64_t>& value)
{
    if (value && *value >= 1)
        return value;
    return std::nullopt;
}

std::optional<std::uint64_t> nonZero(std::uint64_t value)
{
    if (value == 0)
        return std::nullopt;
    return value;
}

} // namespace

std::optional<std::string> vendorText(const RegistryDictionary& properties)
{
    if (auto text = firstText(properties, vendorKeys))
        return text;
    if (auto identifier = hexIdentifier(properties.find("idVendor")))
        return identifier;
    return hexIdentifier(properties.find("vendor-id"));
}

std::optional<std::string> modelText(const RegistryDictionary& properties)
{
    if (auto text = firstText(properties, modelKeys))
        return text;
    if (auto identifier = hexIdentifier(properties.find("idProduct")))
        return identifier;
    if (const auto* model = properties.find("model"); model && model->data()) {
        std::string_view bytes(reinterpret_cast<const char*>(model->data()->data()), model->data()->size());
        if (isValidUtf8(bytes)) {
            auto text = trimmed(bytes);
            // Fixed-width fields are often padded with NULs as well as spaces.
            while (!text.empty() && text.back() == '\0')
                text = trimmed(text.substr(0, text.size() - 1));
            if (!text.empty())
                return std::string(text);
        }
    }
    return std::nullopt;
}

HardwareIdentity hardwareIdentity(
    DeviceRegistry& registry, const RegistryObjectRef& object, const RegistryDictionary& properties)
{
    HardwareIdentity identity { vendorText(properties), modelText(properties) };
    RegistryObjectRef current = object;
    for (int step = 0; step < maximumIdentityAncestors && (!identity.vendor || !identity.model); ++step) {
        auto parent = registry.parent(current);
        if (!parent)
            break;
        current = std::move(*parent);
        auto ancestorProperties = registry.properties(current);
        if (!ancestorProperties)
            continue;
        if (!identity.vendor)
            identity.vendor = vendorText(*ancestorProperties);
        if (!identity.model)
            identity.model = modelText(*ancestorProperties);
    }
    return identity;
}

ConnectionMetadata fallbackMetadata()
{
    return { localized("Unknown", "未知"), std::nullopt, std::nullopt, std::nullopt };
}

ConnectionMetadata connectionMetadata(std::string_view bsdName, DeviceRegistry& registry)
{
    auto matches = registry.matchBSDName(bsdName);
    if (!matches)
        return fallbackMetadata();
    for (const auto& match : *matches) {
        if (auto result = searchChain(registry, match, 0))
            return *result;
    }
    return fallbackMetadata();
}

Expected<DiskVolumeDescriptor, MonitorError> resolve(
    std::string_view location, DeviceRegistry& registry, MountLookup& mounts)
{
    auto path = pathOfLocation(location);
    if (!path || path->empty() || path->find('\0') != std::string::npos)
        return Unexpected(MonitorError { MonitorError::Kind::invalidSelection });
    if (path->front() != '/') {
        char directory[PATH_MAX];
        if (!::getcwd(directory, sizeof directory))
            return Unexpected(MonitorError { MonitorError::Kind::invalidSelection });
        *path = std::string(directory) + "/" + *path;
    }

    // A path that cannot be resolved (it does not exist) is kept as given; the file-system
    // statistics then fail for it.
    std::string resolved = mounts.resolveSymbolicLinks(*path).value_or(*path);

    auto statistics = mounts.fileSystemStatistics(resolved);
    if (!statistics)
        return Unexpected(MonitorError { MonitorError::Kind::bsdNameResolutionFailed });
    std::string bsdName;
    for (std::size_t start = 0; start <= statistics->mountedFromName.size();) {
        auto end = statistics->mountedFromName.find('/', start);
        if (end == std::string::npos)
            end = statistics->mountedFromName.size();
        if (end > start)
            bsdName = statistics->mountedFromName.substr(start, end - start);
        start = end + 1;
    }
    if (bsdName.empty())
        return Unexpected(MonitorError { MonitorError::Kind::bsdNameResolutionFailed });

    auto resources = mounts.volumeResourceValues(resolved).value_or(VolumeResourceValues {});

    DiskVolumeDescriptor descriptor;
    descriptor.url = resolved;
    descriptor.bsdName = bsdName;
    descriptor.displayName = resources.volumeName ? *resources.volumeName : lastPathComponent(resolved);
    std::string fileSystem(trimmed(statistics->fileSystemTypeName));
    std::transform(fileSystem.begin(), fileSystem.end(), fileSystem.begin(),
        [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    if (!fileSystem.empty())
        descriptor.fileSystemDescription = fileSystem;
    // Products wrap modulo 2^64 like every counter here.
    descriptor.totalCapacityBytes = atLeastOne(resources.totalCapacity);
    if (!descriptor.totalCapacityBytes)
        descriptor.totalCapacityBytes = nonZero(statistics->totalBlocks * statistics->blockSize);
    descriptor.availableCapacityBytes = atLeastOne(resources.availableCapacityForImportantUsage);
    if (!descriptor.availableCapacityBytes)
        descriptor.availableCapacityBytes = atLeastOne(resources.availableCapacityForOpportunisticUsage);
    if (!descriptor.availableCapacityBytes)
        descriptor.availableCapacityBytes = atLeastOne(resources.availableCapacity);
    if (!descriptor.availableCapacityBytes)
        descriptor.availableCapacityBytes = nonZero(statistics->availableBlocks * statistics->blockSize);

    auto metadata = connectionMetadata(bsdName, registry);
    descriptor.connectionTypeDescription = metadata.type;
    descriptor.connectionSpeedDescription = metadata.speed;
    descriptor.hardwareVendor = metadata.vendor;
    descriptor.hardwareModel = metadata.product;
    return descriptor;
}

}
