#pragma once

#include "platform/DeviceRegistry.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tallowin {

// A link that negotiated less than both of its ends can do. `kind` is one of "usb-speed",
// "pcie-speed", "pcie-width", "sata-speed"; `message` is in the user's language.
struct LinkWarning {
    std::string kind;
    std::string message;

    friend bool operator==(const LinkWarning&, const LinkWarning&) = default;
};

// What a drive's own link negotiated, and what its ends could do, as far as the registry knows.
struct LinkFacts {
    enum class Kind {
        unknown,
        usb,
        pcie,
        sata,
        sas,
        thunderbolt,
    };
    Kind kind { Kind::unknown };
    // The negotiated line rate of the drive's link in Gb/s (USB, SATA, SAS, Thunderbolt).
    std::optional<double> lineGigabits;
    // The USB device descriptor's version (bcdUSB: 2.0, 3.2 …) and its negotiated speed in Mb/s.
    std::optional<double> usbVersion;
    std::optional<double> usbMegabits;
    // The drive's own PCIe function (an NVMe controller): its link now, and the most that both
    // it and the port above it can do.
    std::optional<double> pcieGigatransfers;
    std::optional<double> pcieMaximumGigatransfers;
    std::optional<int> pcieWidth;
    std::optional<int> pcieMaximumWidth;

    friend bool operator==(const LinkFacts&, const LinkFacts&) = default;
};

// SATA interface speeds in Gb/s, as smartctl reports them (`interface_speed`).
struct SataInterfaceSpeed {
    std::optional<double> currentGigabits;
    std::optional<double> maximumGigabits;

    friend bool operator==(const SataInterfaceSpeed&, const SataInterfaceSpeed&) = default;
};

// The most payload a link can carry, in bytes per second, and how it is named to the user.
struct LinkCeiling {
    std::string link;
    double bytesPerSecond { 0 };

    friend bool operator==(const LinkCeiling&, const LinkCeiling&) = default;
};

// The link facts of the block device with this name (a disk or a partition; a stacked device
// has no link of its own, so ask for each disk below it).
LinkFacts linkFacts(DeviceRegistry&, std::string_view bsdName);

// The warnings of a link: a USB 3 device at USB 2 speed or below, a PCIe link below the speed or
// width both ends support, a SATA link below the drive's maximum.
std::vector<LinkWarning> linkWarnings(const LinkFacts&, const std::optional<SataInterfaceSpeed>& = {});
std::vector<LinkWarning> linkWarnings(
    DeviceRegistry&, std::string_view bsdName, const std::optional<SataInterfaceSpeed>& = {});

// The payload ceiling of a link: its line rate less the line encoding (8b/10b, 128b/130b …), a
// bound no transfer can pass. Nothing when the link is unknown (virtio, loop, network …).
std::optional<LinkCeiling> linkCeiling(const LinkFacts&);

// smartctl's `interface_speed` in a `smartctl -j` report; nothing when the report has none.
std::optional<SataInterfaceSpeed> sataInterfaceSpeed(std::string_view smartctlJson);

}
