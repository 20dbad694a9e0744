#include "cli/BenchOutcome.h"

#include "core/Language.h"

namespace tallowin::cli {

namespace {

void listLeftovers(const std::vector<std::string>& files, std::vector<std::string>& messages)
{
    if (files.empty())
        return;
    messages.push_back(localized("These temporary files could not be removed:", "以下临时文件无法删除："));
    messages.insert(messages.end(), files.begin(), files.end());
}

}

BenchVerdict benchVerdict(const BenchEnding& ending)
{
    BenchVerdict verdict;
    if (ending.hasResult) {
        verdict.printsResult = true;
        if (ending.errorMessage) {
            verdict.messages.push_back(*ending.errorMessage);
            verdict.exitStatus = 1;
        }
    } else if (ending.errorMessage) {
        // The test had already failed when Ctrl-C arrived (or failed on its own): the failure is
        // what the user needs to read.
        verdict.messages.push_back(*ending.errorMessage);
        verdict.exitStatus = 1;
    } else if (ending.interrupted) {
        verdict.exitStatus = 130;
        verdict.messages.push_back(ending.leftoverFiles.empty()
                ? localized("Test stopped; temporary files removed.", "测试已停止，临时文件已删除。")
                : localized("Test stopped.", "测试已停止。"));
    } else {
        verdict.messages.push_back(localized("The test failed.", "测试失败。"));
        verdict.exitStatus = 1;
    }
    listLeftovers(ending.leftoverFiles, verdict.messages);
    return verdict;
}

}
