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
    // name, whether it passes, and whether this machine's /dev lets the case apply. Listed in the
    // fake tree but a character device that is no NVMe controller: kmsg, null, ttyS0, watchdog
    // (opening it as root arms the watchdog). Spelled right but not listed: mem, sdb, nvme0.
    const std::vector<std::tuple<const char*, bool, bool>> cases {
        { "sda", true, !std::filesystem::exists("/dev/sda") || nodeIs("/dev/sda", S_IFBLK) },
        { "loop0", true, nodeIs("/dev/loop0", S_IFBLK) },
        { "nvme7", true, !std::filesystem::exists("/dev/nvme7") },
        { "kmsg", false, nodeIs("/dev/kmsg", S_IFCHR) },
        { "null", false, nodeIs("/dev/null", S_IFCHR) },
        { "ttyS0", false, nodeIs("/dev/ttyS0", S_IFCHR) },
        { "watchdog", false, nodeIs("/dev/watchdog", S_IFCHR) },
        { "mem", false, true }, { "sdb", false, true }, { "nvme0", false, true }, { "../sda", false, true },
        { "", false, true },
    };
    int checked = 0;
    for (const auto& [name, passes, applies] : cases) {
        if (applies) {
            EXPECT_EQ(SmartctlHelper::isStorageDeviceName(name, sysfs.path()), passes) << name;
            ++checked;
        }
    }
    EXPECT_GE(checked, 8);
}

// With one worker and five slow requests queued by one user, another user's request waits for
// one of them, not all five. Runs for clients that left are skipped.
TEST(SmartctlHelper, UsersAreServedInTurn)
{
    TemporaryDirectory directory;
    const auto order = directory / "order";
    writeScript(directory / "resources/smartctl", "echo \"$3\" >> '" + order.string() + "'; sleep 0.1; printf '{}'");
    for (const char* name : { "sda", "sdb", "sdc", "sdd", "sde", "sdy", "sdz" })
        std::filesystem::create_directories(directory / "sysfs/class/block" / name);
    SmartctlCommandRunner::Configuration configuration;
    configuration.resourceDirectory = directory / "resources";
    configuration.copyDirectory = directory / "state";
    configuration.sysfsRoot = directory / "sysfs";
    configuration.environment = [](const char*) { return std::nullopt; };

    std::mutex mutex;
    std::condition_variable allDone;
    int replies = 0, failures = 0;
    std::optional<HelperError> departedError;
    const auto reply = [&](Expected<SmartctlExecutionResult, HelperError> outcome) {
        std::lock_guard lock(mutex);
        if (!outcome && ++failures)
            departedError = outcome.error();
        ++replies;
        allDone.notify_all();
    };
    {
        SmartctlHelper helper(configuration, 1);
        for (const char* name : { "sda", "sdb", "sdc", "sdd", "sde" })
            helper.fetchSMARTDataForBSDName(name, 1000, reply);
        helper.fetchSMARTDataForBSDName("sdz", 1001, reply);
        // The client of this one has gone by its turn: answered without running smartctl.
        helper.fetchSMARTDataForBSDName("sdy", 1002, reply, [] { return false; });
        std::unique_lock lock(mutex);
        ASSERT_TRUE(allDone.wait_for(lock, 20s, [&] { return replies == 7; }));
    }
    ASSERT_EQ(failures, 1); // the departed client's only
    EXPECT_EQ(departedError->code, 999);
    std::vector<std::string> runs;
    std::istringstream lines(readText(order));
    for (std::string line; std::getline(lines, line);)
        runs.push_back(line);
    ASSERT_EQ(runs.size(), 6u);
    const auto position = std::find(runs.begin(), runs.end(), "/dev/sdz") - runs.begin();
    EXPECT_LE(position, 2) << ::testing::PrintToString(runs); // first come first served: last
}
