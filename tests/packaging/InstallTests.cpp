#include "support/ShellCommand.h"
#include "support/TemporaryDirectory.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
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
    static fs::path unitDirectory()
    {
        return s_stage->path() / fs::path(TALLOWIN_UNIT_DIR).relative_path();
    }

    static inline std::unique_ptr<testing::TemporaryDirectory> s_stage;
    static inline int s_installStatus { -1 };
    static inline std::string s_installOutput;
};

TEST_F(InstalledTree, HoldsEveryFileWhereTheSystemLooksForIt)
{
    const std::string bin = TALLOWIN_INSTALL_BINDIR;
    const std::string libexec = TALLOWIN_INSTALL_LIBEXECDIR;
    const std::string data = TALLOWIN_INSTALL_DATADIR;
    struct Expected {
        fs::path path;
        bool executable;
    };
    const std::vector<Expected> files {
        { installed(bin + "/tallowin"), true },
        { installed(bin + "/tallowin-cli"), true },
        { installed(libexec + "/tallowin/com.tallowin.ProbeWarden"), true },
        { unitDirectory() / "com.tallowin.ProbeWarden.socket", false },
        { unitDirectory() / "com.tallowin.ProbeWarden.service", false },
        { installed(data + "/applications/com.tallowin.Tallowin.desktop"), false },
        { installed(data + "/icons/hicolor/scalable/apps/com.tallowin.Tallowin.svg"), false },
        { installed(data + "/icons/hicolor/256x256/apps/com.tallowin.Tallowin.png"), false },
        { installed(data + "/polkit-1/actions/com.tallowin.Tallowin.policy"), false },
    };
    for (const auto& file : files) {
        struct stat status {};
        ASSERT_EQ(::stat(file.path.c_str(), &status), 0) << file.path;
        EXPECT_TRUE(S_ISREG(status.st_mode)) << file.path;
        EXPECT_EQ((status.st_mode & S_IXUSR) != 0, file.executable) << file.path;
        EXPECT_EQ(status.st_mode & S_IWOTH, 0U) << file.path << " is writable by everyone";
    }
}

// The names tie the pieces together: the desktop entry runs the installed program and shows the
// installed icon, the service starts the installed daemon.
TEST_F(InstalledTree, PiecesReferToEachOthersInstalledNames)
{
    auto desktop = readFile(installed(std::string(TALLOWIN_INSTALL_DATADIR) + "/applications/com.tallowin.Tallowin.desktop"));
    EXPECT_NE(desktop.find("\nExec=tallowin\n"), std::string::npos);
    EXPECT_NE(desktop.find("\nIcon=com.tallowin.Tallowin\n"), std::string::npos);
    EXPECT_NE(desktop.find("\nCategories=System;Monitor;\n"), std::string::npos);
    for (const char* key : { "Name[zh_CN]=", "GenericName=", "GenericName[zh_CN]=", "Comment=", "Comment[zh_CN]=" })
        EXPECT_NE(desktop.find(std::string("\n") + key), std::string::npos) << key;

    auto service = readFile(unitDirectory() / "com.tallowin.ProbeWarden.service");
    auto daemon = fmt::format("{}/{}/tallowin/com.tallowin.ProbeWarden", TALLOWIN_INSTALL_PREFIX, TALLOWIN_INSTALL_LIBEXECDIR);
    EXPECT_NE(service.find("\nExecStart=" + daemon + "\n"), std::string::npos) << service;

    auto policy = readFile(installed(std::string(TALLOWIN_INSTALL_DATADIR) + "/polkit-1/actions/com.tallowin.Tallowin.policy"));
    EXPECT_EQ(policy.find('@'), std::string::npos) << "an unconfigured placeholder is left";
    EXPECT_NE(policy.find("<allow_any>no</allow_any>"), std::string::npos);
    EXPECT_NE(policy.find("<allow_inactive>no</allow_inactive>"), std::string::npos);
    EXPECT_NE(policy.find("<allow_active>auth_admin</allow_active>"), std::string::npos)
        << "the action must not widen what pkexec grants";
    EXPECT_NE(policy.find("org.freedesktop.policykit.exec.path\">/"), std::string::npos);
}

TEST_F(InstalledTree, IconPictureIsA256PixelPng)
{
    auto png = readFile(installed(std::string(TALLOWIN_INSTALL_DATADIR) + "/icons/hicolor/256x256/apps/com.tallowin.Tallowin.png"));
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
    struct Validator {
        const char* program;
        std::string commandLine;
    };
    const std::array validators {
        Validator { "desktop-file-validate",
            fmt::format("desktop-file-validate '{}' 2>&1",
                installed(std::string(TALLOWIN_INSTALL_DATADIR) + "/applications/com.tallowin.Tallowin.desktop").string()) },
        Validator { "xmllint",
            fmt::format("xmllint --noout '{}' 2>&1",
                installed(std::string(TALLOWIN_INSTALL_DATADIR) + "/polkit-1/actions/com.tallowin.Tallowin.policy").string()) },
    };
    int ran = 0;
    for (const auto& validator : validators) {
        if (testing::runShell(fmt::format("command -v {} >/dev/null", validator.program)).exitStatus != 0)
            continue;
        ++ran;
        auto outcome = testing::runShell(validator.commandLine);
        EXPECT_EQ(outcome.exitStatus, 0) << validator.program << ": " << outcome.output;
        EXPECT_EQ(outcome.output, "") << validator.program << " has remarks";
    }
    if (ran == 0)
        GTEST_SKIP() << "neither desktop-file-validate (desktop-file-utils) nor xmllint (libxml2-utils) is installed";
}

}
}
