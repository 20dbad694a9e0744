#pragma once

#include "benchmark/BenchmarkFileSystem.h"
#include "core/SerialQueue.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace tallowin {

// The temporary test files that may still exist, from the moment each is created until it is
// known to be deleted. Operations run one at a time under the registry's own lock.
class TemporaryFileRegistry {
public:
    void registerFile(const std::string& path);
    void unregisterFile(const std::string& path);
    // Every registered file (in no defined order); the registry is empty afterwards.
    std::vector<std::string> drainPendingFiles();
    std::vector<std::string> pendingFiles() const;

private:
    mutable std::mutex m_mutex;
    std::set<std::string> m_pendingFiles;
};

// Deletes temporary files on the serial queue "com.tallowin.performanceTester.cleanup", never on
// the main thread or the test task. Shared by the tester and its running test, so that queued
// deletions still happen when the tester is gone.
class TemporaryFileCleanup {
public:
    static constexpr const char* queueLabel = "com.tallowin.performanceTester.cleanup";

    static std::shared_ptr<TemporaryFileCleanup> create(std::shared_ptr<BenchmarkFileSystem>);

    TemporaryFileRegistry& registry() { return *m_registry; }

    // Queues the deletion of one file. A file found gone or removed leaves the registry; a file
    // that cannot be removed stays registered for the next clean-up.
    void removeTemporaryFile(const std::string& path);
    // Drains the registry and queues the deletion of everything it held; what cannot be removed
    // is registered again. An empty registry queues nothing.
    void cleanUpPendingFiles();

    // Deletion jobs queued and not finished yet.
    int pendingJobs() const { return m_pendingJobs->load(); }
    // Jobs queued so far, for checking that an empty drain queues none.
    int queuedJobs() const { return m_queuedJobs; }

private:
    explicit TemporaryFileCleanup(std::shared_ptr<BenchmarkFileSystem>);

    std::shared_ptr<BenchmarkFileSystem> m_fileSystem;
    std::shared_ptr<TemporaryFileRegistry> m_registry;
    std::shared_ptr<std::atomic<int>> m_pendingJobs;
    std::atomic<int> m_queuedJobs { 0 };
    SerialQueue m_queue;
};

}
