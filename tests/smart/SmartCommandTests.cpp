// tallowin-cli smart over the real daemon (standalone, with a fake smartctl) and an empty sysfs
// tree, so the candidates are the name alone.
#include "smart/ProcessRunner.h"
#include "support/EnvironmentGuard.h"
#include "support/FakeSmartctl.h"
#include "support/LanguageGuard.h"
#include "support/ProbeWardenProcess.h"
#include "support/TemporaryDirectory.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace tallowin {
namespace {

using namespace std::chrono_literals;
using testing::EnvironmentGuard;
using testing::LanguageGuard;

class SmartCommandTest : public ::testing::Test {
protected:
    void answerWith(const std::string& recordedFile)
    {
        auto file = std::filesystem::path(TALLOWIN_TEST_DATA_DIR) / "smartctl" / recordedFile;
        testing::writeScript(directory.path() / "resources/smartctl", "cat '" + file.string() + "'\nexit 0");
    }

    Expected<ProcessOutput, ProcessError> smart(const char* language, std::vector<std::string> arguments)
    {
        LanguageGuard guard(language);
        arguments.insert(arguments.begin(), { TALLOWIN_CLI_PATH, "smart" });
        return PosixProcessRunner().run(arguments, 60s);
    }

    testing::TemporaryDirectory directory { "tallowin-smart-cli" };
    testing::TemporaryDirectory emptySysfs { "tallowin-sysfs" };
    EnvironmentGuard socket { "TALLOWIN_HELPER_SOCKET", (directory.path() / "probewarden.sock").c_str() };
    EnvironmentGuard sysfs { "TALLOWIN_SYSFS_ROOT", emptySysfs.path().c_str() };
};

TEST_F(SmartCommandTest, PrintsTheReportAsJsonOrTextAndFailsWhenThereIsNone)
{
    answerWith("nvme-samsung-970evo-xall.json");
    // The daemon only serves names its sysfs lists; the recorded report is an NVMe controller's.
    std::filesystem::create_directories(directory.path() / "sysfs/class/nvme/nvme0");
    testing::ProbeWardenProcess daemon(directory.path());
    auto json = smart("en", { "--device", "/dev/nvme0", "--json" });
    auto text = smart("zh_CN", { "--device", "nvme0" });
    answerWith("error-open-permission-denied-nvme-xall.json");
    auto missing = smart("en", { "--device", "nvme0", "--json" });

    ASSERT_TRUE(json && text && missing);
    ASSERT_EQ(json->exitStatus, 0) << json->standardError;
    auto report = nlohmann::ordered_json::parse(json->standardOutput);
    std::vector<std::string> keys;
    for (const auto& item : report.items())
        keys.push_back(item.key());
    EXPECT_EQ(keys, (std::vector<std::string> { "overallStatus", "isCapable", "sourceCommand", "details" }));
    EXPECT_EQ(report["overallStatus"], "PASSED");
    EXPECT_TRUE(report["isCapable"].is_null());
    EXPECT_TRUE(report["sourceCommand"].get<std::string>().ends_with("smartctl -j -x /dev/nvme0"));
    EXPECT_EQ(report["details"][0],
        (nlohmann::ordered_json { { "keyPath", "serial_number" }, { "displayName", "Serial Number" },
            { "value", "S466NX0M776250H" } }));

    ASSERT_EQ(text->exitStatus, 0) << text->standardError;
    EXPECT_TRUE(text->standardOutput.starts_with("总体状态：PASSED\n支持 SMART：-\n命令：")) << text->standardOutput;
    EXPECT_NE(text->standardOutput.find("\n\n序列号: S466NX0M776250H\n型号: Samsung SSD 970 EVO 500GB\n"),
        std::string::npos);

    EXPECT_EQ(missing->exitStatus, 1);
    EXPECT_TRUE(missing->standardOutput.empty());
    EXPECT_NE(missing->standardError.find("SMART data is not available for this volume"), std::string::npos)
        << missing->standardError;
}

TEST_F(SmartCommandTest, RawPrintsWhatSmartctlGaveRefusesBadPathsAndNeedsTheHelper)
{
    testing::writeScript(directory.path() / "resources/smartctl", "printf '{\"ok\":true}'\nexit 64");
    testing::ProbeWardenProcess daemon(directory.path());
    auto printed = smart("en", { "--raw", "--device", "/dev/sdb" });
    auto refused = smart("en", { "--raw", "--device", "../etc/passwd" });
    daemon.kill();
    auto unreachable = smart("en", { "--raw", "--device", "sdb" });

    ASSERT_TRUE(printed && refused && unreachable);
    EXPECT_EQ(printed->exitStatus, 0) << printed->standardError;
    EXPECT_TRUE(printed->standardOutput.starts_with("exit status: 64\ncommand: ")) << printed->standardOutput;
    EXPECT_TRUE(printed->standardOutput.ends_with(
        "smartctl -j -x /dev/sdb\nstandard output: 11 bytes\nstandard error: 0 bytes\n\n{\"ok\":true}"));
    EXPECT_EQ(refused->exitStatus, 2);
    EXPECT_EQ(unreachable->exitStatus, 1);
    EXPECT_NE(unreachable->standardError.find("Cannot reach the SMART helper service"), std::string::npos);
}

}
}
