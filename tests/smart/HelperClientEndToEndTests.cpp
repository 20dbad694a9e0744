// The helper client and the command line against the real com.tallowin.ProbeWarden program in
// standalone mode, with a fake smartctl in its resource directory.
#include "smart/FakeHelperDaemon.h"
#include "smart/ProcessRunner.h"
#include "support/FakeSmartctl.h"
#include "support/LanguageGuard.h"
#include "support/ProbeWardenProcess.h"

#include <gtest/gtest.h>

using namespace tallowin;
using namespace tallowin::testing;
using namespace std::chrono_literals;

namespace {

class HelperClientEndToEndTest : public ::testing::Test, protected HelperClientSetup { };

}

TEST_F(HelperClientEndToEndTest, SmartctlOutputArrivesByteForByteWithItsStatus)
{
    const auto report
        = std::filesystem::path(TALLOWIN_SHARED_DIR) / "fixtures/smartctl/nvme-samsung-970evo-xall.json";
    const auto json = readText(report);
    ASSERT_FALSE(json.empty());
    writeScript(
        directory / "resources/smartctl", "cat '" + report.string() + "'\necho 'warning' >&2\nexit 4");
    ProbeWardenProcess daemon(directory.path());
    auto client = makeClient();
    auto result = client->fetchSMARTData("nvme0n1");
    ASSERT_TRUE(result);
    EXPECT_EQ(textView(result->jsonData), json);
    EXPECT_EQ(textView(result->standardError), "warning\n");
    EXPECT_EQ(result->terminationStatus, 4);
    EXPECT_TRUE(result->commandDescription.ends_with("smartctl -j -x /dev/nvme0n1"))
        << result->commandDescription;
}

TEST_F(HelperClientEndToEndTest, HelperErrorGivesNothingAndKeepsTheConnection)
{
    writeScript(directory / "resources/smartctl", "exit 2");
    ProbeWardenProcess daemon(directory.path());
    auto client = makeClient();
    auto failed = client->fetchSMARTDataExplained("sda");
    ASSERT_FALSE(failed);
    ASSERT_TRUE(failed.error().helperError);
    EXPECT_TRUE(failed.error().helperError->is(HelperError::Code::emptyOutput));
    EXPECT_FALSE(client->fetchSMARTData("sda"));
    EXPECT_TRUE(client->hasConnection());
}

TEST_F(HelperClientEndToEndTest, CommandLinePrintsTheRawResult)
{
    writeScript(directory / "resources/smartctl", "printf '{\"ok\":true}'\nexit 64");
    ProbeWardenProcess daemon(directory.path());
    LanguageGuard english("en");
    ::setenv("TALLOWIN_HELPER_SOCKET", socketPath.c_str(), 1);
    PosixProcessRunner runner;
    const auto smart = [&](const char* device) {
        return runner.run({ TALLOWIN_CLI_PATH, "smart", "--raw", "--device", device }, 30s);
    };
    auto printed = smart("/dev/sdb");
    auto refused = smart("../etc/passwd");
    daemon.kill();
    auto unreachable = smart("sdb");
    ::unsetenv("TALLOWIN_HELPER_SOCKET");

    ASSERT_TRUE(printed && refused && unreachable);
    EXPECT_EQ(printed->exitStatus, 0) << printed->standardError;
    EXPECT_TRUE(printed->standardOutput.starts_with("exit status: 64\ncommand: ")) << printed->standardOutput;
    EXPECT_NE(printed->standardOutput.find(
                  "smartctl -j -x /dev/sdb\nstandard output: 11 bytes\nstandard error: 0 bytes\n\n"),
        std::string::npos);
    EXPECT_TRUE(printed->standardOutput.ends_with("\n\n{\"ok\":true}"));
    EXPECT_EQ(refused->exitStatus, 2);
    EXPECT_EQ(unreachable->exitStatus, 1);
    EXPECT_NE(unreachable->standardError.find("Cannot reach the SMART helper service"), std::string::npos);
}
