#include "index_file.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr int kLinkHops = 40;  // as the kernel's own limit on symbolic links

// The file that a path names once its symbolic links are followed; a
// dangling link names the file that it points to.  False when the links do
// not end or the path does not fit.
bool followLinks(const char* path, char* target, size_t size)
{
    if (std::snprintf(target, size, "%s", path) >= static_cast<int>(size))
        return false;
    for (int hop = 0; hop < kLinkHops; ++hop) {
        char link[PATH_MAX];
        const ssize_t length = readlink(target, link, sizeof link - 1);
        if (length < 0)
            return errno == EINVAL || errno == ENOENT;  // not a link, or nothing there
        link[length] = '\0';
        char* slash = std::strrchr(target, '/');
        // A relative link is read from the directory that holds it.
        const int directory = link[0] == '/' || !slash ? 0 : static_cast<int>(slash - target + 1);
        char next[PATH_MAX];
        if (std::snprintf(next, sizeof next, "%.*s%s", directory, target, link) >=
            static_cast<int>(sizeof next))
            return false;
        std::strcpy(target, next);
    }
    errno = ELOOP;
    return false;
}

bool syncDirectoryOf(const char* path)
{
    char directory[PATH_MAX];
    const char* slash = std::strrchr(path, '/');
    if (!slash)
        std::strcpy(directory, ".");
    else
        std::snprintf(directory, sizeof directory, "%.*s", slash == path ? 1 : static_cast<int>(slash - path), path);
    const int fd = ::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = fsync(fd) == 0;
    const int error = errno;
    close(fd);
    errno = error;
    return synced;
}

// 1 when path names the file open on fd, 0 when it names another or none,
// -1 on an error.
int namesFile(const char* path, int fd)
{
    struct stat opened;
    struct stat named;
    if (fstat(fd, &opened) != 0)
        return -1;
    if (stat(path, &named) != 0)
        return errno == ENOENT ? 0 : -1;
    return opened.st_ino == named.st_ino && opened.st_dev == named.st_dev ? 1 : 0;
}

}  // namespace

IndexFile::~IndexFile() { abandon(); }

int IndexFile::open(const char* indexPath, mode_t newMode)
{
    newMode_ = newMode & 07777;
    if (!followLinks(indexPath, target_, sizeof target_))
        return -1;
    hadOld_ = stat(target_, &old_) == 0;
    if (!hadOld_ && errno != ENOENT)
        return -1;
    inPlace_ = hadOld_ && !S_ISREG(old_.st_mode);
    // An index that cannot be written is not replaced behind its back.
    if (hadOld_ && !inPlace_ && access(target_, W_OK) != 0)
        return -1;
    fd_ = inPlace_ ? ::open(target_, O_WRONLY | O_TRUNC | O_CLOEXEC) : openTemporary();
    return fd_;
}

// The temporary file has one name, so that the next run takes over what a
// killed run left.  Two runs on one index take turns through a lock on it;
// a run that waited finds the file renamed away and starts a new one.
int IndexFile::openTemporary()
{
    std::snprintf(temporary_, sizeof temporary_, "%s.tmp", target_);
    for (;;) {
        const int fd = ::open(temporary_, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0)
            return -1;
        int locked;
        while ((locked = flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        // A file system without locks leaves the turns to the operator.
        const bool turn = locked == 0 || errno == ENOLCK || errno == EINVAL;
        const int same = turn ? namesFile(temporary_, fd) : -1;
        if (same == 1 && ftruncate(fd, 0) == 0) {
            ownsTemporary_ = true;
            return fd;
        }
        const int error = errno;
        close(fd);
        if (same != 0) {
            errno = error;
            return -1;
        }
    }
}

bool IndexFile::commit()
{
    const int fd = fd_;
    fd_ = -1;
    if (inPlace_)
        return close(fd) == 0;
    // The owner first: a change of owner may clear the mode's set-id bits.
    // Where neither it nor the group alone may be given, the new index is
    // this user's, as any new file is.
    const bool ownerKept = !hadOld_ || fchown(fd, old_.st_uid, old_.st_gid) == 0 ||
                           fchown(fd, static_cast<uid_t>(-1), old_.st_gid) == 0;
    static_cast<void>(ownerKept);
    bool ok = fchmod(fd, hadOld_ ? old_.st_mode & 07777 : newMode_) == 0 && fsync(fd) == 0;
    int error = errno;
    if (close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && rename(temporary_, target_) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        abandon();
        errno = error;
        return false;
    }
    ownsTemporary_ = false;
    placed_ = true;
    return syncDirectoryOf(target_);
}

void IndexFile::abandon()
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (ownsTemporary_) {
        unlink(temporary_);
        ownsTemporary_ = false;
    }
}
