// The disk, behind a small interface: the purge engine makes every file
// call through it, so that a test double can fail any one of them.
#pragma once

#include <cstddef>
#include <functional>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) >= 8, "data files above 2 GiB need a 64-bit off_t: -D_FILE_OFFSET_BITS=64");

class FileIo {
public:
    virtual ~FileIo() = default;
    // Each call returns what the system call of the same name returns, with
    // errno set on failure.  EINTR is retried here, not by the callers.
    virtual int open(const char* path, int flags, mode_t mode = 0);
    virtual ssize_t read(int fd, void* into, size_t size);
    virtual ssize_t write(int fd, const void* from, size_t size);
    virtual ssize_t pread(int fd, void* into, size_t size, off_t offset);
    virtual ssize_t pwrite(int fd, const void* from, size_t size, off_t offset);
    virtual int fstat(int fd, struct stat& status);
    // copy_file_range(2) between explicit offsets.
    virtual ssize_t copyFileRange(int from, off_t fromOffset, int to, off_t toOffset, size_t size);
    virtual int fsync(int fd);
    virtual int ftruncate(int fd, off_t length);
    virtual int close(int fd);
    virtual int unlink(const char* path);
    // access(2), F_OK unless asked otherwise.
    virtual int access(const char* path, int mode = F_OK);
    virtual int fchmod(int fd, mode_t mode);
    virtual int fchown(int fd, uid_t owner, gid_t group);
    virtual int rename(const char* from, const char* to);
    // lstat(2): a symbolic link is looked at, not followed.
    virtual int lstat(const char* path, struct stat& status);
    // stat(2): a symbolic link is followed.
    virtual int stat(const char* path, struct stat& status);
    // Calls visit with each name in a directory; -1 with errno set when the
    // directory cannot be read to its end.
    virtual int listDirectory(const char* path, const std::function<void(const char*)>& visit);
    // flock(2) on a descriptor.
    virtual int flock(int fd, int operation);
    // fcntl(2) F_SETLEASE.
    virtual int setLease(int fd, int type);
};

// Reads until size bytes or the end of the file; -1 on a read error.
ssize_t readFull(FileIo& io, int fd, void* into, size_t size);

// Writes every byte; false on a write error.
bool writeAll(FileIo& io, int fd, const void* from, size_t size);

// Writes every byte at offset; false on a write error.
bool writeAllAt(FileIo& io, int fd, const void* from, size_t size, off_t offset);

// Makes the directory entries of a directory durable.
bool syncDirectory(FileIo& io, const char* directory);

// The directory that holds path: what comes before its last slash, or "/"
// or ".".
void directoryOf(const char* path, char* directory, size_t size);

// A file that must be a regular one, opened without ever waiting on a FIFO
// or a device (O_NONBLOCK) and then looked at: fd is -1 when the open or the
// look failed (errno tells why) or when the path named another kind of
// file, whose type notRegular then holds (S_IFIFO, S_IFDIR, ...).
struct RegularFile {
    int fd = -1;
    mode_t notRegular = 0;
    struct stat status = {};
};
RegularFile openRegularFile(FileIo& io, const char* path, int flags, mode_t mode = 0);

// "a FIFO", "a directory", ...: the kind of a file of this type, for a
// message that says why it is refused.
const char* fileTypeName(mode_t type);
