#include "daemon/SmartctlHelper.h"
#include "support/FakeSmartctl.h"
#include "support/TemporaryDirectory.h"

#include <condition_variable>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;

// Only names of existing block devices and NVMe controllers pass. A redirected sysfs root
// (TALLOWIN_SYSFS_ROOT from whoever starts the daemon) cannot smuggle a character device
// through, because the device node itself is checked too.
TEST(SmartctlHelper, OnlyStorageDevicesReachSmartctl)
{
    TemporaryDirectory sysfs;
    for (const char* name : { "sda", "loop0", "kmsg", "ttyS0", "watchdog" })
        std::filesystem::create_directories(sysfs / "class/block" / name);
    for (const char* name : { "nvme7", "null" })
        std::filesystem::create_directories(sysfs / "class/nvme" / name);
    const auto nodeIs = [](const char* node, mode_t type) {
        struct stat status { };
        return ::lstat(node, &status) == 0 && (status.st_mode & S_IFMT) == type;
    };
    struct Case {
        const char* name;
        bool passes;
        // The case depends on this machine's /dev; it is left out where /dev differs.
        bool applies;
    };
    const std::vector<Case> cases {
        { "sda", true, !std::filesystem::exists("/dev/sda") || nodeIs("/dev/sda", S_IFBLK) },
        { "loop0", true, nodeIs("/dev/loop0", S_IFBLK) },
        { "nvme7", true, !std::filesystem::exists("/dev/nvme7") },
        // Listed in the fake tree, but the node is a character device that is no NVMe
        // controller: opening /dev/watchdog as root arms the watchdog.
        { "kmsg", false, nodeIs("/dev/kmsg", S_IFCHR) },
        { "null", false, nodeIs("/dev/null", S_IFCHR) },
        { "ttyS0", false, nodeIs("/dev/ttyS0", S_IFCHR) },
        { "watchdog", false, nodeIs("/dev/watchdog", S_IFCHR) },
        // Spelled right, but not listed as a storage device.
        { "mem", false, true },
        { "sdb", false, true },
        { "nvme0", false, true },
        // Not even spelled right.
        { "../sda", false, true },
        { "", false, true },
    };
    int checked = 0;
    for (const auto& testCase : cases) {
        if (!testCase.applies)
            continue;
        EXPECT_EQ(SmartctlHelper::isStorageDeviceName(testCase.name, sysfs.path()), testCase.passes) << testCase.name;
        ++checked;
    }
    EXPECT_GE(checked, 8);
}

// One worker, and one user queues five slow requests before another user asks once: the
// second user waits for one of the first user's runs, not for all five. Runs for clients that
// left are skipped.
TEST(SmartctlHelper, UsersAreServedInTurn)
{
    TemporaryDirectory directory;
    const auto order = directory / "order";
    writeScript(directory / "resources/smartctl", "echo \"$3\" >> '" + order.string() + "'; sleep 0.1; printf '{}'");
    std::filesystem::create_directories(directory / "sysfs/class/block");
    for (const char* name : { "sda", "sdb", "sdc", "sdd", "sde", "sdy", "sdz" })
        std::filesystem::create_directories(directory / "sysfs/class/block" / name);
    SmartctlCommandRunner::Configuration configuration;
    configuration.resourceDirectory = directory / "resources";
    configuration.copyDirectory = directory / "state";
    configuration.sysfsRoot = directory / "sysfs";
    configuration.environment = [](const char*) { return std::nullopt; };

    std::mutex mutex;
    std::condition_variable allDone;
    int replies = 0;
    const auto reply = [&](Expected<SmartctlExecutionResult, HelperError> outcome) {
        EXPECT_TRUE(outcome.has_value());
        std::lock_guard lock(mutex);
        ++replies;
        allDone.notify_all();
    };
    std::optional<HelperError> departedError;
    {
        SmartctlHelper helper(configuration, 1);
        for (const char* name : { "sda", "sdb", "sdc", "sdd", "sde" })
            helper.fetchSMARTDataForBSDName(name, 1000, reply);
        helper.fetchSMARTDataForBSDName("sdz", 1001, reply);
        // A request whose client has gone by its turn is answered without running smartctl.
        helper.fetchSMARTDataForBSDName(
            "sdy", 1002,
            [&](Expected<SmartctlExecutionResult, HelperError> outcome) {
                std::lock_guard lock(mutex);
                departedError = outcome.error();
                ++replies;
                allDone.notify_all();
            },
            [] { return false; });
        std::unique_lock lock(mutex);
        ASSERT_TRUE(allDone.wait_for(lock, 20s, [&] { return replies == 7; }));
    }
    ASSERT_TRUE(departedError.has_value());
    EXPECT_EQ(departedError->code, 999);
    std::vector<std::string> runs;
    std::istringstream lines(readText(order));
    for (std::string line; std::getline(lines, line);)
        runs.push_back(line);
    ASSERT_EQ(runs.size(), 6u);
    // First come, first served would put /dev/sdz last.
    const auto position = std::find(runs.begin(), runs.end(), "/dev/sdz") - runs.begin();
    EXPECT_LE(position, 2) << ::testing::PrintToString(runs);
}
