#pragma once

#include "platform/HardwareIdDatabase.h"
#include "platform/RegistryValue.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tallowin::sysfs {

// What is known about how a drive is attached, gathered from its block device and ancestors.
struct TransportFacts {
    std::optional<std::string> interconnect;
    std::optional<int> usbSpeedCode;
    std::optional<double> linkBitsPerSecond;
    std::optional<double> pciExpressGigatransfers;
    std::optional<int> thunderboltGeneration;
    std::optional<std::string> vendor;
    std::optional<std::string> model;
    std::optional<std::uint64_t> usbVendorID;
    std::optional<std::uint64_t> usbProductID;
    std::optional<std::uint64_t> vendorID;
};

// How the drive of a block device (disk or partition directory under <root>/devices) is
// attached: transport, link speed, vendor and model, looking through stacked devices (device
// mapper, md, multipath NVMe heads) to the drive below.
TransportFacts describeTransport(const std::string& root, const std::string& devicesRoot,
    const HardwareIdDatabase&, const std::string& blockDirectory);
// The facts under the property names that the connection rule reads.
void addTransportFacts(RegistryDictionary&, const TransportFacts&);

// USB `speed` in Mb/s (1.5, 12, 480, 5000, 10000, 20000) to the device speed codes 0–5.
std::optional<int> usbSpeedCode(std::string_view speed);
// The basename of a device directory's `subsystem` link.
std::optional<std::string> subsystemOf(const std::string& directory);

}
