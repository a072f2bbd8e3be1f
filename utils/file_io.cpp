#include "file_io.hpp"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
template <typename Call>
auto retried(Call call)
{
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}
}  // namespace

int FileIo::open(const char* path, int flags, mode_t mode)
{
    return retried([&] { return ::open(path, flags | O_CLOEXEC, mode); });
}

ssize_t FileIo::read(int fd, void* into, size_t size)
{
    return retried([&] { return ::read(fd, into, size); });
}

ssize_t FileIo::write(int fd, const void* from, size_t size)
{
    return retried([&] { return ::write(fd, from, size); });
}

off_t FileIo::lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }

int FileIo::fsync(int fd)
{
    return retried([&] { return ::fsync(fd); });
}

int FileIo::ftruncate(int fd, off_t length)
{
    return retried([&] { return ::ftruncate(fd, length); });
}

// A close is not retried: on Linux the descriptor is gone even when close
// reports EINTR.
int FileIo::close(int fd) { return ::close(fd); }

int FileIo::unlink(const char* path) { return ::unlink(path); }

int FileIo::access(const char* path) { return ::access(path, F_OK); }

ssize_t readFull(FileIo& io, int fd, void* into, size_t size)
{
    auto* to = static_cast<char*>(into);
    size_t got = 0;
    while (got < size) {
        const ssize_t n = io.read(fd, to + got, size - got);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

bool writeAll(FileIo& io, int fd, const void* from, size_t size)
{
    const auto* p = static_cast<const char*>(from);
    while (size > 0) {
        const ssize_t n = io.write(fd, p, size);
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool syncDirectory(FileIo& io, const char* directory)
{
    const int fd = io.open(directory, O_RDONLY | O_DIRECTORY);
    if (fd < 0)
        return false;
    const bool synced = io.fsync(fd) == 0;
    const int error = errno;
    if (io.close(fd) != 0)
        return false;
    errno = error;
    return synced;
}
