#pragma once

namespace tallowin {

// The one owner of a file descriptor in the project: closed exactly once, movable, never copied.
// Every layer (sysfs reads, sockets, pipes, benchmark files) holds its descriptors in one of these
// so that no path can leak or double-close one.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd)
        : m_fd(fd)
    { }
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept
        : m_fd(other.release())
    { }
    FileDescriptor& operator=(FileDescriptor&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    explicit operator bool() const { return isValid(); }
    [[nodiscard]] int release() noexcept
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    // Closes the current descriptor (never retried: after EINTR the descriptor is gone anyway).
    void reset(int fd = -1) noexcept;

private:
    int m_fd { -1 };
};

}
