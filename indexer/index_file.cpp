#include "index_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr int kLinkHops = 40;  // as the kernel's own limit on symbolic links
constexpr mode_t kPermissionBits = 0777;  // never the set-id or sticky bits
constexpr char kTemporarySuffix[] = ".tmp";

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

// The index's name with ".tmp", its name cut first where the whole would
// be longer than a file name may be: every index has a temporary name, the
// same at every run, so that the next run finds what a killed one left.
// Only a name of the longest length that ends in ".tmp" has none, as the
// cut would give the index's own name.
bool temporaryName(const char* target, char* temporary, size_t size)
{
    const char* slash = std::strrchr(target, '/');
    const size_t nameStart = slash ? static_cast<size_t>(slash - target + 1) : 0;
    const size_t kept = std::min(std::strlen(target + nameStart), size_t{NAME_MAX} - std::strlen(kTemporarySuffix));
    const int length = static_cast<int>(nameStart + kept);
    if (std::snprintf(temporary, size, "%.*s%s", length, target, kTemporarySuffix) >= static_cast<int>(size) ||
        std::strcmp(temporary, target) == 0) {
        errno = ENAMETOOLONG;
        return false;
    }
    return true;
}

// 1 when path names the file open on fd, 0 when it names another or none,
// -1 on an error.
int namesFile(FileIo& io, const char* path, int fd)
{
    struct stat opened;
    struct stat named;
    if (io.fstat(fd, opened) != 0)
        return -1;
    if (io.lstat(path, named) != 0)
        return errno == ENOENT ? 0 : -1;
    return opened.st_ino == named.st_ino && opened.st_dev == named.st_dev ? 1 : 0;
}

// Waits for the lock on the file open on fd, then tells whether path still
// names it (1), names another file or none (0), or an error (-1).  A file
// system without locks leaves the turns to the operator.
int takeTurn(FileIo& io, const char* path, int fd)
{
    if (io.flock(fd, LOCK_EX) != 0 && errno != ENOLCK && errno != EINVAL)
        return -1;
    return namesFile(io, path, fd);
}

}  // namespace

IndexFile::~IndexFile() { abandon(); }

int IndexFile::refuse(const char* path, mode_t type)
{
    failedPath_ = path;
    notRegular_ = type;
    return -1;
}

int IndexFile::open(const char* indexPath, mode_t newMode)
{
    newMode_ = newMode & kPermissionBits;
    failedPath_ = indexPath;
    if (!followLinks(indexPath, target_, sizeof target_))
        return -1;
    hadOld_ = io_.lstat(target_, old_) == 0;
    if (!hadOld_ && errno != ENOENT)
        return -1;
    // Only a regular file is replaced: a FIFO or a device is not an index.
    if (hadOld_ && !S_ISREG(old_.st_mode))
        return refuse(indexPath, old_.st_mode & S_IFMT);
    // An index that cannot be written is not replaced behind its back.
    if (hadOld_ && io_.access(target_, W_OK) != 0)
        return -1;
    directoryOf(target_, directory_, sizeof directory_);
    if (!temporaryName(target_, temporary_, sizeof temporary_))
        return -1;
    failedPath_ = temporary_;
    fd_ = openTemporary();
    return fd_;
}

// Only a file that this run created is written: one found at the temporary
// name is removed once its lock shows that no run works on it (a killed
// run's).  Two runs on one index take turns through that lock; a run that
// waited finds the file renamed away and starts a new one.
int IndexFile::openTemporary()
{
    for (;;) {
        const int fd = io_.open(temporary_, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
        if (fd < 0) {
            if (errno != EEXIST || !removeStale())
                return -1;
            continue;
        }
        const int turn = takeTurn(io_, temporary_, fd);
        if (turn == 1) {
            ownsTemporary_ = true;
            return fd;
        }
        const int error = errno;
        io_.close(fd);  // never written: nothing to lose
        if (turn < 0) {
            errno = error;
            return -1;
        }
    }
}

// True when the temporary name may be tried again: what lay there was
// removed, or went meanwhile.  What is not a regular file is refused, a
// symbolic link included, and never opened where it can be told first.
bool IndexFile::removeStale()
{
    struct stat found;
    if (io_.lstat(temporary_, found) != 0)
        return errno == ENOENT;
    if (!S_ISREG(found.st_mode)) {
        refuse(temporary_, found.st_mode & S_IFMT);
        return false;
    }
    // Opened without following a link that took its place meanwhile.
    const RegularFile stale = openRegularFile(io_, temporary_, O_RDONLY | O_NOFOLLOW);
    if (stale.fd < 0) {
        if (stale.notRegular != 0 || errno == ELOOP)
            refuse(temporary_, stale.notRegular != 0 ? stale.notRegular : S_IFLNK);
        return stale.notRegular == 0 && errno == ENOENT;
    }
    const int turn = takeTurn(io_, temporary_, stale.fd);
    const bool nameFree = turn == 0 || (turn == 1 && (io_.unlink(temporary_) == 0 || errno == ENOENT));
    const int error = errno;
    io_.close(stale.fd);  // only read and locked: nothing to lose
    errno = error;
    return nameFree;
}

bool IndexFile::commit()
{
    failedStep_ = "write";
    // The old owner where permitted: where neither it nor the group alone
    // may be given, the new index is this user's, as any new file is.
    if (hadOld_ && io_.fchown(fd_, old_.st_uid, old_.st_gid) != 0)
        static_cast<void>(io_.fchown(fd_, static_cast<uid_t>(-1), old_.st_gid));
    const mode_t mode = hadOld_ ? old_.st_mode & kPermissionBits : newMode_;
    // Renamed while still open, and so locked: a run waiting for the lock
    // must not take the whole new index for a killed run's.
    if (io_.fchmod(fd_, mode) != 0 || io_.fsync(fd_) != 0 || io_.rename(temporary_, target_) != 0) {
        const int error = errno;
        abandon();
        errno = error;
        return false;
    }
    ownsTemporary_ = false;
    placed_ = true;
    const bool closed = io_.close(fd_) == 0;
    const int closeError = errno;
    fd_ = -1;
    if (!syncDirectory(io_, directory_)) {
        failedStep_ = "sync the directory of";
        return false;
    }
    durable_ = true;
    if (!closed) {
        failedStep_ = "close";
        errno = closeError;
        return false;
    }
    return true;
}

// What a failure leaves is cleaned up without a check: the failure before
// it is what gets reported.
void IndexFile::abandon()
{
    if (ownsTemporary_) {
        io_.unlink(temporary_);
        ownsTemporary_ = false;
    }
    if (fd_ >= 0) {
        io_.close(fd_);
        fd_ = -1;
    }
}
