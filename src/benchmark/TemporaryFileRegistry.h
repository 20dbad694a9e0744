#pragma once

#include "benchmark/BenchmarkFileSystem.h"
#include "core/SerialQueue.h"
#include "core/Uuid.h"

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tallowin {

// The temporary test files that may still exist, from the moment each is created until it is
// known to be deleted. Operations run one at a time under the registry's own lock.
//
// Each file belongs to the test run that created it. A drain only hands out files of runs that
// have ended: a stopped run's late outcome triggers a clean-up while the next run may already be
// writing its own files, and those must not be deleted under it.
class TemporaryFileRegistry {
public:
    // A run whose files are kept out of every drain until it ends.
    void beginRun(const Uuid& run);
    void endRun(const Uuid& run);
    // A file of a running test (begun with beginRun).
    void registerFile(const std::string& path, const Uuid& run);
    // A file of no running test, for instance one whose removal failed and is retried later.
    void registerFile(const std::string& path);
    void unregisterFile(const std::string& path);
    // Every registered file of an ended run (in no defined order); those leave the registry.
    std::vector<std::string> drainPendingFiles();
    std::vector<std::string> pendingFiles() const;

private:
    mutable std::mutex m_mutex;
    // Each pending file and the run that created it (none once its run has ended).
    std::map<std::string, std::optional<Uuid>> m_pendingFiles;
    std::set<Uuid> m_runningTests;
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
    // Drains the files of ended runs and queues their deletion; what cannot be removed is
    // registered again. Files of runs still going are left alone. An empty drain queues nothing.
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
