#pragma once

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tallowin::testing {

// A private temporary directory, removed with everything in it when the test ends.
class TemporaryDirectory {
public:
    TemporaryDirectory()
    {
        std::string pattern
            = (std::filesystem::temp_directory_path() / "tallowin-daemon-test-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        m_path = pattern;
    }
    ~TemporaryDirectory()
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return m_path; }
    std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

private:
    std::filesystem::path m_path;
};

// Writes a shell script that stands in for smartctl.
inline std::filesystem::path writeScript(
    const std::filesystem::path& path, const std::string& body, mode_t mode = 0755)
{
    std::filesystem::create_directories(path.parent_path());
    {
        std::ofstream file(path);
        file << "#!/bin/sh\n" << body << "\n";
    }
    ::chmod(path.c_str(), mode);
    return path;
}

// A fake smartctl that appends its arguments to `calls` in its directory, prints `output` and
// exits with `status`.
inline std::filesystem::path writeRecordingSmartctl(
    const std::filesystem::path& path, const std::string& output, int status, mode_t mode = 0755)
{
    const auto calls = path.parent_path() / "calls";
    return writeScript(path,
        "echo \"$@\" >> '" + calls.string() + "'\nprintf '%s' '" + output + "'\necho 'fake stderr' >&2\nexit "
            + std::to_string(status),
        mode);
}

inline std::string readText(const std::filesystem::path& path)
{
    std::ifstream file(path);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}
