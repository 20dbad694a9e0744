#include "benchmark/TemporaryFileRegistry.h"

namespace tallowin {

void TemporaryFileRegistry::beginRun(const Uuid& run)
{
    std::lock_guard lock(m_mutex);
    m_runningTests.insert(run);
}

void TemporaryFileRegistry::endRun(const Uuid& run)
{
    std::lock_guard lock(m_mutex);
    m_runningTests.erase(run);
    for (auto& [path, owner] : m_pendingFiles) {
        if (owner == run)
            owner.reset();
    }
}

void TemporaryFileRegistry::registerFile(const std::string& path, const Uuid& run)
{
    std::lock_guard lock(m_mutex);
    // A run that has already ended owns nothing any more; its file is an ordinary leftover.
    m_pendingFiles[path] = m_runningTests.contains(run) ? std::optional(run) : std::nullopt;
}

void TemporaryFileRegistry::registerFile(const std::string& path)
{
    std::lock_guard lock(m_mutex);
    m_pendingFiles[path] = std::nullopt;
}

void TemporaryFileRegistry::unregisterFile(const std::string& path)
{
    std::lock_guard lock(m_mutex);
    m_pendingFiles.erase(path);
}

std::vector<std::string> TemporaryFileRegistry::drainPendingFiles()
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> files;
    std::erase_if(m_pendingFiles, [&](const auto& entry) {
        if (entry.second)
            return false;
        files.push_back(entry.first);
        return true;
    });
    return files;
}

std::vector<std::string> TemporaryFileRegistry::pendingFiles() const
{
    std::lock_guard lock(m_mutex);
    std::vector<std::string> files;
    for (const auto& entry : m_pendingFiles)
        files.push_back(entry.first);
    return files;
}

std::shared_ptr<TemporaryFileCleanup> TemporaryFileCleanup::create(
    std::shared_ptr<BenchmarkFileSystem> fileSystem)
{
    return std::shared_ptr<TemporaryFileCleanup>(new TemporaryFileCleanup(std::move(fileSystem)));
}

TemporaryFileCleanup::TemporaryFileCleanup(std::shared_ptr<BenchmarkFileSystem> fileSystem)
    : m_fileSystem(std::move(fileSystem))
    , m_registry(std::make_shared<TemporaryFileRegistry>())
    , m_pendingJobs(std::make_shared<std::atomic<int>>(0))
    , m_queue(queueLabel, QualityOfService::Utility)
{ }

void TemporaryFileCleanup::removeTemporaryFile(const std::string& path)
{
    ++*m_pendingJobs;
    ++m_queuedJobs;
    // The job holds what it needs itself, so it runs to its end even if this object is gone.
    m_queue.post([fileSystem = m_fileSystem, registry = m_registry, pending = m_pendingJobs, path] {
        bool gone = !fileSystem->fileExists(path) || fileSystem->removeItem(path).has_value();
        if (gone)
            registry->unregisterFile(path);
        --*pending;
    });
}

void TemporaryFileCleanup::cleanUpPendingFiles()
{
    auto files = m_registry->drainPendingFiles();
    if (files.empty())
        return;
    ++*m_pendingJobs;
    ++m_queuedJobs;
    m_queue.post([fileSystem = m_fileSystem, registry = m_registry, pending = m_pendingJobs,
                     files = std::move(files)] {
        std::vector<std::string> failures;
        for (const auto& path : files) {
            if (fileSystem->fileExists(path) && !fileSystem->removeItem(path))
                failures.push_back(path);
        }
        for (const auto& path : failures)
            registry->registerFile(path);
        --*pending;
    });
}

}
