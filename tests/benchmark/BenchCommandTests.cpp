// `tallowin-cli bench` end to end, with the real phase durations: the JSON contract that scripts
// rely on, and Ctrl-C leaving nothing behind.
#include "support/TemporaryDirectory.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tallowin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::vector<std::string>;

Names names(const fs::path& directory)
{
    Names result;
    for (const auto& entry : fs::directory_iterator(directory))
        result.push_back(entry.path().filename().string());
    return result;
}

// The command with English texts, its standard output going to `output`; killed if still running
// when the test ends.
class BenchProcess {
public:
    BenchProcess(const fs::path& folder, const std::string& output, std::vector<std::string> options = {},
        const std::string& errors = "/dev/null")
    {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<std::string> all { TALLOWIN_CLI_PATH, "bench", folder.string(), "--size", "1" };
        all.insert(all.end(), options.begin(), options.end());
        std::vector<char*> argv;
        for (auto& argument : all)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        char language[] = "LANGUAGE=en", locale[] = "LC_ALL=C";
        char* envp[] = { language, locale, nullptr };
        posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), envp);
        posix_spawn_file_actions_destroy(&actions);
    }
    ~BenchProcess()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
    }
    void interrupt() { ::kill(m_pid, SIGINT); }
    int wait()
    {
        int status = 0;
        ::waitpid(std::exchange(m_pid, -1), &status, 0);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

private:
    pid_t m_pid { -1 };
};

TEST(BenchCommand, JsonCarriesTheResultFieldsAndTheReportPath)
{
    testing::TemporaryDirectory workspace("/var/tmp/tallowin-bench-cli");
    auto folder = workspace / "volume";
    fs::create_directory(folder);
    auto output = (workspace / "out.json").string();
    BenchProcess bench(folder, output, { "--json" });
    ASSERT_EQ(bench.wait(), 0);
    std::ifstream stream(output);
    auto json = nlohmann::json::parse(stream, nullptr, false);
    ASSERT_TRUE(json.is_object());
    for (const char* key : { "actualByteCount", "writeThroughput", "readThroughput", "randomWriteIOPS",
             "randomReadIOPS", "randomOperationCount", "maximumWriteThroughput", "maximumReadThroughput",
             "writeDuration", "readDuration", "timeline", "reportPath" })
        EXPECT_TRUE(json.contains(key)) << key;
    EXPECT_EQ(json["actualByteCount"], 1000000000);
    EXPECT_GT(json["randomOperationCount"].get<std::int64_t>(), 0);
    ASSERT_FALSE(json["timeline"].empty());
    EXPECT_EQ(json["timeline"][0]["phase"], "sequentialWrite");
    fs::path report = json["reportPath"].get<std::string>();
    EXPECT_EQ(report.parent_path(), folder);
    EXPECT_EQ(names(folder), Names { report.filename().string() });
}

TEST(BenchCommand, InterruptStopsTheTestAndRemovesItsFiles)
{
    testing::TemporaryDirectory folder("/var/tmp/tallowin-bench-cli");
    BenchProcess bench(folder.path(), "/dev/null");
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (names(folder.path()).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(names(folder.path()).empty()) << "the random test file should appear";
    bench.interrupt();
    EXPECT_EQ(bench.wait(), 130);
    EXPECT_TRUE(names(folder.path()).empty());
}

// The folder made immutable (even root cannot delete in it) during the random phases, then
// Ctrl-C: the command must name the file it could not remove instead of claiming it removed it.
TEST(BenchCommand, InterruptReportsTheFilesItCouldNotRemove)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "making a folder immutable needs root";
    testing::TemporaryDirectory workspace("/var/tmp/tallowin-bench-cli");
    auto folder = workspace / "volume";
    fs::create_directory(folder);
    auto errors = (workspace / "errors.txt").string();
    BenchProcess bench(folder, "/dev/null", {}, errors);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (names(folder).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(names(folder).size(), 1u) << "the random test file should appear";
    auto immutable = "chattr +i " + folder.string() + " 2>/dev/null";
    if (std::system(immutable.c_str()) != 0) {
        bench.interrupt();
        bench.wait();
        GTEST_SKIP() << "the file system has no immutable attribute";
    }
    bench.interrupt();
    int status = bench.wait();
    auto left = names(folder);
    std::system(("chattr -i " + folder.string()).c_str());
    EXPECT_EQ(status, 130);
    ASSERT_EQ(left.size(), 1u);
    std::ifstream stream(errors);
    std::string text((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("temporary files removed"), std::string::npos) << text;
    EXPECT_NE(text.find("These temporary files could not be removed:\n" + (folder / left[0]).string()),
        std::string::npos)
        << text;
}

}
}
