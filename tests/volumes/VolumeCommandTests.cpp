#include "support/ShellCommand.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <string>

namespace {

// The JSON of tallowin-cli with English texts, or null when it failed or printed nothing.
nlohmann::ordered_json volumeJson(const std::string& arguments)
{
    auto outcome = tallowin::testing::runShell(
        "LANGUAGE=en LC_ALL=C " TALLOWIN_CLI_PATH " volume " + arguments + " 2>/dev/null");
    return outcome.exitStatus == 0 ? nlohmann::ordered_json::parse(outcome.output)
                                   : nlohmann::ordered_json {};
}

std::vector<std::string> keysOf(const nlohmann::ordered_json& object)
{
    std::vector<std::string> keys;
    for (const auto& item : object.items())
        keys.push_back(item.key());
    return keys;
}

TEST(VolumeCommand, PrintsOneObjectWithFixedKeysAndNullsForUnknownValues)
{
    auto root = volumeJson("/ --json");
    EXPECT_EQ(keysOf(root),
        (std::vector<std::string> { "bsdName", "displayName", "connectionTypeDescription",
            "connectionSpeedDescription", "fileSystemDescription", "totalCapacityBytes",
            "availableCapacityBytes", "hardwareVendor", "hardwareModel", "url" }));
    EXPECT_EQ(root["url"], "/");
    EXPECT_TRUE(root["totalCapacityBytes"].is_number_unsigned());
    auto proc = volumeJson("/proc --json");
    EXPECT_TRUE(proc["totalCapacityBytes"].is_null() && proc["hardwareVendor"].is_null());
    EXPECT_EQ(proc["connectionTypeDescription"], "Unknown");
    auto device = volumeJson("--device " + root.value("bsdName", std::string("vda")) + " --json");
    if (device.is_null())
        GTEST_SKIP() << "the root file system is not on a block device";
    EXPECT_EQ(keysOf(device), (std::vector<std::string> { "type", "speed", "vendor", "product" }));
}

TEST(VolumeCommand, FailsWithAStatusAndNoOutputForBadInput)
{
    for (const char* arguments :
        { "/no/such/place --json", "http://example.com/ --json", "--device ../vda", "--device nosuchdisk" }) {
        auto outcome = tallowin::testing::runShell(
            TALLOWIN_CLI_PATH " volume " + std::string(arguments) + " 2>/dev/null");
        EXPECT_NE(outcome.exitStatus, 0) << arguments;
        EXPECT_EQ(outcome.output, "") << arguments;
    }
}

}
