// The purge's steps before its mark: the backup made and made durable, and
// what must hold before the data file is touched.  A dry run ends here,
// having shown what a real run would print.
#include "purge_protocol.hpp"

#include <fcntl.h>
#include <unistd.h>

// A new backup shows nothing to others until it has the data file's mode.
// It is emptied only once it is known to be a regular file, never reached
// through a link.
int Purge::createBackup()
{
    mode_t kind = 0;
    if (context_.dryRun) {
        if (canCreate(paths_.szOld, kind))
            return kPurged;
        return kind == 0 ? reports_.failedOpen(OpenStep::Backup, paths_.szOld, kCannotOpenBackup)
                         : reports_.notRegular(paths_.szOld, kind, kCannotOpenBackup);
    }
    backup_ = openRegular(paths_.szOld, O_RDWR | O_CREAT | O_NOFOLLOW, kind);
    if (kind != 0)
        return reports_.notRegular(paths_.szOld, kind, kCannotOpenBackup);
    if (backup_ < 0 || io().ftruncate(backup_, 0) != 0)
        return reports_.failedOpen(OpenStep::Backup, paths_.szOld, kCannotOpenBackup);
    return kPurged;
}

// The bulk of the copy, bounded by the length at its start: a node that
// appends faster than the copy runs cannot keep it going.  Invariant 1: the
// backup is on disk before anything is truncated.
int Purge::copyToBackup()
{
    const int source = shownBackup_ >= 0 ? shownBackup_ : data_;
    const char* sourcePath = shownBackup_ >= 0 ? paths_.szOld : paths_.szBin;
    struct stat status;
    if (io().fstat(source, status) != 0)
        return reports_.unchanged("fstat", sourcePath);
    dataMode_ = status.st_mode & 0777;
    if (!records_.copy(source, backup_, records_.wholeLength(status.st_size), rules_,
                       judgementTime_, tally_))
        return failCopy(sourcePath);
    if (context_.dryRun)
        return kPurged;
    giveDataMode(backup_, paths_.szOld);
    if (io().fsync(backup_) != 0)
        return reports_.unchanged("fsync", paths_.szOld);
    return kPurged;
}

// What a real run would print, and where it would fail, with its status.
int Purge::showDryRun()
{
    if (io().access(paths_.szBin, W_OK) != 0)
        return reports_.failedOpen(OpenStep::DataForWriting, paths_.szBin, kCannotReopenData);
    rules_.printSummary(context_.out, tally_.kept, tally_.dropped);
    filesRemain_ = !rules_.afterRewrite(io(), true);
    return filesRemain_ ? kMessageFilesRemain : kPurged;
}

// The data file must be writable, and the backup read back must be the file
// that was written, not one put in its place; before the data file is
// touched, so that a failure leaves it whole.
int Purge::checkBeforeTheMark()
{
    if (dataWriteError_ != 0) {
        errno = dataWriteError_;
        return reports_.failedOpen(OpenStep::DataForWriting, paths_.szBin, kCannotReopenData);
    }
    if (!reopensBackup(program_))
        return kPurged;
    mode_t kind = 0;
    backupRead_ = openRegular(paths_.szOld, O_RDONLY | O_NOFOLLOW, kind);
    if (backupRead_ < 0 && kind == 0)
        return reports_.failedOpen(OpenStep::BackupForReading, paths_.szOld, kCannotOpenBackup);
    struct stat written;
    struct stat read;
    if (backupRead_ < 0 || io().fstat(backup_, written) != 0 ||
        io().fstat(backupRead_, read) != 0 || written.st_dev != read.st_dev ||
        written.st_ino != read.st_ino)
        return reports_.backupReplaced();
    return kPurged;
}

// Opens without waiting on a FIFO, and keeps the descriptor only of a
// regular file: a FIFO or a device is neither read nor written.  kind is
// the type of a file of another kind, 0 otherwise; -1 with errno set.
int Purge::openRegular(const char* path, int flags, mode_t& kind)
{
    const RegularFile file = openRegularFile(io(), path, flags | O_NOCTTY, 0600);
    kind = file.notRegular;
    return file.fd;
}

// What a dry run asks where a real run would create or truncate the
// backup: whether it could be opened as the real run opens it, and written.
bool Purge::canCreate(const char* path, mode_t& kind)
{
    const int fd = openRegular(path, O_RDONLY | O_NOFOLLOW, kind);
    if (fd >= 0) {
        io().close(fd);
        return io().access(path, W_OK) == 0;
    }
    return kind == 0 && errno == ENOENT && io().access(paths_.szDirectory, W_OK | X_OK) == 0;
}

// The backup and the mark show no more than the data file does: its
// permission bits, never a set-id or sticky bit.
void Purge::giveDataMode(int fd, const char* path)
{
    struct stat file;
    const bool ok = io().fstat(fd, file) == 0 &&
                    ((file.st_mode & 07777) == dataMode_ || io().fchmod(fd, dataMode_) == 0);
    if (!ok)
        reports_.modeNotGiven(path);
}
