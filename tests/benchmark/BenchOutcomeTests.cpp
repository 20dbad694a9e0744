#include "cli/BenchOutcome.h"
#include "support/LanguageGuard.h"

#include <gtest/gtest.h>

namespace tallowin::cli {
namespace {

using Strings = std::vector<std::string>;

TEST(BenchVerdict, FailuresWinOverInterruptionsAndRemovalIsChecked)
{
    testing::LanguageGuard language("en_US");
    const std::string failed = "Write phase failed. Please check the disk status.";
    const struct {
        const char* name;
        BenchEnding ending;
        BenchVerdict verdict;
    } cases[] = {
        { "success", { false, true, std::nullopt, {} }, { 0, true, {} } },
        { "report failed", { false, true, "export failed", {} }, { 1, true, { "export failed" } } },
        { "failure", { false, false, failed, {} }, { 1, false, { failed } } },
        { "Ctrl-C after a failure", { true, false, failed, {} }, { 1, false, { failed } } },
        { "Ctrl-C", { true, false, std::nullopt, {} },
            { 130, false, { "Test stopped; temporary files removed." } } },
        { "Ctrl-C, a file stayed", { true, false, std::nullopt, { "/v/Tallowin_IO_Test_X" } },
            { 130, false,
                { "Test stopped.",
                    "These temporary files could not be removed:", "/v/Tallowin_IO_Test_X" } } },
        { "success, a file stayed", { false, true, std::nullopt, { "/v/R" } },
            { 0, true, { "These temporary files could not be removed:", "/v/R" } } },
    };
    for (const auto& ending : cases) {
        SCOPED_TRACE(ending.name);
        EXPECT_EQ(benchVerdict(ending.ending), ending.verdict);
    }
}

}
}
