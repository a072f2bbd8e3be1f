#include "file_io.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
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

ssize_t FileIo::pread(int fd, void* into, size_t size, off_t offset)
{
    return retried([&] { return ::pread(fd, into, size, offset); });
}

ssize_t FileIo::pwrite(int fd, const void* from, size_t size, off_t offset)
{
    return retried([&] { return ::pwrite(fd, from, size, offset); });
}

int FileIo::fstat(int fd, struct stat& status) { return ::fstat(fd, &status); }

ssize_t FileIo::copyFileRange(int from, off_t fromOffset, int to, off_t toOffset, size_t size)
{
    return retried([&] { return ::copy_file_range(from, &fromOffset, to, &toOffset, size, 0); });
}

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

int FileIo::access(const char* path, int mode) { return ::access(path, mode); }

int FileIo::fchmod(int fd, mode_t mode)
{
    return retried([&] { return ::fchmod(fd, mode); });
}

int FileIo::fchown(int fd, uid_t owner, gid_t group)
{
    return retried([&] { return ::fchown(fd, owner, group); });
}

int FileIo::rename(const char* from, const char* to) { return ::rename(from, to); }

int FileIo::lstat(const char* path, struct stat& status) { return ::lstat(path, &status); }

int FileIo::stat(const char* path, struct stat& status) { return ::stat(path, &status); }

int FileIo::listDirectory(const char* path, const std::function<void(const char*)>& visit)
{
    DIR* directory = opendir(path);
    if (!directory)
        return -1;
    // readdir gives null both at the end and on an error: errno tells them apart.
    errno = 0;
    for (const dirent* entry; (entry = readdir(directory)) != nullptr; errno = 0)
        visit(entry->d_name);
    const int error = errno;
    if (closedir(directory) != 0 && error == 0)
        return -1;
    errno = error;
    return error == 0 ? 0 : -1;
}

int FileIo::flock(int fd, int operation)
{
    return retried([&] { return ::flock(fd, operation); });
}

int FileIo::setLease(int fd, int type)
{
    return retried([&] { return ::fcntl(fd, F_SETLEASE, type); });
}

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

namespace {
// Writes every byte through write(bytes, size), which returns what write(2)
// returns.
template <typename Write>
bool writeEvery(const void* from, size_t size, Write write)
{
    const auto* p = static_cast<const char*>(from);
    while (size > 0) {
        const ssize_t n = write(p, size);
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
}  // namespace

bool writeAll(FileIo& io, int fd, const void* from, size_t size)
{
    return writeEvery(from, size, [&](const char* p, size_t n) { return io.write(fd, p, n); });
}

bool writeAllAt(FileIo& io, int fd, const void* from, size_t size, off_t offset)
{
    return writeEvery(from, size, [&](const char* p, size_t n) {
        const ssize_t written = io.pwrite(fd, p, n, offset);
        offset += written > 0 ? written : 0;
        return written;
    });
}

void directoryOf(const char* path, char* directory, size_t size)
{
    const char* slash = std::strrchr(path, '/');
    const int length = !slash ? 1 : slash == path ? 1 : static_cast<int>(slash - path);
    std::snprintf(directory, size, "%.*s", length, slash ? path : ".");
}

RegularFile openRegularFile(FileIo& io, const char* path, int flags, mode_t mode)
{
    RegularFile file;
    const int fd = io.open(path, flags | O_NONBLOCK, mode);
    if (fd < 0)
        return file;
    if (io.fstat(fd, file.status) != 0) {
        const int error = errno;
        io.close(fd);
        errno = error;
        return file;
    }
    if (!S_ISREG(file.status.st_mode)) {
        file.notRegular = file.status.st_mode & S_IFMT;
        io.close(fd);
        return file;
    }
    file.fd = fd;
    return file;
}

const char* fileTypeName(mode_t type)
{
    switch (type & S_IFMT) {
    case S_IFREG:
        return "a regular file";
    case S_IFDIR:
        return "a directory";
    case S_IFIFO:
        return "a FIFO";
    case S_IFCHR:
        return "a character device";
    case S_IFBLK:
        return "a block device";
    case S_IFSOCK:
        return "a socket";
    case S_IFLNK:
        return "a symbolic link";
    default:
        return "a file of an unknown kind";
    }
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
