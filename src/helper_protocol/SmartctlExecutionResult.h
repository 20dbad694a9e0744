#pragma once

#include "helper_protocol/Bytes.h"

#include <cstdint>
#include <string>

namespace tallowin {

// What one run of smartctl produced. Made by the daemon from all four values; the application
// gets its own copy by decoding a reply, so nothing is shared between the two programs.
struct SmartctlExecutionResult {
    Bytes jsonData; // smartctl's complete standard output, byte for byte
    std::string commandDescription; // executable path and arguments, joined by single spaces
    Bytes standardError; // smartctl's complete standard error, possibly empty
    std::int32_t terminationStatus { 0 }; // smartctl's exit status, a bit mask it defines

    friend bool operator==(const SmartctlExecutionResult&, const SmartctlExecutionResult&) = default;
};

}
