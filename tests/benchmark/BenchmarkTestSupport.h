#pragma once

#include "core/MainQueue.h"
#include "support/LanguageGuard.h"
#include "support/TemporaryDirectory.h"

#include <chrono>
#include <functional>

namespace tallowin::testing {

// Test folders on the system disk: the temporary folder is often a tmpfs, which would measure
// memory. (An absolute prefix takes the place of the temporary folder.)
inline constexpr const char* onSystemDisk = "/var/tmp/tallowin-bench-test";

// Runs the main queue until the predicate holds; polls too, as some of what it looks at changes
// on other threads without posting to the main queue.
inline bool driveUntil(
    EventLoopMainQueue& queue, const std::function<bool()>& predicate, std::chrono::milliseconds timeout)
{
    for (auto deadline = std::chrono::steady_clock::now() + timeout;
         std::chrono::steady_clock::now() < deadline;)
        if (queue.runUntil(predicate, std::chrono::milliseconds(5)))
            return true;
    return predicate();
}

}
