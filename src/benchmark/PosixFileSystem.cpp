#include "benchmark/BenchmarkFileSystem.h"
#include "core/FileDescriptor.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallowin {

namespace {

FileSystemError lastError()
{
    int code = errno;
    return { code, std::strerror(code) };
}

template<typename T = void> FileResult<T> failure()
{
    return Unexpected(lastError());
}

// Repeats `transfer(done)` (one read, write, pread or pwrite of the bytes after `done`) until
// `size` bytes have moved, retrying on EINTR. A read stops early at the end of the file; a write
// that moves nothing would loop for ever, so it is reported as an I/O error instead.
template<typename Transfer> FileResult<std::size_t> transferAll(std::size_t size, Transfer transfer)
{
    std::size_t done = 0;
    while (done < size) {
        auto moved = transfer(done);
        if (moved < 0) {
            if (errno == EINTR)
                continue;
            return failure<std::size_t>();
        }
        if (moved == 0)
            break;
        done += static_cast<std::size_t>(moved);
    }
    return done;
}

FileResult<void> completeWrite(FileResult<std::size_t> written, std::size_t size)
{
    if (!written)
        return Unexpected(written.error());
    if (*written != size) {
        errno = EIO;
        return failure();
    }
    return {};
}

class PosixFileHandle final : public TestFileHandle {
public:
    explicit PosixFileHandle(FileDescriptor descriptor)
        : m_descriptor(std::move(descriptor))
    { }

    FileResult<void> setLength(std::uint64_t length) override
    {
        if (::ftruncate(m_descriptor.get(), static_cast<off_t>(length)) != 0)
            return failure();
        return {};
    }

    FileResult<void> write(std::span<const std::byte> bytes) override
    {
        return completeWrite(transferAll(bytes.size(),
                                 [&](std::size_t done) {
                                     return ::write(
                                         m_descriptor.get(), bytes.data() + done, bytes.size() - done);
                                 }),
            bytes.size());
    }

    FileResult<std::size_t> read(std::span<std::byte> buffer) override
    {
        return transferAll(buffer.size(), [&](std::size_t done) {
            return ::read(m_descriptor.get(), buffer.data() + done, buffer.size() - done);
        });
    }

    FileResult<void> writeAt(std::uint64_t offset, std::span<const std::byte> bytes) override
    {
        return completeWrite(transferAll(bytes.size(),
                                 [&](std::size_t done) {
                                     return ::pwrite(m_descriptor.get(), bytes.data() + done,
                                         bytes.size() - done, static_cast<off_t>(offset + done));
                                 }),
            bytes.size());
    }

    FileResult<std::size_t> readAt(std::uint64_t offset, std::span<std::byte> buffer) override
    {
        return transferAll(buffer.size(), [&](std::size_t done) {
            return ::pread(m_descriptor.get(), buffer.data() + done, buffer.size() - done,
                static_cast<off_t>(offset + done));
        });
    }

    FileResult<void> synchronize() override
    {
        if (::fsync(m_descriptor.get()) != 0)
            return failure();
        return {};
    }

    void dropCachedPages() override { ::posix_fadvise(m_descriptor.get(), 0, 0, POSIX_FADV_DONTNEED); }

    void adviseAccessPattern(AccessPattern pattern) override
    {
        ::posix_fadvise(m_descriptor.get(), 0, 0,
            pattern == AccessPattern::random ? POSIX_FADV_RANDOM : POSIX_FADV_SEQUENTIAL);
    }

    void close() override { m_descriptor.reset(); }

private:
    FileDescriptor m_descriptor;
};

class PosixFileSystem final : public BenchmarkFileSystem {
public:
    FileResult<void> createEmptyFile(const std::string& path) override
    {
        FileDescriptor descriptor(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        if (!descriptor)
            return failure();
        return {};
    }

    FileResult<std::unique_ptr<TestFileHandle>> open(const std::string& path, OpenMode mode) override
    {
        int flags = O_CLOEXEC
            | (mode == OpenMode::writeOnly       ? O_WRONLY
                    : mode == OpenMode::readOnly ? O_RDONLY
                                                 : O_RDWR);
        FileDescriptor descriptor;
        do {
            descriptor.reset(::open(path.c_str(), flags));
        } while (!descriptor && errno == EINTR);
        if (!descriptor)
            return failure<std::unique_ptr<TestFileHandle>>();
        return std::unique_ptr<TestFileHandle>(std::make_unique<PosixFileHandle>(std::move(descriptor)));
    }

    bool fileExists(const std::string& path) override
    {
        struct stat status { };
        return ::lstat(path.c_str(), &status) == 0;
    }

    FileResult<void> removeItem(const std::string& path) override
    {
        if (::unlink(path.c_str()) != 0)
            return failure();
        return {};
    }

    FileResult<void> writeAtomically(const std::string& path, std::string_view bytes) override
    {
        auto slash = path.rfind('/');
        std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
        std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        std::string temporary = directory + "." + name + ".XXXXXX";
        FileDescriptor descriptor(::mkostemp(temporary.data(), O_CLOEXEC));
        if (!descriptor)
            return failure();
        int raw = descriptor.get();
        PosixFileHandle handle(std::move(descriptor));
        auto result = writeAndMove(handle, raw, temporary, path, bytes);
        if (!result)
            ::unlink(temporary.c_str());
        return result;
    }

private:
    static FileResult<void> writeAndMove(PosixFileHandle& handle, int descriptor,
        const std::string& temporary, const std::string& path, std::string_view bytes)
    {
        if (auto written = handle.write(std::as_bytes(std::span(bytes.data(), bytes.size()))); !written)
            return written;
        if (::fchmod(descriptor, 0644) != 0)
            return failure();
        if (auto synced = handle.synchronize(); !synced)
            return synced;
        handle.close();
        if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0)
            return {};
        if (errno != EINVAL && errno != ENOSYS)
            return failure();
        // File systems without the no-replace move: a hard link refuses an existing name too.
        if (::link(temporary.c_str(), path.c_str()) != 0)
            return failure();
        ::unlink(temporary.c_str());
        return {};
    }
};

}

std::shared_ptr<BenchmarkFileSystem> makePosixFileSystem()
{
    return std::make_shared<PosixFileSystem>();
}

}
