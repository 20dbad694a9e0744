#pragma once

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace tallowin::testing {

// A shell script standing in for smartctl or any other program.
inline std::filesystem::path writeScript(
    const std::filesystem::path& path, const std::string& body, mode_t mode = 0755)
{
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
    ::chmod(path.c_str(), mode);
    return path;
}

// A fake smartctl that appends its arguments to `calls` beside it, prints `output` and
// "fake stderr" and exits with `status`.
inline std::filesystem::path writeRecordingSmartctl(
    const std::filesystem::path& path, const std::string& output, int status, mode_t mode = 0755)
{
    return writeScript(path,
        "echo \"$@\" >> '" + (path.parent_path() / "calls").string() + "'\nprintf '%s' '" + output
            + "'\necho 'fake stderr' >&2\nexit " + std::to_string(status),
        mode);
}

inline std::string readText(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

}
