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
    using Plant = std::function<std::filesystem::path(const std::filesystem::path&)>;
    const auto script = [](const std::filesystem::path& root, mode_t mode = 0755) {
        return writeScript(root / "a/smartctl", "", mode);
    };
    const auto withFolder = [&](const std::function<void(const char*)>& weaken) -> Plant {
        return [=](const auto& root) {
            auto path = script(root);
            weaken((root / "a").c_str());
            return path;
        };
    };
    struct Case {
        const char* name;
        bool trusted;
        bool needsRoot;
        Plant plant;
    };
    // Under /tmp, which is sticky and writable by all but root's: other users cannot rename or
    // remove our entries. That shape is trusted only when root owns the folder.
    const std::vector<Case> cases {
        { "a plain tree of our own", true, false, [&](const auto& root) { return script(root); } },
        { "file writable by group", false, false, [&](const auto& root) { return script(root, 0775); } },
        { "file writable by others", false, false, [&](const auto& root) { return script(root, 0757); } },
        { "file not executable", false, false, [&](const auto& root) { return script(root, 0644); } },
        { "folder writable by others", false, false, withFolder([](const char* a) { ::chmod(a, 0777); }) },
        { "sticky folder writable by all", ::geteuid() == 0, false,
            withFolder([](const char* a) { ::chmod(a, 01777); }) },
        { "file behind a symbolic link", false, false,
            [](const auto& root) {
                writeScript(root / "a/real", "");
                std::filesystem::create_symlink("real", root / "a/smartctl");
                return root / "a/smartctl";
            } },
        { "folder behind a symbolic link", false, false,
            [&](const auto& root) {
                std::filesystem::create_directory_symlink(script(root).parent_path(), root / "b");
                return root / "b/smartctl";
            } },
        { "a folder instead of a file", false, false,
            [](const auto& root) {
                std::filesystem::create_directories(root / "a/smartctl");
                return root / "a/smartctl";
            } },
        { "a FIFO, which must not block the open", false, false,
            [](const auto& root) {
                std::filesystem::create_directories(root / "a");
                ::mkfifo((root / "a/smartctl").c_str(), 0755);
                return root / "a/smartctl";
            } },
        { "a path that walks back up", false, false,
            [&](const auto& root) {
                script(root);
                std::filesystem::create_directories(root / "b");
                return root / "b/../a/smartctl";
            } },
        { "a relative path", false, false, [](const auto&) { return std::filesystem::path("a/smartctl"); } },
        { "file owned by another user", false, true,
            [&](const auto& root) {
                auto path = script(root);
                ::chown(path.c_str(), 65534, 65534);
                return path;
            } },
        { "folder owned by another user", false, true,
            withFolder([](const char* a) { ::chown(a, 65534, 65534); }) },
    };
    for (const auto& testCase : cases) {
        if (testCase.needsRoot && ::geteuid() != 0)
            continue;
        SCOPED_TRACE(testCase.name);
        TemporaryDirectory directory;
        const auto path = testCase.plant(directory.path());
        auto opened = TrustedFile::openExecutable(path);
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
