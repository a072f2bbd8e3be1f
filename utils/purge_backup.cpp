#include "purge_backup.hpp"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int openRegular(FileIo& io, const char* path, int flags, mode_t& kind)
{
    const RegularFile file = openRegularFile(io, path, flags | O_NOCTTY, 0600);
    kind = file.notRegular;
    return file.fd;
}

PurgeBackup::~PurgeBackup() { close(); }

bool PurgeBackup::close()
{
    bool closed = true;
    for (int* fd : {&leftBackup_, &backup_, &backupRead_}) {
        closed = (*fd < 0 || io().close(*fd) == 0) && closed;
        *fd = -1;
    }
    return closed;
}

// A new backup shows nothing to others until it has the data file's mode.
// It is emptied only once it is known to be a regular file, never reached
// through a link.
int PurgeBackup::create()
{
    const PurgePaths& paths = view_.paths;
    mode_t kind = 0;
    if (view_.dryRun) {
        if (canCreate(paths.szOld, kind))
            return kPurged;
        return kind == 0 ? view_.reports.failedOpen(OpenStep::Backup, paths.szOld, kCannotOpenBackup)
                         : view_.reports.notRegular(paths.szOld, kind, kCannotOpenBackup);
    }
    backup_ = openRegular(io(), paths.szOld, O_RDWR | O_CREAT | O_NOFOLLOW, kind);
    if (kind != 0)
        return view_.reports.notRegular(paths.szOld, kind, kCannotOpenBackup);
    if (backup_ < 0 || io().ftruncate(backup_, 0) != 0)
        return view_.reports.failedOpen(OpenStep::Backup, paths.szOld, kCannotOpenBackup);
    return kPurged;
}

// Bounded by the length at its start: a node that appends faster than the
// copy runs cannot keep it going.  Invariant 1: the backup is on disk
// before anything is truncated.
int PurgeBackup::copyFrom(int data, CopyTally& tally)
{
    const int source = leftBackup_ >= 0 ? leftBackup_ : data;
    const char* sourcePath = leftBackup_ >= 0 ? view_.paths.szOld : view_.paths.szBin;
    struct stat status;
    if (io().fstat(source, status) != 0)
        return view_.reports.unchanged("fstat", sourcePath);
    dataMode_ = status.st_mode & 0777;
    if (!view_.records.copy(source, backup_, view_.records.wholeLength(status.st_size), view_.rules,
                            view_.judgementTime, tally))
        return failedCopy(sourcePath);
    if (view_.dryRun)
        return kPurged;
    giveDataMode(backup_, view_.paths.szOld);
    if (io().fsync(backup_) != 0)
        return view_.reports.unchanged("fsync", view_.paths.szOld);
    return kPurged;
}

int PurgeBackup::showDryRun(const CopyTally& tally, bool& filesRemain)
{
    if (io().access(view_.paths.szBin, W_OK) != 0)
        return view_.reports.failedOpen(OpenStep::DataForWriting, view_.paths.szBin,
                                        kCannotReopenData);
    view_.rules.printSummary(view_.out, tally.kept, tally.dropped);
    filesRemain = !view_.rules.afterRewrite(io(), true);
    return filesRemain ? kMessageFilesRemain : kPurged;
}

// The data file must be writable, and the backup read back must be the file
// that was written, not one put in its place; before the data file is
// touched, so that a failure leaves it whole.
int PurgeBackup::checkBeforeTheMark(int dataWriteError)
{
    const PurgePaths& paths = view_.paths;
    if (dataWriteError != 0) {
        errno = dataWriteError;
        return view_.reports.failedOpen(OpenStep::DataForWriting, paths.szBin, kCannotReopenData);
    }
    if (!reopensBackup(view_.program))
        return kPurged;
    mode_t kind = 0;
    backupRead_ = openRegular(io(), paths.szOld, O_RDONLY | O_NOFOLLOW, kind);
    if (backupRead_ < 0 && kind == 0)
        return view_.reports.failedOpen(OpenStep::BackupForReading, paths.szOld, kCannotOpenBackup);
    struct stat written;
    struct stat read;
    if (backupRead_ < 0 || io().fstat(backup_, written) != 0 ||
        io().fstat(backupRead_, read) != 0 || written.st_dev != read.st_dev ||
        written.st_ino != read.st_ino)
        return view_.reports.backupReplaced();
    return kPurged;
}

int PurgeBackup::failedCopy(const char* source) const
{
    return view_.records.readFailed() ? view_.reports.unchanged("read", source)
                                      : view_.reports.unchanged("write", view_.paths.szOld);
}

// What a dry run asks where a real run would create or truncate the
// backup: whether it could be opened as the real run opens it, and written.
bool PurgeBackup::canCreate(const char* path, mode_t& kind)
{
    const int fd = openRegular(io(), path, O_RDONLY | O_NOFOLLOW, kind);
    if (fd >= 0) {
        io().close(fd);
        return io().access(path, W_OK) == 0;
    }
    return kind == 0 && errno == ENOENT && io().access(view_.paths.szDirectory, W_OK | X_OK) == 0;
}

// Its permission bits, never a set-id or sticky bit.
void PurgeBackup::giveDataMode(int fd, const char* path)
{
    struct stat file;
    const bool ok = io().fstat(fd, file) == 0 &&
                    ((file.st_mode & 07777) == dataMode_ || io().fchmod(fd, dataMode_) == 0);
    if (!ok)
        view_.reports.modeNotGiven(path);
}
