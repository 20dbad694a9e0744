#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <tuple>
#include <sys/stat.h>

namespace tallowin {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    std::stringstream content;
    content << stream.rdbuf();
    return content.str();
}

const std::string desktopEntry = "applications/com.tallowin.Tallowin.desktop";
const std::string iconPicture = "icons/hicolor/256x256/apps/com.tallowin.Tallowin.png";
const std::string policy = "polkit-1/actions/com.tallowin.Tallowin.policy";

// The install tree is made once for all tests of the program.
class InstalledTree : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_stage = std::make_unique<testing::TemporaryDirectory>("tallowin-install");
        auto outcome = testing::runShell(fmt::format("DESTDIR='{}' '{}' --install '{}' 2>&1",
            s_stage->path().string(), TALLOWIN_CMAKE_COMMAND, TALLOWIN_BUILD_DIR));
        s_installStatus = outcome.exitStatus;
        s_installOutput = outcome.output;
    }
    static void TearDownTestSuite() { s_stage.reset(); }

    void SetUp() override { ASSERT_EQ(s_installStatus, 0) << s_installOutput; }

    // An installed path, as `prefix/relative` under the staging folder.
    static fs::path installed(const std::string& relative)
    {
        return s_stage->path() / fs::path(TALLOWIN_INSTALL_PREFIX).relative_path() / relative;
    }
    static fs::path data(const std::string& relative) { return installed(TALLOWIN_INSTALL_DATADIR "/" + relative); }
    static fs::path unitDirectory() { return s_stage->path() / fs::path(TALLOWIN_UNIT_DIR).relative_path(); }

    static inline std::unique_ptr<testing::TemporaryDirectory> s_stage;
    static inline int s_installStatus { -1 };
    static inline std::string s_installOutput;
};

TEST_F(InstalledTree, HoldsEveryFileWhereTheSystemLooksForIt)
{
    const std::pair<fs::path, bool> files[] { // and whether it is a program
        { installed(TALLOWIN_INSTALL_BINDIR "/tallowin"), true },
        { installed(TALLOWIN_INSTALL_BINDIR "/tallowin-cli"), true },
        { installed(TALLOWIN_INSTALL_LIBEXECDIR "/tallowin/com.tallowin.ProbeWarden"), true },
        { unitDirectory() / "com.tallowin.ProbeWarden.socket", false },
        { unitDirectory() / "com.tallowin.ProbeWarden.service", false }, { data(desktopEntry), false },
        { data("icons/hicolor/scalable/apps/com.tallowin.Tallowin.svg"), false }, { data(iconPicture), false },
        { data(policy), false },
    };
    for (const auto& [path, executable] : files) {
        struct stat status {};
        ASSERT_EQ(::stat(path.c_str(), &status), 0) << path;
        EXPECT_TRUE(S_ISREG(status.st_mode)) << path;
        EXPECT_EQ((status.st_mode & S_IXUSR) != 0, executable) << path;
        EXPECT_EQ(status.st_mode & S_IWOTH, 0U) << path << " is writable by everyone";
    }
}

// The names tie the pieces together: the desktop entry runs the installed program and shows the
// installed icon, the service starts the installed daemon.
TEST_F(InstalledTree, PiecesReferToEachOthersInstalledNames)
{
    auto desktop = readFile(data(desktopEntry));
    EXPECT_NE(desktop.find("\nExec=tallowin\n"), std::string::npos);
    EXPECT_NE(desktop.find("\nIcon=com.tallowin.Tallowin\n"), std::string::npos);
    EXPECT_NE(desktop.find("\nCategories=System;Monitor;\n"), std::string::npos);
    for (const char* key : { "Name[zh_CN]=", "GenericName=", "GenericName[zh_CN]=", "Comment=", "Comment[zh_CN]=" })
        EXPECT_NE(desktop.find(std::string("\n") + key), std::string::npos) << key;

    auto service = readFile(unitDirectory() / "com.tallowin.ProbeWarden.service");
    auto daemon = fmt::format("{}/{}/tallowin/com.tallowin.ProbeWarden", TALLOWIN_INSTALL_PREFIX, TALLOWIN_INSTALL_LIBEXECDIR);
    EXPECT_NE(service.find("\nExecStart=" + daemon + "\n"), std::string::npos) << service;

    auto actions = readFile(data(policy));
    EXPECT_EQ(actions.find('@'), std::string::npos) << "an unconfigured placeholder is left";
    // No wider than what pkexec grants, and for a program named by its full path.
    for (const char* rule : { "<allow_any>no</allow_any>", "<allow_inactive>no</allow_inactive>",
             "<allow_active>auth_admin</allow_active>", "org.freedesktop.policykit.exec.path\">/" })
        EXPECT_NE(actions.find(rule), std::string::npos) << rule;
}

TEST_F(InstalledTree, IconPictureIsA256PixelPng)
{
    auto png = readFile(data(iconPicture));
    ASSERT_GE(png.size(), 24U);
    EXPECT_EQ(png.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
    auto bigEndian = [&](std::size_t offset) {
        std::uint32_t value = 0;
        for (std::size_t index = 0; index < 4; ++index)
            value = value << 8 | static_cast<unsigned char>(png[offset + index]);
        return value;
    };
    EXPECT_EQ(bigEndian(16), 256U);
    EXPECT_EQ(bigEndian(20), 256U);
}

TEST_F(InstalledTree, DesktopEntryAndPolicyPassTheirValidators)
{
    std::string missing;
    for (const auto& [program, options, file] : { std::tuple { "desktop-file-validate", "", data(desktopEntry) },
             std::tuple { "xmllint", "--noout", data(policy) } }) {
        if (testing::runShell(fmt::format("command -v {} >/dev/null", program)).exitStatus != 0) {
            missing += fmt::format(" {}", program);
            continue;
        }
        auto outcome = testing::runShell(fmt::format("{} {} '{}' 2>&1", program, options, file.string()));
        EXPECT_EQ(outcome.exitStatus, 0) << program << ": " << outcome.output;
        EXPECT_EQ(outcome.output, "") << program << " has remarks";
    }
    if (!missing.empty())
        GTEST_SKIP() << "not installed:" << missing << " (desktop-file-utils, libxml2-utils)";
}

}
}
