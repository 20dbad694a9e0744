#pragma once

#include "benchmark/BenchmarkFileSystem.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace tallowin::testing {

// An in-memory file system that keeps only file sizes (a payload of gigabytes costs nothing) and
// fails on request. Failures are injected by a part of the path (empty: never); set them only
// while no test or clean-up runs.
class FakeBenchmarkFileSystem final : public BenchmarkFileSystem {
public:
    struct Operation {
        std::string path;
        enum class Kind { write, read } kind;
        std::size_t bytes;
    };

    std::string failCreateContaining;
    std::string failOpenContaining;
    std::string shortReadContaining;
    std::string unremovableContaining;
    std::uint64_t writeBudget { UINT64_MAX }; // total bytes before writes fail with ENOSPC
    bool failReportWrite { false };
    std::chrono::microseconds delayPerOperation { 0 };

    FileResult<void> createEmptyFile(const std::string& path) override
    {
        std::lock_guard lock(m_mutex);
        if (matches(failCreateContaining, path))
            return Unexpected(FileSystemError { EROFS, "Read-only file system" });
        m_files[path] = 0;
        return {};
    }
    FileResult<std::unique_ptr<TestFileHandle>> open(const std::string& path, OpenMode) override
    {
        std::lock_guard lock(m_mutex);
        if (!m_files.contains(path) || matches(failOpenContaining, path))
            return Unexpected(FileSystemError { EACCES, "Permission denied" });
        return std::unique_ptr<TestFileHandle>(std::make_unique<Handle>(*this, path));
    }
    bool fileExists(const std::string& path) override
    {
        std::lock_guard lock(m_mutex);
        return m_files.contains(path) || m_reports.contains(path);
    }
    FileResult<void> removeItem(const std::string& path) override
    {
        std::lock_guard lock(m_mutex);
        ++m_removeAttempts;
        if (matches(unremovableContaining, path))
            return Unexpected(FileSystemError { EROFS, "Read-only file system" });
        m_files.erase(path);
        return {};
    }
    FileResult<void> writeAtomically(const std::string& path, std::string_view bytes) override
    {
        std::lock_guard lock(m_mutex);
        if (failReportWrite)
            return Unexpected(FileSystemError { ENOSPC, "No space left on device" });
        if (m_reports.contains(path))
            return Unexpected(FileSystemError { EEXIST, "File exists" });
        m_reports[path] = std::string(bytes);
        return {};
    }

    // Files that exist now (reports not included).
    std::vector<std::string> files() const
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> paths;
        for (const auto& [path, size] : m_files)
            paths.push_back(path);
        return paths;
    }
    std::map<std::string, std::string> reports() const
    {
        std::lock_guard lock(m_mutex);
        return m_reports;
    }
    // The sizes of the reads or writes on paths containing `pathPart`, in order.
    std::vector<std::size_t> sizesOf(std::string_view pathPart, Operation::Kind kind) const
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::size_t> sizes;
        for (const auto& operation : m_operations) {
            if (operation.kind == kind && operation.path.find(pathPart) != std::string::npos)
                sizes.push_back(operation.bytes);
        }
        return sizes;
    }
    int removeAttempts() const { return m_removeAttempts; }
    int dropCacheCalls() const { return m_dropCacheCalls; }

private:
    static bool matches(const std::string& part, const std::string& path)
    {
        return !part.empty() && path.find(part) != std::string::npos;
    }

    class Handle final : public TestFileHandle {
    public:
        Handle(FakeBenchmarkFileSystem& fileSystem, std::string path)
            : m_fileSystem(fileSystem)
            , m_path(std::move(path))
        { }
        FileResult<void> setLength(std::uint64_t length) override
        {
            std::lock_guard lock(m_fileSystem.m_mutex);
            m_fileSystem.m_files[m_path] = length;
            return {};
        }
        FileResult<void> seek(std::uint64_t offset) override
        {
            m_offset = offset;
            return {};
        }
        FileResult<void> write(std::span<const std::byte> bytes) override
        {
            pause();
            std::lock_guard lock(m_fileSystem.m_mutex);
            if (m_fileSystem.m_written + bytes.size() > m_fileSystem.writeBudget)
                return Unexpected(FileSystemError { ENOSPC, "No space left on device" });
            m_fileSystem.m_written += bytes.size();
            m_offset += bytes.size();
            auto& size = m_fileSystem.m_files[m_path];
            size = std::max(size, m_offset);
            m_fileSystem.m_operations.push_back({ m_path, Operation::Kind::write, bytes.size() });
            return {};
        }
        FileResult<std::size_t> read(std::span<std::byte> buffer) override
        {
            pause();
            std::lock_guard lock(m_fileSystem.m_mutex);
            auto size = m_fileSystem.m_files[m_path];
            std::size_t got = m_offset >= size
                ? 0
                : static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - m_offset));
            if (matches(m_fileSystem.shortReadContaining, m_path))
                got = got / 2;
            m_offset += got;
            m_fileSystem.m_operations.push_back({ m_path, Operation::Kind::read, got });
            return got;
        }
        FileResult<void> synchronize() override { return {}; }
        void dropCachedPages() override { ++m_fileSystem.m_dropCacheCalls; }
        void adviseAccessPattern(AccessPattern) override { }
        void close() override { }

    private:
        void pause()
        {
            if (m_fileSystem.delayPerOperation.count() > 0)
                std::this_thread::sleep_for(m_fileSystem.delayPerOperation);
        }
        FakeBenchmarkFileSystem& m_fileSystem;
        std::string m_path;
        std::uint64_t m_offset { 0 };
    };

    mutable std::mutex m_mutex;
    std::map<std::string, std::uint64_t> m_files;
    std::map<std::string, std::string> m_reports;
    std::vector<Operation> m_operations;
    std::uint64_t m_written { 0 };
    std::atomic<int> m_removeAttempts { 0 };
    std::atomic<int> m_dropCacheCalls { 0 };
};

}
