#pragma once

#include "core/MainQueue.h"
#include "smart/PrivilegedHelperManager.h"

#include <memory>
#include <optional>
#include <thread>

namespace tallowin::cli {

// Runs `work` on a thread of its own while this thread serves the main queue: the helper
// manager's registration workflow runs on the main queue, and a SMART fetch waits for it.
template<typename Result, typename Work> Result whileServingMainQueue(Work work)
{
    auto mainQueue = std::make_shared<EventLoopMainQueue>();
    PrivilegedHelperManager::setSharedMainQueue(mainQueue);
    std::optional<Result> outcome;
    std::thread worker([&] {
        auto produced = work();
        mainQueue->post([&, produced = std::move(produced)]() mutable {
            outcome.emplace(std::move(produced));
            mainQueue->quit();
        });
    });
    mainQueue->run();
    worker.join();
    return std::move(*outcome);
}

}
