#include "daemon/TrustedFile.h"
#include "support/FakeSmartctl.h"
#include "support/TemporaryDirectory.h"

#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tallowin;
using namespace tallowin::testing;

namespace {

bool rootOwnsTemporaryFolders()
{
    struct stat status { };
    return ::stat(std::filesystem::temp_directory_path().c_str(), &status) == 0 && status.st_uid == 0;
}

}

// Each case plants one weakness on the way to an executable that is otherwise fine.
TEST(TrustedFile, EveryComponentOfAnExecutedPathIsChecked)
{
    if (!rootOwnsTemporaryFolders())
        GTEST_SKIP() << "the temporary folder is not root's";
    namespace fs = std::filesystem;
    using Weaken = std::function<void(const fs::path& root)>;
    const auto chmodOf = [](const char* part, mode_t mode) -> Weaken {
        return [=](const fs::path& root) { ASSERT_EQ(::chmod((root / part).c_str(), mode), 0); };
    };
    const auto chownOf = [](const char* part) -> Weaken {
        return [=](const fs::path& root) { ASSERT_EQ(::lchown((root / part).c_str(), 65534, 65534), 0); };
    };
    const auto replaced = [](const std::function<void(const fs::path& file)>& by) -> Weaken {
        return [=](const fs::path& root) {
            fs::remove(root / "a/smartctl");
            by(root / "a/smartctl");
        };
    };
    struct Case {
        const char* name;
        bool trusted;
        Weaken weaken;
        const char* path = "a/smartctl"; // under the case's folder; nullptr: "a/smartctl" as such
        bool needsRoot = false;
    };
    // Under /tmp, which is sticky and writable by all but root's: other users cannot rename or
    // remove our entries. That shape is trusted only when root owns the folder.
    const std::vector<Case> cases {
        { "a plain tree of our own", true, [](const fs::path&) {} },
        { "file writable by group", false, chmodOf("a/smartctl", 0775) },
        { "file writable by others", false, chmodOf("a/smartctl", 0757) },
        { "file not executable", false, chmodOf("a/smartctl", 0644) },
        { "folder writable by others", false, chmodOf("a", 0777) },
        { "sticky folder writable by all", ::geteuid() == 0, chmodOf("a", 01777) },
        { "file behind a symbolic link", false,
            [](const fs::path& root) {
                fs::rename(root / "a/smartctl", root / "a/real");
                fs::create_symlink("real", root / "a/smartctl");
            } },
        { "folder behind a symbolic link", false,
            [](const fs::path& root) { fs::create_directory_symlink(root / "a", root / "b"); }, "b/smartctl" },
        { "a folder instead of a file", false, replaced([](const fs::path& file) { fs::create_directory(file); }) },
        { "a FIFO, which must not block the open", false,
            replaced([](const fs::path& file) { ::mkfifo(file.c_str(), 0755); }) },
        { "a path that walks back up", false, [](const fs::path& root) { fs::create_directory(root / "b"); },
            "b/../a/smartctl" },
        { "a relative path", false, [](const fs::path&) {}, nullptr },
        { "file owned by another user", false, chownOf("a/smartctl"), "a/smartctl", true },
        { "folder owned by another user", false, chownOf("a"), "a/smartctl", true },
    };
    for (const auto& testCase : cases) {
        if (testCase.needsRoot && ::geteuid() != 0)
            continue;
        SCOPED_TRACE(testCase.name);
        TemporaryDirectory directory;
        writeScript(directory / "a/smartctl", "");
        testCase.weaken(directory.path());
        auto opened = TrustedFile::openExecutable(testCase.path ? directory / testCase.path : "a/smartctl");
        EXPECT_EQ(opened.has_value(), testCase.trusted) << (opened ? "" : opened.error());
    }
    if (::geteuid() != 0)
        GTEST_SKIP() << "the cases with another user's files need root";
}

TEST(TrustedFile, MakeDirectoryCreatesOrAcceptsOnlyAPrivateFolder)
{
    TemporaryDirectory directory;
    auto made = TrustedFile::makeDirectory(directory / "state");
    ASSERT_TRUE(made.has_value()) << made.error();
    EXPECT_TRUE(std::filesystem::is_directory(directory / "state"));
    EXPECT_TRUE(TrustedFile::makeDirectory(directory / "state").has_value()); // existing is fine

    std::filesystem::create_directories(directory / "open");
    ::chmod((directory / "open").c_str(), 0777);
    EXPECT_FALSE(TrustedFile::makeDirectory(directory / "open").has_value()); // refused, not repaired
    std::filesystem::create_directory_symlink(directory / "state", directory / "link");
    EXPECT_FALSE(TrustedFile::makeDirectory(directory / "link").has_value());
    EXPECT_FALSE(TrustedFile::makeDirectory(directory / "missing/state").has_value()); // parent must exist
}
