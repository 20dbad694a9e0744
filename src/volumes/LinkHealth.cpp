#include "volumes/LinkHealth.h"

#include "core/Language.h"
#include "platform/SysfsFiles.h"
#include "volumes/ConnectionClassifier.h"

#include <algorithm>
#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace tallowin {

namespace {

// PCI base class 01 (mass storage), subclass 08 (non-volatile memory): an NVMe controller, the
// one PCI function whose link is the drive's own.
constexpr std::uint64_t nvmeControllerClass = 0x0108;
// Far more than any real chain from a block device to the PCI root.
constexpr int maximumAncestors = 32;

std::optional<std::string> textOf(const RegistryDictionary& properties, std::string_view key)
{
    const auto* value = properties.find(key);
    if (!value || !value->text())
        return std::nullopt;
    return *value->text();
}

std::optional<double> numberOf(const RegistryDictionary& properties, std::string_view key)
{
    const auto* value = properties.find(key);
    if (!value)
        return std::nullopt;
    if (const auto* number = value->number(); number && number->isFinite())
        return number->asDouble();
    if (const auto* text = value->text())
        return sysfs::leadingNumber(*text);
    return std::nullopt;
}

// A positive number at the start of an attribute ("8.0 GT/s PCIe", " 3.20", "4"); "Unknown"
// and "0" (a link that is down) are nothing.
std::optional<double> positiveNumber(const RegistryDictionary& properties, std::string_view key)
{
    auto number = numberOf(properties, key);
    if (!number || *number <= 0)
        return std::nullopt;
    return number;
}

std::optional<int> positiveInteger(const RegistryDictionary& properties, std::string_view key)
{
    auto number = positiveNumber(properties, key);
    if (!number)
        return std::nullopt;
    return static_cast<int>(*number);
}

LinkFacts::Kind kindOf(std::string_view interconnect)
{
    if (interconnect == "USB")
        return LinkFacts::Kind::usb;
    if (interconnect == "PCI-Express")
        return LinkFacts::Kind::pcie;
    if (interconnect == "SATA")
        return LinkFacts::Kind::sata;
    if (interconnect == "SAS")
        return LinkFacts::Kind::sas;
    if (interconnect == "Thunderbolt")
        return LinkFacts::Kind::thunderbolt;
    return LinkFacts::Kind::unknown;
}

template<typename T> std::optional<T> smaller(std::optional<T> a, std::optional<T> b)
{
    if (a && b)
        return std::min(*a, *b);
    return a ? a : b;
}

// The share of the line rate left for data by the line code: 8b/10b up to 5 GT/s (PCIe 1–2,
// USB 3 Gen 1, SATA, SAS up to 12 Gb/s), 128b/130b for PCIe 3–5, 242B/256B flits for PCIe 6.
double pcieEncoding(double gigatransfers)
{
    if (gigatransfers <= 5.0)
        return 0.8;
    if (gigatransfers <= 32.0)
        return 128.0 / 130.0;
    return 242.0 / 256.0;
}

std::string number(double value)
{
    return ConnectionClassifier::numberText(value);
}

std::optional<LinkCeiling> pcieCeiling(const LinkFacts& facts)
{
    if (!facts.pcieGigatransfers || !facts.pcieWidth)
        return std::nullopt;
    double gigatransfers = *facts.pcieGigatransfers;
    double bytes = gigatransfers * 1e9 * pcieEncoding(gigatransfers) / 8 * *facts.pcieWidth;
    return LinkCeiling { fmt::format("PCIe {} GT/s x{}", number(gigatransfers), *facts.pcieWidth), bytes };
}

std::optional<LinkCeiling> usbCeiling(const LinkFacts& facts)
{
    auto megabits = facts.usbMegabits;
    if (!megabits && facts.lineGigabits)
        megabits = *facts.lineGigabits * 1000;
    if (!megabits)
        return std::nullopt;
    // USB 1 and 2 send NRZI with bit stuffing: the raw rate is the bound. USB 3 Gen 1 uses
    // 8b/10b; Gen 2 and Gen 2x2 use 128b/132b.
    double efficiency = *megabits <= 480 ? 1.0 : *megabits <= 5000 ? 0.8 : 128.0 / 132.0;
    std::string speed = *megabits >= 1000 ? fmt::format("{} Gb/s", number(*megabits / 1000))
                                          : fmt::format("{} Mb/s", number(*megabits));
    return LinkCeiling { fmt::format("USB {}", speed), *megabits * 1e6 * efficiency / 8 };
}

}

LinkFacts linkFacts(DeviceRegistry& registry, std::string_view bsdName)
{
    LinkFacts facts;
    auto matches = registry.matchBSDName(bsdName);
    if (!matches || matches->empty())
        return facts;
    auto object = matches->front();
    if (auto properties = registry.properties(object)) {
        facts.kind = kindOf(textOf(*properties, "Physical Interconnect").value_or(""));
        if (auto bits = positiveNumber(*properties, "link-speed"))
            facts.lineGigabits = *bits / 1e9;
    }

    bool sawUsbDevice = false;
    bool sawPciFunction = false;
    bool drivePciFunction = false;
    for (int level = 0; level < maximumAncestors; ++level) {
        auto parent = registry.parent(object);
        if (!parent)
            break;
        object = *parent;
        auto className = registry.className(object).value_or("");
        if (className != "usb" && className != "pci")
            continue;
        auto properties = registry.properties(object);
        if (!properties)
            continue;
        if (className == "usb" && !sawUsbDevice && textOf(*properties, "DEVTYPE") == "usb_device") {
            sawUsbDevice = true;
            facts.usbVersion = positiveNumber(*properties, "version");
            facts.usbMegabits = positiveNumber(*properties, "speed");
        } else if (className == "pci" && !sawPciFunction) {
            sawPciFunction = true;
            auto pciClass = textOf(*properties, "class");
            auto code = pciClass ? sysfs::parseHexIdentifier(*pciClass) : std::nullopt;
            // A USB, SATA or SD host controller's link is the controller's, not the drive's.
            if (!code || (*code >> 8) != nvmeControllerClass)
                break;
            drivePciFunction = true;
            facts.pcieGigatransfers = positiveNumber(*properties, "current_link_speed");
            facts.pcieMaximumGigatransfers = positiveNumber(*properties, "max_link_speed");
            facts.pcieWidth = positiveInteger(*properties, "current_link_width");
            facts.pcieMaximumWidth = positiveInteger(*properties, "max_link_width");
        } else if (className == "pci" && drivePciFunction) {
            // The port above the drive: the link can be no faster or wider than it allows.
            facts.pcieMaximumGigatransfers
                = smaller(facts.pcieMaximumGigatransfers, positiveNumber(*properties, "max_link_speed"));
            facts.pcieMaximumWidth
                = smaller(facts.pcieMaximumWidth, positiveInteger(*properties, "max_link_width"));
            break;
        }
    }
    return facts;
}

std::vector<LinkWarning> linkWarnings(const LinkFacts& facts, const std::optional<SataInterfaceSpeed>& sata)
{
    std::vector<LinkWarning> warnings;
    if (facts.usbVersion && *facts.usbVersion >= 3.0 && facts.usbMegabits && *facts.usbMegabits <= 480) {
        auto version = number(*facts.usbVersion);
        auto speed = number(*facts.usbMegabits);
        warnings.push_back({ "usb-speed",
            localized(
                fmt::format("This USB {} drive runs at {} Mb/s, USB 2 speed. Connect it to a USB 3 port, "
                            "directly or through a USB 3 hub and cable.",
                    version, speed),
                fmt::format("这个 USB {} 硬盘只以 {} Mb/s（USB 2 速度）运行。请把它直接连接到 USB 3 "
                            "端口，或使用 USB 3 集线器和数据线。",
                    version, speed)) });
    }
    if (facts.pcieGigatransfers && facts.pcieMaximumGigatransfers
        && *facts.pcieGigatransfers + 0.01 < *facts.pcieMaximumGigatransfers) {
        auto current = number(*facts.pcieGigatransfers);
        auto maximum = number(*facts.pcieMaximumGigatransfers);
        warnings.push_back({ "pcie-speed",
            localized(fmt::format("The PCIe link runs at {} GT/s, but the drive and its slot can do {} GT/s.",
                          current, maximum),
                fmt::format("PCIe 链路以 {} GT/s 运行，而硬盘和插槽都支持 {} GT/s。", current, maximum)) });
    }
    if (facts.pcieWidth && facts.pcieMaximumWidth && *facts.pcieWidth < *facts.pcieMaximumWidth) {
        warnings.push_back({ "pcie-width",
            localized(fmt::format("The PCIe link uses x{} lanes, but the drive and its slot can use x{}.",
                          *facts.pcieWidth, *facts.pcieMaximumWidth),
                fmt::format("PCIe 链路只使用 x{} 通道，而硬盘和插槽都支持 x{}。", *facts.pcieWidth,
                    *facts.pcieMaximumWidth)) });
    }
    if (sata && sata->currentGigabits && sata->maximumGigabits
        && *sata->currentGigabits + 0.01 < *sata->maximumGigabits) {
        auto current = number(*sata->currentGigabits);
        auto maximum = number(*sata->maximumGigabits);
        warnings.push_back({ "sata-speed",
            localized(
                fmt::format("The SATA link runs at {} Gb/s, but the drive can do {} Gb/s. Check the cable "
                            "and the port.",
                    current, maximum),
                fmt::format("SATA 链路以 {} Gb/s 运行，而硬盘支持 {} Gb/s。请检查数据线和接口。", current,
                    maximum)) });
    }
    return warnings;
}

std::vector<LinkWarning> linkWarnings(
    DeviceRegistry& registry, std::string_view bsdName, const std::optional<SataInterfaceSpeed>& sata)
{
    return linkWarnings(linkFacts(registry, bsdName), sata);
}

std::optional<LinkCeiling> linkCeiling(const LinkFacts& facts)
{
    switch (facts.kind) {
    case LinkFacts::Kind::usb:
        return usbCeiling(facts);
    case LinkFacts::Kind::pcie:
        return pcieCeiling(facts);
    case LinkFacts::Kind::sata:
    case LinkFacts::Kind::sas: {
        if (!facts.lineGigabits)
            return std::nullopt;
        // 8b/10b up to 12 Gb/s; SAS-4's 22.5 Gb/s uses 128b/150b.
        double gigabits = *facts.lineGigabits;
        double efficiency = gigabits <= 12 ? 0.8 : 128.0 / 150.0;
        return LinkCeiling { fmt::format("{} {} Gb/s", facts.kind == LinkFacts::Kind::sata ? "SATA" : "SAS",
                                 number(gigabits)),
            gigabits * 1e9 * efficiency / 8 };
    }
    case LinkFacts::Kind::thunderbolt: {
        std::optional<LinkCeiling> ceiling;
        if (facts.lineGigabits)
            // Thunderbolt 3 and 4 send 64b/66b on the wire.
            ceiling = LinkCeiling { fmt::format("Thunderbolt {} Gb/s", number(*facts.lineGigabits)),
                *facts.lineGigabits * 1e9 * 64.0 / 66.0 / 8 };
        // The drive's own PCIe link behind the tunnel may be the narrower one.
        if (auto pcie = pcieCeiling(facts);
            pcie && (!ceiling || pcie->bytesPerSecond < ceiling->bytesPerSecond))
            ceiling = pcie;
        return ceiling;
    }
    case LinkFacts::Kind::unknown:
        break;
    }
    return std::nullopt;
}

std::optional<SataInterfaceSpeed> sataInterfaceSpeed(std::string_view smartctlJson)
{
    auto report = nlohmann::json::parse(smartctlJson, nullptr, false);
    if (report.is_discarded() || !report.is_object())
        return std::nullopt;
    auto speeds = report.find("interface_speed");
    if (speeds == report.end() || !speeds->is_object())
        return std::nullopt;
    auto gigabits = [&](const char* which) -> std::optional<double> {
        auto entry = speeds->find(which);
        if (entry == speeds->end() || !entry->is_object())
            return std::nullopt;
        auto units = entry->find("units_per_second");
        auto bits = entry->find("bits_per_unit");
        if (units == entry->end() || bits == entry->end() || !units->is_number() || !bits->is_number())
            return std::nullopt;
        double value = units->get<double>() * bits->get<double>() / 1e9;
        if (!(value > 0))
            return std::nullopt;
        return value;
    };
    SataInterfaceSpeed speed { gigabits("current"), gigabits("max") };
    if (!speed.currentGigabits && !speed.maximumGigabits)
        return std::nullopt;
    return speed;
}

}
