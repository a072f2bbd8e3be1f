// A FileIo that fails on demand, for the fault sweeps of the purge engine
// and of dbindex: each call is named by what it does and the path it does
// it to ("fsync ab.old"), so that a sweep can tell which one it failed.
#pragma once

#include "file_io.hpp"

#include <cerrno>
#include <fcntl.h>
#include <functional>
#include <map>
#include <string>

// Fails the call numbered failAt (from 1) with EIO, and remembers which it
// was; refuses the calls that begin with a refusal's name with its error,
// and lets a test act as the node server before any call.
class FailingIo : public FileIo {
public:
    struct Refusal {
        int error;
        int times = 1 << 30;
        int skip = 0;  // the calls of that name let through first
    };
    int failAt = 0;
    int calls = 0;
    std::string failed;
    std::map<std::string, Refusal> refusals;
    std::function<void(const std::string&)> before;

    int open(const char* path, int flags, mode_t mode) override
    {
        if (fails("open " + std::string(path)))
            return -1;
        const int fd = FileIo::open(path, flags, mode);
        if (fd >= 0)
            paths_[fd] = path;
        return fd;
    }
    ssize_t read(int fd, void* into, size_t size) override
    {
        return fails("read " + paths_[fd]) ? -1 : FileIo::read(fd, into, size);
    }
    ssize_t write(int fd, const void* from, size_t size) override
    {
        return fails("write " + paths_[fd]) ? -1 : FileIo::write(fd, from, size);
    }
    ssize_t pread(int fd, void* into, size_t size, off_t offset) override
    {
        return fails("pread " + paths_[fd]) ? -1 : FileIo::pread(fd, into, size, offset);
    }
    ssize_t pwrite(int fd, const void* from, size_t size, off_t offset) override
    {
        return fails("pwrite " + paths_[fd]) ? -1 : FileIo::pwrite(fd, from, size, offset);
    }
    ssize_t copyFileRange(int from, off_t fromOffset, int to, off_t toOffset, size_t size) override
    {
        return fails("copy_file_range " + paths_[to])
                   ? -1
                   : FileIo::copyFileRange(from, fromOffset, to, toOffset, size);
    }
    int fstat(int fd, struct stat& status) override
    {
        return fails("fstat " + paths_[fd]) ? -1 : FileIo::fstat(fd, status);
    }
    int fsync(int fd) override { return fails("fsync " + paths_[fd]) ? -1 : FileIo::fsync(fd); }
    int ftruncate(int fd, off_t length) override
    {
        return fails("ftruncate " + paths_[fd]) ? -1 : FileIo::ftruncate(fd, length);
    }
    int close(int fd) override
    {
        const std::string what = "close " + paths_[fd];
        paths_.erase(fd);
        const int result = FileIo::close(fd);  // the descriptor is gone either way
        return fails(what) ? -1 : result;
    }
    int unlink(const char* path) override
    {
        return fails("unlink " + std::string(path)) ? -1 : FileIo::unlink(path);
    }
    int access(const char* path, int mode) override
    {
        return fails("access " + std::string(path)) ? -1 : FileIo::access(path, mode);
    }
    int fchmod(int fd, mode_t mode) override
    {
        return fails("fchmod " + paths_[fd]) ? -1 : FileIo::fchmod(fd, mode);
    }
    int fchown(int fd, uid_t owner, gid_t group) override
    {
        return fails("fchown " + paths_[fd]) ? -1 : FileIo::fchown(fd, owner, group);
    }
    int rename(const char* from, const char* to) override
    {
        return fails("rename " + std::string(from)) ? -1 : FileIo::rename(from, to);
    }
    int lstat(const char* path, struct stat& status) override
    {
        return fails("lstat " + std::string(path)) ? -1 : FileIo::lstat(path, status);
    }
    int listDirectory(const char* path, const std::function<void(const char*)>& visit) override
    {
        return fails("list " + std::string(path)) ? -1 : FileIo::listDirectory(path, visit);
    }
    int flock(int fd, int operation) override
    {
        return fails("flock " + paths_[fd]) ? -1 : FileIo::flock(fd, operation);
    }
    int setLease(int fd, int type) override
    {
        const char* what = type == F_UNLCK ? "unlease " : "lease ";
        return fails(what + paths_[fd]) ? -1 : FileIo::setLease(fd, type);
    }

private:
    bool fails(const std::string& what)
    {
        if (before)
            before(what);
        for (auto& [name, refusal] : refusals) {
            if (what.rfind(name, 0) == 0 && refusal.skip > 0) {
                --refusal.skip;
            } else if (what.rfind(name, 0) == 0 && refusal.times > 0) {
                --refusal.times;
                errno = refusal.error;
                return true;
            }
        }
        if (++calls != failAt)
            return false;
        failed = what;
        errno = EIO;
        return true;
    }
    std::map<int, std::string> paths_;
};
