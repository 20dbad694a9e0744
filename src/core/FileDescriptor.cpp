#include "core/FileDescriptor.h"

#include <unistd.h>

namespace tallowin {

void FileDescriptor::reset(int fd) noexcept
{
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

}
