#pragma once

#include "core/Expected.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace tallowin {

// The failure of one file operation: the errno value and its description.
struct FileSystemError {
    int code { 0 };
    std::string description;
    friend bool operator==(const FileSystemError&, const FileSystemError&) = default;
};

template<typename T> using FileResult = Expected<T, FileSystemError>;

// An open test file: an ordinary buffered handle. The sequential phases move its offset with each
// call; the random phases name the offset in the call itself (one pwrite or pread per operation,
// no separate seek), as fio does.
class TestFileHandle {
public:
    enum class AccessPattern {
        sequential,
        random,
    };

    virtual ~TestFileHandle() = default;
    virtual FileResult<void> setLength(std::uint64_t) = 0;
    // Writes the whole buffer at the handle's offset and moves it past the bytes written.
    virtual FileResult<void> write(std::span<const std::byte>) = 0;
    // Reads up to the buffer's size at the handle's offset; fewer bytes only at the end of the file.
    virtual FileResult<std::size_t> read(std::span<std::byte>) = 0;
    // The same at a given offset; the handle's own offset does not move.
    virtual FileResult<void> writeAt(std::uint64_t offset, std::span<const std::byte>) = 0;
    virtual FileResult<std::size_t> readAt(std::uint64_t offset, std::span<std::byte>) = 0;
    // Flushes the file's data to the device.
    virtual FileResult<void> synchronize() = 0;
    // Drops the file's clean pages from the page cache, so that the next reads come from the
    // device. Best effort: a file system that cannot do it simply keeps them.
    virtual void dropCachedPages() = 0;
    // Tells the kernel how the file is about to be read (read-ahead or none).
    virtual void adviseAccessPattern(AccessPattern) = 0;
    // Errors of close are of no interest to a test file that is deleted afterwards.
    virtual void close() = 0;
};

// The file operations of a performance test and its report, behind an interface so that tests
// can inject failures (a full disk, a read-only folder, a file that cannot be removed).
class BenchmarkFileSystem {
public:
    enum class OpenMode {
        writeOnly,
        readOnly,
        update,
    };

    virtual ~BenchmarkFileSystem() = default;
    // Creates an empty file, replacing one of the same name.
    virtual FileResult<void> createEmptyFile(const std::string& path) = 0;
    virtual FileResult<std::unique_ptr<TestFileHandle>> open(const std::string& path, OpenMode) = 0;
    virtual bool fileExists(const std::string& path) = 0;
    virtual FileResult<void> removeItem(const std::string& path) = 0;
    // Writes the bytes to a temporary file beside the target, flushes it and moves it into place;
    // never replaces an existing file and leaves nothing behind on failure.
    virtual FileResult<void> writeAtomically(const std::string& path, std::string_view bytes) = 0;
};

// The real file system, through POSIX calls.
std::shared_ptr<BenchmarkFileSystem> makePosixFileSystem();

}
