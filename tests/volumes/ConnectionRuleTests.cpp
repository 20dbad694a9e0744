#include "support/FakeDeviceRegistry.h"
#include "support/LanguageGuard.h"
#include "volumes/ConnectionClassifier.h"
#include "volumes/DiskVolumeResolver.h"

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

TEST(SpeedTexts, NumbersAreReadByTheirSizeAndTextsKeepTheirUnits)
{
    using namespace ConnectionClassifier;
    for (auto [number, text] :
        std::initializer_list<std::pair<double, const char*>> { { 8, "8Gbps" }, { 2.5, "2.5Gbps" },
            { 128, "128Gbps" }, { 5e9, "5Gbps" }, { 480e6, "480Mbps" }, { 1.5e6, "1.5Mbps" },
            { 40e12, "40Tbps" }, { 480, "480" }, { 5000, "5Mbps" }, { 999'999, "1000Mbps" } })
        EXPECT_EQ(numericSpeedText(number), text) << number;
    EXPECT_EQ(numberText(2.456), "2.46");
    EXPECT_EQ(numberText(1e9), "1000000000");
    for (auto [input, text] : std::initializer_list<std::pair<const char*, const char*>> {
             { "8.0 GT/s", "8.0 GT/s" }, { "  6.0 Gbps \n", "6.0 Gbps" }, { "16", "16Gbps" },
             { "2.50", "2.5Gbps" }, { "fast", "fast" }, { "1.2.3", "1.2.3" }, { "inf", "inf" } })
        EXPECT_EQ(speedText(input), text) << input;
    EXPECT_FALSE(speedText(" \n"));
}

TEST(SpeedOfDictionary, FollowsTheNameOrderKindsAndNesting)
{
    using ConnectionClassifier::speedOfDictionary;
    // Numbers of any name beat texts; an earlier name beats a later one.
    EXPECT_EQ(
        speedOfDictionary(dictionary({ { "link-speed", "6.0 Gbps" }, { "PCIeLinkRate", 16 } })), "16Gbps");
    EXPECT_EQ(speedOfDictionary(dictionary({ { "PCIeLinkRate", 16 }, { "LinkSpeed", 8 } })), "8Gbps");
    // Zero, negative and non-finite numbers are no speed.
    EXPECT_FALSE(speedOfDictionary(dictionary({ { "link-speed", 0 }, { "LinkSpeed", -1 },
        { "linkSpeed", std::numeric_limits<double>::infinity() } })));
    EXPECT_EQ(speedOfDictionary(dictionary({ { "LinkDescription", "USB 3.2 Gen 2 (10 Gbps)" } })),
        "USB 3.2 Gen 2 (10 Gbps)");
    EXPECT_EQ(speedOfDictionary(dictionary({ { "LinkSpeed", dictionary({ { "rate", "12" } }) } })), "12Gbps");
    // Nested dictionaries are searched two levels down, not three.
    auto twoDown = dictionary({ { "a", dictionary({ { "b", dictionary({ { "link-speed", 8 } }) } }) } });
    EXPECT_EQ(speedOfDictionary(twoDown), "8Gbps");
    EXPECT_FALSE(speedOfDictionary(dictionary({ { "a", twoDown } })));
}

TEST(InterconnectType, ReadsPhysicalInterconnectThenProtocolCharacteristics)
{
    using ConnectionClassifier::interconnectType;
    EXPECT_EQ(interconnectType(dictionary({ { "Physical Interconnect", "  SATA\n" } })), "SATA");
    EXPECT_FALSE(interconnectType(dictionary({ { "Physical Interconnect", "  " } })));
    EXPECT_FALSE(interconnectType(dictionary({ { "model", "x" } })));
    // Without the key, the first text met inside the protocol dictionary is the type.
    auto firstText = dictionary({ { "protocol characteristics",
        dictionary({ { "Numbers", 3 },
            { "List", RegistryArray { RegistryValue(7), RegistryValue("Fabric") } } }) } });
    EXPECT_EQ(interconnectType(firstText), "Fabric");
    auto secondName = dictionary({ { "Protocol Characteristics", dictionary({ { "Count", 1 } }) },
        { "protocol characteristics",
            dictionary({ { "Physical Interconnect Location", "External" },
                { "Physical Interconnect", "SAS" } }) } });
    EXPECT_EQ(interconnectType(secondName), "SAS");
}

class ConnectionRule : public ::testing::Test {
protected:
    std::optional<Metadata> classify(RegistryDictionary properties, const RegistryObjectRef& parent = nullptr)
    {
        return ConnectionClassifier::classify(registry, registry.add("x", std::move(properties), parent));
    }
    static RegistryDictionary usb(const char* key, RegistryValue speed)
    {
        return dictionary({ { "Physical Interconnect", "USB" }, { key, std::move(speed) } });
    }
    FakeDeviceRegistry registry;
    LanguageGuard english { "en_US" };
};

TEST_F(ConnectionRule, UsbSpeedCodesWordsAndAncestors)
{
    EXPECT_EQ(classify(usb("Device Speed", 3)), (Metadata { "USB 3.0", "5Gbps", {}, {} }));
    EXPECT_EQ(classify(usb("PortCurrentSpeed", " SuperSpeedPlus ")),
        (Metadata { "USB 3.2 Gen2x2", "20Gbps", {}, {} }));
    EXPECT_EQ(classify(usb("PortMaximumSpeed", "warp")), (Metadata { "USB", {}, {}, {} }));
    // An unknown code falls to the other USB properties, then to the ancestors.
    auto hub = registry.add("usb", dictionary({ { "USBCurrentSpeed", 2 } }));
    EXPECT_EQ(classify(usb("Device Speed", 9), hub), (Metadata { "USB 2.0", "480Mbps", {}, {} }));

    // A general link speed on one of eight ancestors wins over the USB code; a ninth is too far.
    RegistryObjectRef chain = registry.add("pci", dictionary({ { "IOPCIExpressLinkSpeed", 8 } }));
    EXPECT_EQ(classify(usb("Device Speed", 3), registry.add("usb", {}, chain))->speed, "8Gbps");
    for (int i = 0; i < 8; ++i)
        chain = registry.add("x", {}, chain);
    EXPECT_EQ(classify(usb("Device Speed", 3), chain)->speed, "5Gbps");
}

TEST_F(ConnectionRule, ThunderboltPciAndOtherTypesInBothLanguages)
{
    auto tb3 = dictionary({ { "Physical Interconnect", "Thunderbolt" }, { "ThunderboltGeneration", 3 } });
    EXPECT_EQ(classify(tb3), (Metadata { "Thunderbolt 3", "40Gbps", {}, {} }));
    auto tb5 = dictionary({ { "Physical Interconnect", "thunderbolt" },
        { "Nested", dictionary({ { "thunderbolt_version", 5 } }) } });
    EXPECT_EQ(classify(tb5), (Metadata { "Thunderbolt", {}, {}, {} }));
    EXPECT_EQ(
        classify(dictionary({ { "Physical Interconnect", "PCI-Express" }, { "IOPCIExpressLinkSpeed", 8 } })),
        (Metadata { "PCIe", "8Gbps", {}, {} }));
    EXPECT_EQ(
        classify(dictionary({ { "Physical Interconnect", "Fabric" } })), (Metadata { "Fabric", {}, {}, {} }));
    LanguageGuard chinese { "zh_CN" };
    EXPECT_EQ(classify(tb3)->type, "雷雳 3");
    EXPECT_EQ(classify(tb5)->type, "雷雳");
}

TEST_F(ConnectionRule, WithoutATypeSpeedOrIdentityTheObjectYieldsNothing)
{
    EXPECT_FALSE(classify(dictionary({ { "size", "1000" } })));
    auto failing = registry.add("x", dictionary({ { "Physical Interconnect", "SATA" } }));
    registry.failProperties(failing, 5);
    EXPECT_FALSE(ConnectionClassifier::classify(registry, failing));

    EXPECT_EQ(
        classify(dictionary({ { "link-speed", 480'000'000 } })), (Metadata { "Unknown", "480Mbps", {}, {} }));
    auto vendorOnly = dictionary({ { "manufacturer", "Acme" } });
    EXPECT_EQ(classify(vendorOnly), (Metadata { "Unknown", {}, "Acme", {} }));
    LanguageGuard chinese { "zh-Hans" };
    EXPECT_EQ(classify(vendorOnly)->type, "未知");
}

TEST(HardwareIdentity, TextsThenNumericIdsThenBinaryModelsFromUpToTenAncestors)
{
    using DiskVolumeResolver::modelText;
    using DiskVolumeResolver::vendorText;
    EXPECT_EQ(vendorText(dictionary({ { "vendor", "  ATA  " }, { "manufacturer", "Samsung" } })), "Samsung");
    EXPECT_EQ(vendorText(dictionary({ { "Vendor Name", " " }, { "idVendor", 1452 } })), "0x05AC");
    EXPECT_EQ(vendorText(dictionary({ { "vendor", 12 } })), std::nullopt);
    EXPECT_EQ(modelText(dictionary({ { "model", RegistryData { 'S', 'S', 'D', ' ', '\n' } } })), "SSD");
    EXPECT_EQ(modelText(dictionary({ { "model", RegistryData { 'X', 0, 0 } } })), "X");
    EXPECT_EQ(modelText(dictionary({ { "model", RegistryData { 0xff, 0xfe } } })), std::nullopt);

    FakeDeviceRegistry registry;
    RegistryObjectRef chain = registry.add("x", dictionary({ { "manufacturer", "Far Away" } }));
    auto top = chain;
    for (int i = 0; i < 8; ++i)
        chain = registry.add("x", {}, chain);
    auto unreadable = registry.add("x", dictionary({ { "manufacturer", "Hidden" } }), chain);
    registry.failProperties(unreadable, 5);
    auto drive = registry.add("x", dictionary({ { "model", "Drive" } }), unreadable);
    // The unreadable parent counts as one of the ten, so the vendor ten levels up is found.
    EXPECT_EQ(DiskVolumeResolver::hardwareIdentity(registry, drive, *registry.properties(drive)),
        (DiskVolumeResolver::HardwareIdentity { "Far Away", "Drive" }));
    EXPECT_EQ(DiskVolumeResolver::hardwareIdentity(registry, registry.add("x", {}, drive), {}).vendor,
        std::nullopt);
    EXPECT_EQ(registry.outstandingReferences(top), 0);
}

TEST(ConnectionSearch, WalksUpToTwelveAncestorsAndFallsBackToUnknown)
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
    registry.setBSDName(registry.add("block", {}), "sdb");
    registry.setBSDName(registry.add("block", dictionary({ { "Physical Interconnect", "USB" } })), "sdb");
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("sdb", registry).type, "USB");

    RegistryObjectRef chain = registry.add("x", dictionary({ { "Physical Interconnect", "SATA" } }));
    for (int i = 0; i < 12; ++i)
        chain = registry.add("x", {}, chain);
    registry.setBSDName(chain, "near");
    registry.setBSDName(registry.add("x", {}, chain), "far");
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("near", registry).type, "SATA");
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("far", registry).type, "Unknown");

    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("sdz", registry), (Metadata { "Unknown", {}, {}, {} }));
    registry.failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::lookupFailed, 5 });
    EXPECT_EQ(DiskVolumeResolver::connectionMetadata("nvme0n1", registry).type, "Unknown");
    registry.failMatching(std::nullopt);
    EXPECT_EQ(registry.outstandingReferences(controller), 0);
    EXPECT_EQ(registry.outstandingReferences(disk), 0);
}

}
}
