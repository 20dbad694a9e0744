#pragma once

#include "benchmark/BenchmarkEngine.h"
#include "benchmark/BenchmarkFileSystem.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <map>
#include <mutex>
#include <new>
#include <numeric>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace tallowin::testing {

// An in-memory file system that keeps only file sizes (a payload of gigabytes costs nothing) and
// fails on request: a fault applies to the paths containing its text. Set faults only while
// nothing runs.
class FakeBenchmarkFileSystem final : public BenchmarkFileSystem {
public:
    enum class Kind { write, read };
    // create also fails a report; exception throws from a write (or, for a report, its writing).
    enum class Fault { create, open, shortRead, remove, exception };
    std::map<Fault, std::string> faults;
    std::chrono::microseconds delayPerOperation { 0 };

    FileResult<void> createEmptyFile(const std::string& path) override
    {
        std::lock_guard lock(m_mutex);
        if (fails(Fault::create, path))
            return Unexpected(readOnly());
        m_files[path] = 0;
        return {};
    }
    FileResult<std::unique_ptr<TestFileHandle>> open(const std::string& path, OpenMode) override
    {
        std::lock_guard lock(m_mutex);
        if (!m_files.contains(path) || fails(Fault::open, path))
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
        if (fails(Fault::remove, path))
            return Unexpected(readOnly());
        m_files.erase(path);
        return {};
    }
    FileResult<void> writeAtomically(const std::string& path, std::string_view bytes) override
    {
        std::lock_guard lock(m_mutex);
        if (fails(Fault::exception, path))
            throw std::runtime_error("invalid format specifier");
        if (fails(Fault::create, path))
            return Unexpected(readOnly());
        m_reports[path] = std::string(bytes);
        return {};
    }

    // Test files that exist now (reports not included).
    std::vector<std::string> files() const
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::string> paths;
        for (const auto& entry : m_files)
            paths.push_back(entry.first);
        return paths;
    }
    std::map<std::string, std::string> reports() const
    {
        std::lock_guard lock(m_mutex);
        return m_reports;
    }
    // The sizes of the reads or writes on paths containing `pathPart`, in order.
    std::vector<std::size_t> sizesOf(std::string_view pathPart, Kind kind) const
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::size_t> sizes;
        for (const auto& [path, operationKind, bytes] : m_operations) {
            if (operationKind == kind && path.find(pathPart) != std::string::npos)
                sizes.push_back(bytes);
        }
        return sizes;
    }
    int dropCacheCalls() const { return m_dropCacheCalls; }

private:
    bool fails(Fault fault, const std::string& path) const
    {
        auto part = faults.find(fault);
        return part != faults.end() && path.find(part->second) != std::string::npos;
    }
    static FileSystemError readOnly() { return { EROFS, "Read-only file system" }; }

    class Handle final : public TestFileHandle {
    public:
        Handle(FakeBenchmarkFileSystem& fileSystem, std::string path)
            : m_fs(fileSystem)
            , m_path(std::move(path))
        { }
        FileResult<void> setLength(std::uint64_t length) override
        {
            std::lock_guard lock(m_fs.m_mutex);
            if (auto file = m_fs.m_files.find(m_path); file != m_fs.m_files.end())
                file->second = length;
            return {};
        }
        FileResult<void> write(std::span<const std::byte> bytes) override
        {
            auto done = writeAt(m_offset, bytes);
            m_offset += bytes.size();
            return done;
        }
        FileResult<std::size_t> read(std::span<std::byte> buffer) override
        {
            auto got = readAt(m_offset, buffer);
            if (got)
                m_offset += *got;
            return got;
        }
        FileResult<void> writeAt(std::uint64_t offset, std::span<const std::byte> bytes) override
        {
            std::this_thread::sleep_for(m_fs.delayPerOperation);
            std::lock_guard lock(m_fs.m_mutex);
            if (m_fs.fails(Fault::exception, m_path))
                throw std::bad_alloc();
            // A file removed while open keeps its data but no longer has a name.
            if (auto file = m_fs.m_files.find(m_path); file != m_fs.m_files.end())
                file->second = std::max(file->second, offset + bytes.size());
            m_fs.m_operations.push_back({ m_path, Kind::write, bytes.size() });
            return {};
        }
        FileResult<std::size_t> readAt(std::uint64_t offset, std::span<std::byte> buffer) override
        {
            std::this_thread::sleep_for(m_fs.delayPerOperation);
            std::lock_guard lock(m_fs.m_mutex);
            auto file = m_fs.m_files.find(m_path);
            auto size = file == m_fs.m_files.end() ? 0 : file->second;
            auto got = static_cast<std::size_t>(
                std::min<std::uint64_t>(buffer.size(), size - std::min(size, offset)));
            if (m_fs.fails(Fault::shortRead, m_path))
                got = got / 2;
            m_fs.m_operations.push_back({ m_path, Kind::read, got });
            return got;
        }
        FileResult<void> synchronize() override { return {}; }
        void dropCachedPages() override { ++m_fs.m_dropCacheCalls; }
        void adviseAccessPattern(AccessPattern) override { }
        void close() override { }

    private:
        FakeBenchmarkFileSystem& m_fs;
        std::string m_path;
        std::uint64_t m_offset { 0 };
    };

    mutable std::mutex m_mutex;
    std::map<std::string, std::uint64_t> m_files;
    std::map<std::string, std::string> m_reports;
    std::vector<std::tuple<std::string, Kind, std::size_t>> m_operations;
    std::atomic<int> m_dropCacheCalls { 0 };
};

// The engine on the calling thread over the fake file system, with short random phases. Its device
// counters, when readable, move by a share of what the file system was asked to read and write
// (1.0: the device saw every byte; 0.1: a cache answered nine bytes in ten).
struct EngineRun {
    using Kind = FakeBenchmarkFileSystem::Kind;
    std::shared_ptr<FakeBenchmarkFileSystem> fileSystem = std::make_shared<FakeBenchmarkFileSystem>();
    double readShare { 1.0 }, writeShare { 1.0 };
    bool countersReadable { true };
    std::optional<LinkCeiling> ceiling;
    std::vector<std::string> created, finished;
    std::vector<ProgressState> published;

    std::uint64_t total(Kind kind) const
    {
        auto sizes = fileSystem->sizesOf("Tallowin_", kind);
        return std::accumulate(sizes.begin(), sizes.end(), std::uint64_t { 0 });
    }

    Expected<BenchmarkEngine::Result, BenchmarkEngine::Failure> run(std::uint64_t payload)
    {
        BenchmarkEngine::Environment environment;
        environment.fileSystem = fileSystem;
        environment.randomPhaseDuration = 0.02;
        environment.randomPhaseWorkingSetLimit = 1024 * 1024;
        environment.linkCeiling = ceiling;
        environment.publish = [this](const ProgressState& state) { published.push_back(state); };
        environment.fileCreated = [this](const std::string& path) { created.push_back(path); };
        environment.fileFinished = [this](const std::string& path) { finished.push_back(path); };
        environment.readDeviceCounters = [this]() -> std::optional<StatisticsSnapshot> {
            // Counters near the top of their range: the phase differences must wrap, not trap.
            constexpr std::uint64_t base = UINT64_MAX - 1000;
            if (!countersReadable)
                return std::nullopt;
            return StatisticsSnapshot { base
                    + static_cast<std::uint64_t>(readShare * double(total(Kind::read))),
                base + static_cast<std::uint64_t>(writeShare * double(total(Kind::write))), 0, 0 };
        };
        return BenchmarkEngine(std::move(environment))
            .run("/vol", DiskPerformanceTester::DataSize::gigabytes(1), payload, false);
    }
};

}
