#pragma once

#include <optional>
#include <string>
#include <vector>

namespace tallowin::cli {

// How a `bench` run ended, once the test, its clean-up and its report are all done.
struct BenchEnding {
    bool interrupted { false };
    bool hasResult { false };
    // The tester's published failure text (a failed test, or a failed report after a result).
    std::optional<std::string> errorMessage;
    // Temporary files still registered: their removal failed.
    std::vector<std::string> leftoverFiles;
    friend bool operator==(const BenchEnding&, const BenchEnding&) = default;
};

// What the command says on standard error and the status it exits with.
struct BenchVerdict {
    int exitStatus { 0 };
    bool printsResult { false };
    std::vector<std::string> messages;
    friend bool operator==(const BenchVerdict&, const BenchVerdict&) = default;
};

// A real failure is never hidden behind an interruption that came after it, and "removed" is only
// said of files that are gone.
BenchVerdict benchVerdict(const BenchEnding&);

}
