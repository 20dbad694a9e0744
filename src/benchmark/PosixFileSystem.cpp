#include "benchmark/BenchmarkFileSystem.h"

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

class PosixFileHandle final : public TestFileHandle {
public:
    explicit PosixFileHandle(int descriptor)
        : m_descriptor(descriptor)
    { }
    ~PosixFileHandle() override { close(); }
    PosixFileHandle(const PosixFileHandle&) = delete;
    PosixFileHandle& operator=(const PosixFileHandle&) = delete;

    FileResult<void> setLength(std::uint64_t length) override
    {
        if (::ftruncate(m_descriptor, static_cast<off_t>(length)) != 0)
            return failure();
        return {};
    }

    FileResult<void> seek(std::uint64_t offset) override
    {
        if (::lseek(m_descriptor, static_cast<off_t>(offset), SEEK_SET) < 0)
            return failure();
        return {};
    }

    FileResult<void> write(std::span<const std::byte> bytes) override
    {
        while (!bytes.empty()) {
            auto written = ::write(m_descriptor, bytes.data(), bytes.size());
            if (written < 0) {
                if (errno == EINTR)
                    continue;
                return failure();
            }
            bytes = bytes.subspan(static_cast<std::size_t>(written));
        }
        return {};
    }

    FileResult<std::size_t> read(std::span<std::byte> buffer) override
    {
        std::size_t total = 0;
        while (total < buffer.size()) {
            auto got = ::read(m_descriptor, buffer.data() + total, buffer.size() - total);
            if (got < 0) {
                if (errno == EINTR)
                    continue;
                return failure<std::size_t>();
            }
            if (got == 0)
                break;
            total += static_cast<std::size_t>(got);
        }
        return total;
    }

    FileResult<void> synchronize() override
    {
        if (::fsync(m_descriptor) != 0)
            return failure();
        return {};
    }

    void dropCachedPages() override { ::posix_fadvise(m_descriptor, 0, 0, POSIX_FADV_DONTNEED); }

    void adviseAccessPattern(AccessPattern pattern) override
    {
        ::posix_fadvise(
            m_descriptor, 0, 0, pattern == AccessPattern::random ? POSIX_FADV_RANDOM : POSIX_FADV_SEQUENTIAL);
    }

    void close() override
    {
        if (m_descriptor >= 0) {
            ::close(m_descriptor); // never retried: the descriptor is gone either way
            m_descriptor = -1;
        }
    }

private:
    int m_descriptor { -1 };
};

class PosixFileSystem final : public BenchmarkFileSystem {
public:
    FileResult<void> createEmptyFile(const std::string& path) override
    {
        int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (descriptor < 0)
            return failure();
        ::close(descriptor);
        return {};
    }

    FileResult<std::unique_ptr<TestFileHandle>> open(const std::string& path, OpenMode mode) override
    {
        int flags = O_CLOEXEC
            | (mode == OpenMode::writeOnly       ? O_WRONLY
                    : mode == OpenMode::readOnly ? O_RDONLY
                                                 : O_RDWR);
        int descriptor = -1;
        do {
            descriptor = ::open(path.c_str(), flags);
        } while (descriptor < 0 && errno == EINTR);
        if (descriptor < 0)
            return failure<std::unique_ptr<TestFileHandle>>();
        return std::unique_ptr<TestFileHandle>(std::make_unique<PosixFileHandle>(descriptor));
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
        int descriptor = ::mkostemp(temporary.data(), O_CLOEXEC);
        if (descriptor < 0)
            return failure();
        PosixFileHandle handle(descriptor);
        auto result = writeAndMove(handle, descriptor, temporary, path, bytes);
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
