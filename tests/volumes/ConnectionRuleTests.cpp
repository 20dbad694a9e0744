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
    for (auto [number, text] : std::initializer_list<std::pair<double, const char*>> { { 8, "8Gbps" },
             { 2.5, "2.5Gbps" }, { 5e9, "5Gbps" }, { 1.5e6, "1.5Mbps" }, { 40e12, "40Tbps" }, { 480, "480" },
             { 5000, "5Mbps" }, { 999'999, "1000Mbps" } })
        EXPECT_EQ(numericSpeedText(number), text) << number;
    for (auto [input, text] :
        std::initializer_list<std::pair<const char*, const char*>> { { "  6.0 Gbps \n", "6.0 Gbps" },
            { "16", "16Gbps" }, { "2.50", "2.5Gbps" }, { "1.2.3", "1.2.3" }, { "inf", "inf" } })
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
    EXPECT_FALSE(speedOfDictionary(dictionary({ { "link-speed", 0 }, { "LinkSpeed", -1 },
        { "linkSpeed", std::numeric_limits<double>::infinity() } })));
    // Nested dictionaries are searched two levels down, not three.
    auto twoDown = dictionary({ { "a", dictionary({ { "b", dictionary({ { "link-speed", 8 } }) } }) } });
    EXPECT_EQ(speedOfDictionary(twoDown), "8Gbps");
    EXPECT_FALSE(speedOfDictionary(dictionary({ { "a", twoDown } })));
}

TEST(InterconnectType, ReadsPhysicalInterconnectThenProtocolCharacteristics)
{
    using ConnectionClassifier::interconnectType;
    EXPECT_FALSE(interconnectType(dictionary({ { "Physical Interconnect", "  " } })));
    // Without the key, the first text met inside the protocol dictionary is the type; a dictionary
    // without any gives way to the next spelling.
    auto secondName = dictionary({ { "Protocol Characteristics", dictionary({ { "Count", 1 } }) },
        { "protocol characteristics",
            dictionary({ { "Numbers", 3 },
                { "List", RegistryArray { RegistryValue(7), RegistryValue("SAS") } } }) } });
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

TEST_F(ConnectionRule, UsbWordsUnknownCodesAndAncestorSpeeds)
{
    EXPECT_EQ(classify(usb("PortCurrentSpeed", " SuperSpeedPlus ")),
        (Metadata { "USB 3.2 Gen2x2", "20Gbps", {}, {} }));
    EXPECT_EQ(classify(usb("PortMaximumSpeed", "warp")), (Metadata { "USB", {}, {}, {} }));
    // An unknown code falls to the ancestors.
    auto hub = registry.add("usb", dictionary({ { "USBCurrentSpeed", 2 } }));
    EXPECT_EQ(classify(usb("Device Speed", 9), hub), (Metadata { "USB 2.0", "480Mbps", {}, {} }));
    // A general link speed on one of eight ancestors wins over the USB code; a ninth is too far.
    RegistryObjectRef chain = registry.add("pci", dictionary({ { "IOPCIExpressLinkSpeed", 8 } }));
    EXPECT_EQ(classify(usb("Device Speed", 3), registry.add("usb", {}, chain))->speed, "8Gbps");
    for (int i = 0; i < 8; ++i)
        chain = registry.add("x", {}, chain);
    EXPECT_EQ(classify(usb("Device Speed", 3), chain)->speed, "5Gbps");
}

TEST_F(ConnectionRule, OtherTypesAndObjectsWithoutTypeSpeedOrIdentity)
{
    auto tb5 = dictionary({ { "Physical Interconnect", "thunderbolt" },
        { "Nested", dictionary({ { "thunderbolt_version", 5 } }) } });
    EXPECT_EQ(classify(tb5), (Metadata { "Thunderbolt", {}, {}, {} }));
    EXPECT_EQ(
        classify(dictionary({ { "Physical Interconnect", "Fabric" } })), (Metadata { "Fabric", {}, {}, {} }));
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
    EXPECT_EQ(classify(tb5)->type, "雷雳");
}

TEST(HardwareIdentity, TextsThenNumericIdsThenBinaryModelsFromUpToTenAncestors)
{
    using DiskVolumeResolver::modelText;
    using DiskVolumeResolver::vendorText;
    EXPECT_EQ(vendorText(dictionary({ { "vendor", "  ATA  " }, { "manufacturer", "Samsung" } })), "Samsung");
    EXPECT_EQ(vendorText(dictionary({ { "Vendor Name", " " }, { "idVendor", 1452 } })), "0x05AC");
    EXPECT_EQ(vendorText(dictionary({ { "vendor", 12 } })), std::nullopt);
    EXPECT_EQ(modelText(dictionary({ { "model", RegistryData { 'X', 0, ' ', '\n' } } })), "X");
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
    auto controller = registry.add("nvme", dictionary({ { "model", "Fast" } }));
    auto disk = registry.add("block", dictionary({ { "size", "1" } }), controller);
    registry.setBSDName(disk, "nvme0n1");
    // Anything known above the match makes the match itself answer.
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
    registry.failMatching(RegistryMatchingFailure { RegistryMatchingFailure::Kind::lookupFailed, 5 });
    EXPECT_EQ(
        DiskVolumeResolver::connectionMetadata("nvme0n1", registry), (Metadata { "Unknown", {}, {}, {} }));
    registry.failMatching(std::nullopt);
    EXPECT_EQ(registry.outstandingReferences(controller) + registry.outstandingReferences(disk), 0);
}

}
}
