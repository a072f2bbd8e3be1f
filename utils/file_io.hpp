// The disk, behind a small interface: the purge engine makes every file
// call through it, so that a test double can fail any one of them.
#pragma once

#include <cstddef>
#include <sys/types.h>

static_assert(sizeof(off_t) >= 8, "data files above 2 GiB need a 64-bit off_t: -D_FILE_OFFSET_BITS=64");

class FileIo {
public:
    virtual ~FileIo() = default;
    // Each call returns what the system call of the same name returns, with
    // errno set on failure.  EINTR is retried here, not by the callers.
    virtual int open(const char* path, int flags, mode_t mode = 0);
    virtual ssize_t read(int fd, void* into, size_t size);
    virtual ssize_t write(int fd, const void* from, size_t size);
    virtual off_t lseek(int fd, off_t offset, int whence);
    virtual int fsync(int fd);
    virtual int ftruncate(int fd, off_t length);
    virtual int close(int fd);
    virtual int unlink(const char* path);
    virtual int access(const char* path);
};

// Reads until size bytes or the end of the file; -1 on a read error.
ssize_t readFull(FileIo& io, int fd, void* into, size_t size);

// Writes every byte; false on a write error.
bool writeAll(FileIo& io, int fd, const void* from, size_t size);

// Makes the directory entries of a directory durable.
bool syncDirectory(FileIo& io, const char* directory);
