// `tallowin-cli bench` end to end, with the real phase durations: the JSON contract that scripts
// rely on, and Ctrl-C leaving nothing behind.
#include "support/TemporaryDirectory.h"

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace tallowin {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::vector<std::string> names(const fs::path& directory)
{
    std::vector<std::string> result;
    for (const auto& entry : fs::directory_iterator(directory))
        result.push_back(entry.path().filename().string());
    return result;
}

// The command with English texts; its standard output goes to a file in `output`.
struct Child {
    pid_t pid { -1 };
    ~Child()
    {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    int wait()
    {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
};

void spawnBench(Child& child, const std::vector<std::string>& arguments, const std::string& output)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(
        &actions, STDOUT_FILENO, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> all { TALLOWIN_CLI_PATH, "bench" };
    all.insert(all.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& argument : all)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::string language = "LANGUAGE=en";
    std::string locale = "LC_ALL=C";
    char* envp[] = { language.data(), locale.data(), nullptr };
    posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), envp);
    posix_spawn_file_actions_destroy(&actions);
}

TEST(BenchCommand, JsonCarriesTheResultFieldsAndTheReportPath)
{
    testing::TemporaryDirectory workspace("/var/tmp/tallowin-bench-cli");
    auto folder = workspace / "volume";
    fs::create_directory(folder);
    auto output = (workspace / "out.json").string();
    Child child;
    spawnBench(child, { folder.string(), "--size", "1", "--json" }, output);
    ASSERT_EQ(child.wait(), 0);
    std::ifstream stream(output);
    auto json = nlohmann::json::parse(stream, nullptr, false);
    ASSERT_FALSE(json.is_discarded());
    for (const char* key : { "actualByteCount", "writeThroughput", "readThroughput", "randomWriteIOPS",
             "randomReadIOPS", "randomOperationCount", "maximumWriteThroughput", "maximumReadThroughput",
             "writeDuration", "readDuration", "timeline", "reportPath" })
        EXPECT_TRUE(json.contains(key)) << key;
    EXPECT_EQ(json["actualByteCount"], 1000000000);
    EXPECT_GT(json["randomOperationCount"].get<std::int64_t>(), 0);
    ASSERT_TRUE(json["timeline"].is_array());
    ASSERT_FALSE(json["timeline"].empty());
    EXPECT_EQ(json["timeline"][0]["phase"], "sequentialWrite");
    auto report = json["reportPath"].get<std::string>();
    EXPECT_EQ(fs::path(report).parent_path(), folder);
    EXPECT_EQ(names(folder), std::vector<std::string> { fs::path(report).filename().string() });
}

TEST(BenchCommand, InterruptStopsTheTestAndRemovesItsFiles)
{
    testing::TemporaryDirectory folder("/var/tmp/tallowin-bench-cli");
    Child child;
    spawnBench(child, { folder.path().string(), "--size", "1" }, "/dev/null");
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (names(folder.path()).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(names(folder.path()).empty()) << "the random test file should appear";
    ::kill(child.pid, SIGINT);
    EXPECT_EQ(child.wait(), 130);
    EXPECT_TRUE(names(folder.path()).empty());
}

}
}
