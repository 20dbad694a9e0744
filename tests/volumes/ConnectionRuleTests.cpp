#include "support/LanguageGuard.h"
#include "support/FakeDeviceRegistry.h"
#include "volumes/ConnectionClassifier.h"
#include "volumes/DiskVolumeResolver.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

namespace tallowin {
namespace {

using testing::FakeDeviceRegistry;
using testing::LanguageGuard;
using Metadata = DiskVolumeResolver::ConnectionMetadata;

RegistryDictionary dictionary(std::initializer_list<std::pair<const char*, RegistryValue>> entries)
{
    RegistryDictionary result;
    for (const auto& [key, value] : entries)
        result.set(key, value);
    return result;
}

TEST(SpeedTexts, NumbersAreReadAsBitsGigabitsOrKilobitsByTheirSize)
{
    using ConnectionClassifier::numericSpeedText;
    EXPECT_EQ(numericSpeedText(8), "8Gbps");
    EXPECT_EQ(numericSpeedText(2.5), "2.5Gbps");
    EXPECT_EQ(numericSpeedText(128), "128Gbps");
    EXPECT_EQ(numericSpeedText(5'000'000'000), "5Gbps");
    EXPECT_EQ(numericSpeedText(480'000'000), "480Mbps");
    EXPECT_EQ(numericSpeedText(1'500'000), "1.5Mbps");
    EXPECT_EQ(numericSpeedText(40e12), "40Tbps");
    EXPECT_EQ(numericSpeedText(480), "480");
    EXPECT_EQ(numericSpeedText(5000), "5Mbps");
    EXPECT_EQ(numericSpeedText(999'999), "1000Mbps");
    EXPECT_EQ(ConnectionClassifier::numberText(2.456), "2.46");
    EXPECT_EQ(ConnectionClassifier::numberText(2.5), "2.5");
    EXPECT_EQ(ConnectionClassifier::numberText(8), "8");
    EXPECT_EQ(ConnectionClassifier::numberText(1e9), "1000000000");
}

TEST(SpeedTexts, TextsWithUnitsStayAndBareNumbersAreGigabits)
{
    using ConnectionClassifier::speedText;
    EXPECT_EQ(speedText("8.0 GT/s"), "8.0 GT/s");
    EXPECT_EQ(speedText("  6.0 Gbps \n"), "6.0 Gbps");
    EXPECT_EQ(speedText("16"), "16Gbps");
    EXPECT_EQ(speedText("2.50"), "2.5Gbps");
    EXPECT_EQ(speedText("fast"), "fast");
    EXPECT_EQ(speedText("1.2.3"), "1.2.3");
    EXPECT_EQ(speedText("inf"), "inf");
    EXPECT_FALSE(speedText(" \n"));
}

TEST(SpeedOfDictionary, FollowsTheNameOrderKindsAndNesting)
{
    using ConnectionClassifier::speedOfDictionary;
    EXPECT_EQ(speedOfDictionary(dictionary({ { "IOPCIExpressLinkSpeed", 8 } })), "8Gbps");
    EXPECT_EQ(speedOfDictionary(dictionary({ { "IOPCIExpressLinkSpeed", 2.5 } })), "2.5Gbps");
    // Numbers of any name beat texts; an earlier name beats a later one.
    EXPECT_EQ(
        speedOfDictionary(dictionary({ { "link-speed", "6.0 Gbps" }, { "PCIeLinkRate", 16 } })), "16Gbps");
    EXPECT_EQ(speedOfDictionary(dictionary({ { "PCIeLinkRate", 16 }, { "LinkSpeed", 8 } })), "8Gbps");
    // Zero, negative and non-finite numbers are no speed.
    EXPECT_FALSE(speedOfDictionary(dictionary({ { "link-speed", 0 }, { "LinkSpeed", -1 },
        { "linkSpeed", std::numeric_limits<double>::infinity() } })));
    EXPECT_EQ(speedOfDictionary(dictionary({ { "LinkDescription", "USB 3.2 Gen 2 (10 Gbps)" } })),
        "USB 3.2 Gen 2 (10 Gbps)");
    EXPECT_EQ(
        speedOfDictionary(dictionary({ { "LinkSpeed", dictionary({ { "Current", 5e9 } }) } })), "5Gbps");
    EXPECT_EQ(speedOfDictionary(dictionary({ { "LinkSpeed", dictionary({ { "rate", "12" } }) } })), "12Gbps");
    // Nested dictionaries are searched two levels down, not three.
    auto twoDown = dictionary({ { "a", dictionary({ { "b", dictionary({ { "link-speed", 8 } }) } }) } });
    EXPECT_EQ(speedOfDictionary(twoDown), "8Gbps");
    auto threeDown = dictionary({ { "a", twoDown } });
    EXPECT_FALSE(speedOfDictionary(threeDown));
}

TEST(InterconnectType, ReadsPhysicalInterconnectThenProtocolCharacteristics)
{
    using ConnectionClassifier::interconnectType;
    EXPECT_EQ(interconnectType(dictionary({ { "Physical Interconnect", "  SATA\n" } })), "SATA");
    EXPECT_FALSE(interconnectType(dictionary({ { "Physical Interconnect", "  " } })));
    auto nested = dictionary({ { "Protocol Characteristics",
        dictionary(
            { { "Physical Interconnect Location", "External" }, { "Physical Interconnect", "USB" } }) } });
    EXPECT_EQ(interconnectType(nested), "USB");
    // Without the key, the first text met inside the protocol dictionary is the type.
    auto firstText = dictionary({ { "protocol characteristics",
        dictionary({ { "Numbers", 3 },
            { "List", RegistryArray { RegistryValue(7), RegistryValue("Apple Fabric") } } }) } });
    EXPECT_EQ(interconnectType(firstText), "Apple Fabric");
    EXPECT_FALSE(interconnectType(dictionary({ { "model", "x" } })));
    auto secondName = dictionary({ { "Protocol Characteristics", dictionary({ { "Count", 1 } }) },
        { "protocol characteristics", dictionary({ { "Physical Interconnect", "SAS" } }) } });
    EXPECT_EQ(interconnectType(secondName), "SAS");
}

class ConnectionRule : public ::testing::Test {
protected:
    std::optional<Metadata> classify(const RegistryObjectRef& object)
    {
        return ConnectionClassifier::classify(registry, object);
    }
    FakeDeviceRegistry registry;
    LanguageGuard english { "en_US" };
};

TEST_F(ConnectionRule, UsbDeviceSpeedCodesAndWords)
{
    auto usb3
        = registry.add("block", dictionary({ { "Physical Interconnect", "USB" }, { "Device Speed", 3 } }));
    EXPECT_EQ(classify(usb3), (Metadata { "USB 3.0", "5Gbps", std::nullopt, std::nullopt }));

    auto plus = registry.add("block",
        dictionary({ { "Physical Interconnect", "usb" }, { "PortCurrentSpeed", " SuperSpeedPlus " } }));
    EXPECT_EQ(classify(plus), (Metadata { "USB 3.2 Gen2x2", "20Gbps", std::nullopt, std::nullopt }));

    // An unknown code falls to the other USB properties, then to the ancestors.
    auto hub = registry.add("usb", dictionary({ { "USBCurrentSpeed", 2 } }));
    auto odd = registry.add(
        "block", dictionary({ { "Physical Interconnect", "USB" }, { "Device Speed", 9 } }), hub);
    EXPECT_EQ(classify(odd), (Metadata { "USB 2.0", "480Mbps", std::nullopt, std::nullopt }));

    auto unknown = registry.add(
        "block", dictionary({ { "Physical Interconnect", "USB" }, { "PortMaximumSpeed", "warp" } }));
    EXPECT_EQ(classify(unknown), (Metadata { "USB", std::nullopt, std::nullopt, std::nullopt }));
}

TEST_F(ConnectionRule, AGeneralLinkSpeedOnAnAncestorWinsOverTheUsbCode)
{
    auto controller = registry.add("pci", dictionary({ { "IOPCIExpressLinkSpeed", 8 } }));
    auto bridge = registry.add("usb", {}, controller);
    auto device = registry.add(
        "block", dictionary({ { "Physical Interconnect", "USB" }, { "Device Speed", 3 } }), bridge);
    EXPECT_EQ(classify(device), (Metadata { "USB 3.0", "8Gbps", std::nullopt, std::nullopt }));

    // Eight ancestors are examined, not nine.
    RegistryObjectRef chain = registry.add("pci", dictionary({ { "IOPCIExpressLinkSpeed", 8 } }));
    for (int i = 0; i < 8; ++i)
        chain = registry.add("x", {}, chain);
    auto far = registry.add(
        "block", dictionary({ { "Physical Interconnect", "USB" }, { "Device Speed", 3 } }), chain);
    EXPECT_EQ(classify(far)->speed, "5Gbps");
}

TEST_F(ConnectionRule, ThunderboltGenerationsInBothLanguages)
{
    auto tb3 = registry.add(
        "x", dictionary({ { "Physical Interconnect", "Thunderbolt" }, { "ThunderboltGeneration", 3 } }));
    EXPECT_EQ(classify(tb3), (Metadata { "Thunderbolt 3", "40Gbps", std::nullopt, std::nullopt }));
    auto tb5 = registry.add("x",
        dictionary({ { "Physical Interconnect", "thunderbolt" },
            { "Nested", dictionary({ { "thunderbolt_version", 5 } }) } }));
    EXPECT_EQ(classify(tb5), (Metadata { "Thunderbolt", std::nullopt, std::nullopt, std::nullopt }));
    auto bare = registry.add("x", dictionary({ { "Physical Interconnect", "Thunderbolt" } }));

    LanguageGuard chinese { "zh_CN" };
    EXPECT_EQ(classify(tb3), (Metadata { "雷雳 3", "40Gbps", std::nullopt, std::nullopt }));
    EXPECT_EQ(classify(tb5)->type, "雷雳");
    EXPECT_EQ(classify(bare)->type, "雷雳");
}

TEST_F(ConnectionRule, PciNamesBecomePCIeAndOtherTypesStayAsRead)
{
    auto nvme = registry.add(
        "x", dictionary({ { "Physical Interconnect", "PCI-Express" }, { "IOPCIExpressLinkSpeed", 8 } }));
    EXPECT_EQ(classify(nvme), (Metadata { "PCIe", "8Gbps", std::nullopt, std::nullopt }));
    auto sata = registry.add("x", dictionary({ { "Physical Interconnect", "SATA" } }));
    EXPECT_EQ(classify(sata), (Metadata { "SATA", std::nullopt, std::nullopt, std::nullopt }));
    auto fabric = registry.add("x", dictionary({ { "Physical Interconnect", "Apple Fabric" } }));
    EXPECT_EQ(classify(fabric)->type, "Apple Fabric");
}

TEST_F(ConnectionRule, WithoutATypeSpeedOrIdentityTheObjectYieldsNothing)
{
    auto empty = registry.add("x", dictionary({ { "size", "1000" } }));
    EXPECT_FALSE(classify(empty));
    auto failing = registry.add("x", dictionary({ { "Physical Interconnect", "SATA" } }));
    registry.failProperties(failing, 5);
    EXPECT_FALSE(classify(failing));

    auto speedOnly = registry.add("x", dictionary({ { "link-speed", 480'000'000 } }));
    EXPECT_EQ(classify(speedOnly), (Metadata { "Unknown", "480Mbps", std::nullopt, std::nullopt }));
    auto vendorOnly = registry.add("x", dictionary({ { "manufacturer", "Acme" } }));
    EXPECT_EQ(classify(vendorOnly), (Metadata { "Unknown", std::nullopt, "Acme", std::nullopt }));
    LanguageGuard chinese { "zh-Hans" };
    EXPECT_EQ(classify(vendorOnly)->type, "未知");
}

TEST(HardwareIdentity, TextsThenNumericIdsThenBinaryModels)
{
    using DiskVolumeResolver::modelText;
    using DiskVolumeResolver::vendorText;
    EXPECT_EQ(vendorText(dictionary({ { "vendor", "  ATA  " }, { "manufacturer", "Samsung" } })), "Samsung");
    EXPECT_EQ(vendorText(dictionary({ { "Vendor Name", " " }, { "idVendor", 1452 } })), "0x05AC");
    EXPECT_EQ(vendorText(dictionary({ { "vendor-id", 0x144d } })), "0x144D");
    EXPECT_EQ(vendorText(dictionary({ { "vendor", 12 } })), std::nullopt);
    EXPECT_EQ(modelText(dictionary({ { "idProduct", 0x5567 } })), "0x5567");
    EXPECT_EQ(
        modelText(dictionary({ { "model", RegistryData { 'S', 'S', 'D', ' ', ' ', ' ', '\n' } } })), "SSD");
    EXPECT_EQ(modelText(dictionary({ { "model", RegistryData { 'X', 0, 0 } } })), "X");
    EXPECT_EQ(modelText(dictionary({ { "model", RegistryData { 0xff, 0xfe } } })), std::nullopt);
    EXPECT_EQ(modelText(dictionary({ { "model", RegistryData { ' ', ' ' } } })), std::nullopt);
}

TEST(HardwareIdentity, MissingPartsComeFromUpToTenAncestors)
{
    FakeDeviceRegistry registry;
    auto top = registry.add("x", dictionary({ { "manufacturer", "Far Away" } }));
    RegistryObjectRef chain = top;
    for (int i = 0; i < 8; ++i)
        chain = registry.add("x", {}, chain);
    auto unreadable = registry.add("x", dictionary({ { "manufacturer", "Hidden" } }), chain);
    registry.failProperties(unreadable, 5);
    auto drive = registry.add("x", dictionary({ { "model", "Drive" } }), unreadable);
    auto identity = DiskVolumeResolver::hardwareIdentity(registry, drive, *registry.properties(drive));
    // The unreadable parent counts as one of the ten, so the vendor ten levels up is found.
    EXPECT_EQ(identity, (DiskVolumeResolver::HardwareIdentity { "Far Away", "Drive" }));
    auto deeper = registry.add("x", {}, drive);
    EXPECT_EQ(DiskVolumeResolver::hardwareIdentity(registry, deeper, {}).vendor, std::nullopt);
    EXPECT_EQ(registry.outstandingReferences(top), 0);
}

TEST(ConnectionSearch, WalksUpFromTheMatchAndFallsBackToUnknown)
{
    LanguageGuard english { "en" };
    FakeDeviceRegistry registry;
    auto controller = registry.add("nvme", dictionary({ { "Physical Interconnect", "PCI-Express" } }));
    auto disk = registry.add("block", dictionary({ { "size", "1" } }), controller);
    registry.setBSDName(disk, "nvme0n1");
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("nvme0n1", registry), (Metadata { "PCIe", {}, {}, {} }));
    // Anything known above the match (here a model) makes the match itself answer.
    registry.setProperty(controller, "model", "Fast");
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("nvme0n1", registry),
        (Metadata { "Unknown", {}, {}, "Fast" }));

    // A first match with nothing known on its chain gives way to the second match.
    auto lonely = registry.add("block", {});
    auto usb
        = registry.add("block", dictionary({ { "Physical Interconnect", "USB" }, { "Device Speed", 2 } }));
    registry.setBSDName(lonely, "sdb");
    registry.setBSDName(usb, "sdb");
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("sdb", registry).type, "USB 2.0");

    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("sdz", registry), (Metadata { "Unknown", {}, {}, {} }));
    registry.failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::lookupFailed, 5 });
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("nvme0n1", registry).type, "Unknown");
    {
        LanguageGuard chinese { "zh_TW" };
        EXPECT_EQ(DiskVolumeResolver::connectionMetadata("nvme0n1", registry).type, "未知");
    }
    registry.failMatching(std::nullopt);
    EXPECT_EQ(registry.outstandingReferences(controller), 0);
    EXPECT_EQ(registry.outstandingReferences(disk), 0);
}

TEST(ConnectionSearch, ExaminesTheMatchAndTwelveAncestorsAtMost)
{
    FakeDeviceRegistry registry;
    auto known = registry.add("x", dictionary({ { "Physical Interconnect", "SATA" } }));
    RegistryObjectRef chain = known;
    for (int i = 0; i < 12; ++i)
        chain = registry.add("x", {}, chain);
    registry.setBSDName(chain, "near");
    auto beyond = registry.add("x", {}, chain);
    registry.setBSDName(beyond, "far");
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("near", registry).type, "SATA");
    LanguageGuard english { "en" };
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("far", registry).type, "Unknown");
}

}
}
