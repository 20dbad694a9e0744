#include "support/ShellCommand.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>

namespace {

// Runs tallowin-cli with English texts; standard error is kept apart from the JSON.
tallowin::testing::ShellOutcome runCli(const std::string& arguments)
{
    return tallowin::testing::runShell(
        "LANGUAGE=en LC_ALL=C " TALLOWIN_CLI_PATH " " + arguments + " 2>/dev/null");
}

std::vector<std::string> keysOf(const nlohmann::ordered_json& object)
{
    std::vector<std::string> keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    return keys;
}

TEST(VolumeCommand, PrintsTheDescriptorAsOneObjectWithFixedKeys)
{
    auto outcome = runCli("volume / --json");
    ASSERT_EQ(outcome.exitStatus, 0);
    auto object = nlohmann::ordered_json::parse(outcome.output);
    EXPECT_EQ(keysOf(object),
        (std::vector<std::string> { "bsdName", "displayName", "connectionTypeDescription",
            "connectionSpeedDescription", "fileSystemDescription", "totalCapacityBytes",
            "availableCapacityBytes", "hardwareVendor", "hardwareModel", "url" }));
    EXPECT_EQ(object["url"], "/");
    EXPECT_TRUE(object["totalCapacityBytes"].is_number_unsigned());
    // Unknown values are null, never missing or empty.
    auto proc = nlohmann::ordered_json::parse(runCli("volume /proc --json").output);
    EXPECT_TRUE(proc["totalCapacityBytes"].is_null());
    EXPECT_TRUE(proc["hardwareVendor"].is_null());
    EXPECT_EQ(proc["connectionTypeDescription"], "Unknown");
}

TEST(VolumeCommand, DescribesADeviceByName)
{
    auto outcome = runCli("volume --device loop0 --json");
    if (outcome.exitStatus != 0)
        GTEST_SKIP() << "no loop0 here";
    auto object = nlohmann::ordered_json::parse(outcome.output);
    EXPECT_EQ(keysOf(object), (std::vector<std::string> { "type", "speed", "vendor", "product" }));
    EXPECT_EQ(object["type"], "Loop");
}

TEST(VolumeCommand, FailsWithAStatusAndNoOutputForBadInput)
{
    for (const char* arguments : { "volume /no/such/place --json", "volume http://example.com/ --json",
             "volume --device ../vda", "volume --device nosuchdisk" }) {
        auto outcome = runCli(arguments);
        EXPECT_NE(outcome.exitStatus, 0) << arguments;
        EXPECT_EQ(outcome.output, "") << arguments;
    }
}

}
