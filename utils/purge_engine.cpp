// The purge protocol.  Its invariants, each kept at every instant, whether
// the run is killed or the power fails (what no fsync made durable may then
// be lost, or reach the disk in another order than it was written):
//
//  1. Every record of the data file is in the data file, or in the backup
//     with the mark beside it.  Nothing is truncated before the backup and
//     the mark are on disk.
//  2. A record that the node appends lies past the kept length, where no
//     rewrite ever writes; the node appends nothing while the run holds the
//     lease, from the last copy to the backup until after the truncation.
//  3. The lease is not released before the truncation is on disk and the
//     mark says so (see PurgeMark): bytes past the kept length are taken
//     for the node's only where the truncation is known to be durable.
//  4. A reader of the data file finds it as it was or as it will be: while
//     it is rewritten, the lease keeps the node's open() waiting.
//  5. Message files of dropped mail go only once the new data file is on
//     disk, and their removal is on disk before the mark goes.
//
// Without the lease (the system refuses it, or --without-lease) 2 and 4 do
// not hold: a record that the node appends between the last copy and the
// truncation is lost, and one appended before the truncation's sync may be
// lost, or leave an old record twice, if the power fails then.
//
// The data file has one descriptor for the whole run: a second open would
// wait on the run's own lease.  A run started by root works as the owner of
// the directory (owner_identity); the files it creates are opened without
// following a link, never block on a FIFO, and are refused unless regular.
#include "purge_protocol.hpp"

#include <cstdarg>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// The system's text, then where the path led from the working directory,
// so that a run from the wrong directory says where it looked.
int reportFailedOpen(FILE* err, const char* program, const char* text, const char* path, int status)
{
    const int error = errno;
    std::fprintf(err, "%s: %s\n", text, std::strerror(error));
    char directory[4096];
    if (path[0] != '/' && getcwd(directory, sizeof directory))
        std::fprintf(err, "%s: %s/%s: %s\n", program, directory, path, std::strerror(error));
    else
        std::fprintf(err, "%s: %s: %s\n", program, path, std::strerror(error));
    return status;
}

int runPurge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
             const PurgeContext& context)
{
    Purge purge(program, paths, rules, context);
    return purge.run();
}

Purge::Purge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
             const PurgeContext& context)
    : program_(program), paths_(paths), rules_(rules), context_(context),
      judgementTime_(context.clock()), records_(context.io, program.recordSize),
      lock_(context.io),
      lease_(context.io, [this](int seconds) { sayLeaseBroken(seconds); }),
      signals_(context.out)
{
}

Purge::~Purge()
{
    lease_.release();
    for (int fd : {data_, dryRunSource_, backup_, backupRead_, markFile_.fd})
        if (fd >= 0)
            io().close(fd);
}

int Purge::run()
{
    if (const int status = lockDirectory(); status != kPurged)
        return status;
    if (const int status = openData(); status != kPurged)
        return status;
    if (const int status = recoverInterruptedRun(); status != kPurged)
        return status;
    if (const int status = createBackup(); status != kPurged)
        return status;
    std::fprintf(context_.out, "Creating %s\n", program_.backupFileName);
    rules_.prepare(io());
    if (const int status = copyToBackup(); status != kPurged)
        return status;

    if (context_.dryRun)
        return showDryRun();
    if (dataWriteError_ != 0) {
        errno = dataWriteError_;
        return reportOpen(program_.reopenDataFailure, paths_.szBin, kCannotReopenData);
    }
    if (const int status = reopenBackup(); status != kPurged)
        return status;
    // The mark's syncs come before the lease, so that the node does not wait
    // for them; from the mark on, a termination waits for the end.
    signals_.hold();
    if (const int status = writeMark(); status != kPurged)
        return status;
    if (const int status = takeLease(); status != kPurged)
        return status;
    if (const int status = takeInTail(); status != kPurged)
        return status;
    if (const int status = rewrite(); status != kPurged)
        return status;
    if (const int status = finishRewrite(); status != kPurged)
        return status;
    signals_.release();
    rules_.printSummary(context_.out, tally_.kept, tally_.dropped);
    return completed();
}

int Purge::lockDirectory()
{
    if (lock_.acquire(paths_.szDirectory, context_.waits.lockSeconds) ==
        DirectoryLock::Outcome::Busy)
        return reportLocked();
    return kPurged;
}

// Read and write, or read only: a data file that cannot be written still
// gets its complete backup before the failure is reported.
int Purge::openData()
{
    mode_t kind = 0;
    if (!context_.dryRun) {
        data_ = openRegular(paths_.szBin, O_RDWR, kind);
        dataWriteError_ = data_ >= 0 ? 0 : errno;
    }
    if (data_ < 0 && kind == 0)
        data_ = openRegular(paths_.szBin, O_RDONLY, kind);
    if (kind != 0)
        return reportNotRegular(paths_.szBin, kind, kCannotOpenData);
    if (data_ < 0)
        return reportOpen(program_.openDataFailure, paths_.szBin, kCannotOpenData);
    sayIfUnlocked();
    return kPurged;
}

// A new backup shows nothing to others until it has the data file's mode.
// It is emptied only once it is known to be a regular file, never reached
// through a link.
int Purge::createBackup()
{
    mode_t kind = 0;
    if (context_.dryRun) {
        if (canCreate(paths_.szOld, kind))
            return kPurged;
        return kind == 0 ? reportOpen(program_.openBackupFailure, paths_.szOld, kCannotOpenBackup)
                         : reportNotRegular(paths_.szOld, kind, kCannotOpenBackup);
    }
    backup_ = openRegular(paths_.szOld, O_RDWR | O_CREAT | O_NOFOLLOW, kind);
    if (kind != 0)
        return reportNotRegular(paths_.szOld, kind, kCannotOpenBackup);
    if (backup_ < 0 || io().ftruncate(backup_, 0) != 0)
        return reportOpen(program_.openBackupFailure, paths_.szOld, kCannotOpenBackup);
    return kPurged;
}

// The bulk of the copy, bounded by the length at its start: a node that
// appends faster than the copy runs cannot keep it going.
int Purge::copyToBackup()
{
    const int source = dryRunSource_ >= 0 ? dryRunSource_ : data_;
    const char* sourcePath = dryRunSource_ >= 0 ? paths_.szOld : paths_.szBin;
    struct stat status;
    if (io().fstat(source, status) != 0)
        return failUnchanged("fstat", sourcePath);
    dataMode_ = status.st_mode & 0777;
    if (!records_.copy(source, backup_, records_.wholeLength(status.st_size), rules_,
                       judgementTime_, tally_))
        return failCopy(sourcePath);
    if (context_.dryRun)
        return kPurged;
    giveDataMode(backup_, paths_.szOld);
    if (io().fsync(backup_) != 0)
        return failUnchanged("fsync", paths_.szOld);
    return kPurged;
}

// Before the data file is emptied, so that a failure leaves it whole; what
// is read back must be the file that was written, not one put in its place.
int Purge::reopenBackup()
{
    if (!program_.reopenBackupFailure)
        return kPurged;
    mode_t kind = 0;
    backupRead_ = openRegular(paths_.szOld, O_RDONLY | O_NOFOLLOW, kind);
    if (backupRead_ < 0 && kind == 0)
        return reportOpen(program_.reopenBackupFailure, paths_.szOld, kCannotOpenBackup);
    struct stat written;
    struct stat read;
    if (backupRead_ < 0 || io().fstat(backup_, written) != 0 ||
        io().fstat(backupRead_, read) != 0 || written.st_dev != read.st_dev ||
        written.st_ino != read.st_ino)
        return reportBackupReplaced();
    return kPurged;
}

// The mark (see PurgeMark) is new: a stale one was dealt with by the
// recovery.  It stays open until it goes: the truncation's word is written
// over in place.
int Purge::writeMark()
{
    PurgeMark mark;
    mark.backupLength = tally_.copied;
    mark.keptLength = tally_.keptLength;
    mark.judgementTime = judgementTime_;
    rules_.writeSettings(mark.settings, sizeof mark.settings);
    char text[kMarkTextSize];
    size_t length = 0;
    if (!formatMark(mark, program_.name, paths_.szBin, paths_.szOld, text, sizeof text, length,
                    markFile_.truncationAt))
        return failMarkTooLong();
    markFile_.fd = io().open(paths_.szMark, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (markFile_.fd < 0)
        return failUnchanged("create", paths_.szMark);
    giveDataMode(markFile_.fd, paths_.szMark);
    // One sync of the directory makes the entries of the backup and the
    // mark durable together.
    if (!writeAll(io(), markFile_.fd, text, length) || io().fsync(markFile_.fd) != 0 ||
        !syncDirectory())
        return failUnchanged("write", paths_.szMark);
    return kPurged;
}

int Purge::takeLease()
{
    switch (lease_.take(data_, context_.waits.leaseSeconds)) {
    case WriteLease::Outcome::Held:
        return kPurged;
    case WriteLease::Outcome::Refused:
        say("no lease on %s (%s): going on without it, so the node's open() of the file does not "
            "wait while it is rewritten\n", paths_.szBin, std::strerror(errno));
        return kPurged;
    case WriteLease::Outcome::KeptOpen:
        break;
    }
    if (!context_.waits.withoutLease)
        return reportKeptOpen();
    say("%s is kept open by another process: purging without the lease, as asked; a record "
        "appended between the last copy and the truncation is lost\n", paths_.szBin);
    return kPurged;
}

// Without the lease the node may append between the last copy and the
// mark; a few more rounds take that in before the truncation.
constexpr int kTailRounds = 8;

// What the node appended since the bulk copy goes to the backup too,
// after the records that the mark counts: a later run finds where it ends
// by the backup's length.  Under the lease nothing can be appended, so one
// round takes it in; without it, rounds go on while the data file grows or
// ends in a record still being written.
int Purge::takeInTail()
{
    for (int round = 0;; ++round) {
        struct stat status;
        if (io().fstat(data_, status) != 0)
            return failUnchanged("fstat", paths_.szBin);
        const uint64_t end = records_.wholeLength(status.st_size);
        if (end < tally_.copied)
            return reportCutShort();
        if (end > tally_.copied) {
            if (!records_.copy(data_, backup_, end, rules_, judgementTime_, tally_))
                return failCopy(paths_.szBin);
            if (io().fsync(backup_) != 0)
                return failUnchanged("fsync", paths_.szOld);
        }
        if (lease_.held() || round == kTailRounds)
            break;
        if (io().fstat(data_, status) != 0)
            return failUnchanged("fstat", paths_.szBin);
        if (static_cast<uint64_t>(status.st_size) == tally_.copied)
            break;
    }
    return kPurged;
}

// A truncation that fails leaves the data file as it was, its trailing
// part-record included.  The truncation is on disk, and the mark says so,
// before the kept records are written below the kept length, under the
// lease still: a record appended once it is released lands beyond it.
int Purge::rewrite()
{
    if (io().ftruncate(data_, static_cast<off_t>(tally_.keptLength)) != 0)
        return failUnchanged("truncate", paths_.szBin);
    if (io().fsync(data_) != 0)
        return failAfterTruncation("fsync", paths_.szBin);
    if (!markTruncationDurable())
        return failAfterTruncation("write", paths_.szMark);
    const int backup = backupForReading();
    const Pass pass = tally_.runs.usable()
                          ? records_.rewriteRuns(backup, data_, tally_.runs, tally_.keptLength)
                          : records_.rewrite(backup, data_, rules_, judgementTime_,
                                             tally_.copied, tally_.keptLength, false);
    return pass == Pass::Done ? kPurged : failRewrite(pass);
}

// "durable" over "pending", synced: see PurgeMark.
bool Purge::markTruncationDurable()
{
    return writeAllAt(io(), markFile_.fd, kDurableWord, sizeof kDurableWord - 1,
                      static_cast<off_t>(markFile_.truncationAt)) &&
           io().fsync(markFile_.fd) == 0;
}

// The node's wait ends before the sync of the kept records: the
// truncation's sync came before, under the lease, and what the node appends
// now lies past the kept length.
int Purge::finishRewrite()
{
    lease_.release();
    if (io().fsync(data_) != 0)
        return failAfterTruncation("fsync", paths_.szBin);
    if (!closeChecked(data_))
        return failAfterTruncation("close", paths_.szBin);
    if (!closeChecked(backup_) || !closeChecked(backupRead_))
        return failAfterTruncation("close", paths_.szOld);
    filesRemain_ = !rules_.afterRewrite(io(), false) || filesRemain_;
    if (!rules_.syncRemovals(io()))
        return failRemovalSync();
    if (!closeChecked(markFile_.fd))
        return failMarkRemoval("close");
    if (io().unlink(paths_.szMark) != 0)
        return failMarkRemoval("remove");
    if (!syncDirectory())
        return failDirectorySync();
    return kPurged;
}

// What a real run would print, and where it would fail, with its status.
int Purge::showDryRun()
{
    if (io().access(paths_.szBin, W_OK) != 0)
        return reportOpen(program_.reopenDataFailure, paths_.szBin, kCannotReopenData);
    rules_.printSummary(context_.out, tally_.kept, tally_.dropped);
    filesRemain_ = !rules_.afterRewrite(io(), true);
    return completed();
}

// --- the reports of the run's failures ---------------------------------------

int Purge::reportOpen(const char* text, const char* path, int status)
{
    return reportFailedOpen(context_.err, program_.name, text, path, status);
}

int Purge::reportNotRegular(const char* path, mode_t kind, int status)
{
    say("%s is %s, not a regular file: nothing was changed\n", path, fileTypeName(kind));
    return status;
}

int Purge::reportBackupReplaced()
{
    say("%s was replaced by another file while it was written: %s unchanged\n",
        paths_.szOld, paths_.szBin);
    return kCannotOpenBackup;
}

int Purge::reportLocked()
{
    say("another purge of %s held its lock for the %g s waited: nothing was touched "
        "(--lock-wait=SECONDS waits longer)\n", paths_.szDirectory, context_.waits.lockSeconds);
    return kLockedByAnotherPurge;
}

int Purge::reportKeptOpen()
{
    say("%s is kept open by another process (the node server?): no lease on it within %g s, so "
        "nothing was changed (--without-lease purges all the same)\n",
        paths_.szBin, context_.waits.leaseSeconds);
    takeBackMark();
    return kDataKeptOpen;
}

int Purge::reportCutShort()
{
    say("%s was cut short by another process while it was copied: not purged\n", paths_.szBin);
    takeBackMark();
    return kFailedDataUnchanged;
}

// Before the truncation the data file is as it was; a mark already left is
// taken back, since the backup is not needed.
int Purge::failUnchanged(const char* step, const char* path)
{
    say("%s %s: %s; %s unchanged\n", step, path, std::strerror(errno), paths_.szBin);
    takeBackMark();
    return kFailedDataUnchanged;
}

int Purge::failCopy(const char* source)
{
    return records_.readFailed() ? failUnchanged("read", source)
                                 : failUnchanged("write", paths_.szOld);
}

// After the truncation the kept records are written once more from the
// backup, as the next run would; where that fails too, the mark stays for
// the next run.
int Purge::failAfterTruncation(const char* step, const char* path)
{
    say("%s %s: %s\n", step, path, std::strerror(errno));
    return rebuildAfterTruncation();
}

int Purge::failRewrite(Pass pass)
{
    if (pass == Pass::Failed)
        return failAfterTruncation("rewrite", paths_.szBin);
    say("the records of %s, read back, did not give the kept length counted when they were "
        "copied\n", paths_.szOld);
    return rebuildAfterTruncation();
}

// The rebuild is on disk before the lease goes, as a rewrite's truncation is.
int Purge::rebuildAfterTruncation()
{
    const int backup = backupForReading();
    const bool rebuilt = data_ >= 0 && backup >= 0 &&
                         records_.rewrite(backup, data_, rules_, judgementTime_,
                                          tally_.copied, tally_.keptLength,
                                          false) == Pass::Done &&
                         io().fsync(data_) == 0;
    lease_.release();
    if (rebuilt && closeChecked(data_)) {
        filesRemain_ = !rules_.afterRewrite(io(), false) || filesRemain_;
        if (rules_.syncRemovals(io()) && io().unlink(paths_.szMark) == 0 && syncDirectory()) {
            say("%s rebuilt from %s: the purge is complete\n", paths_.szBin, paths_.szOld);
            return kFailedDataRebuilt;
        }
    }
    say("the mark %s stays, and the next run completes the rewrite of %s from %s\n",
        paths_.szMark, paths_.szBin, paths_.szOld);
    return kFailedRebuildPending;
}

int Purge::failMarkTooLong()
{
    say("the paths and settings do not fit in the mark %s: %s unchanged\n",
        paths_.szMark, paths_.szBin);
    return kFailedDataUnchanged;
}

int Purge::failRemovalSync()
{
    say("fsync of the message files' directory: %s; the mark %s stays, and the next run removes "
        "them again\n", std::strerror(errno), paths_.szMark);
    return kFailedRebuildPending;
}

int Purge::failMarkRemoval(const char* step)
{
    say("%s %s: %s; %s is complete, and the next run finds it so and purges as usual\n",
        step, paths_.szMark, std::strerror(errno), paths_.szBin);
    return kFailedRebuildPending;
}

int Purge::failDirectorySync()
{
    say("fsync %s: %s; %s is complete\n", paths_.szDirectory, std::strerror(errno), paths_.szBin);
    return kFailedRebuildPending;
}

int Purge::completed() { return filesRemain_ ? kMessageFilesRemain : kPurged; }

// --- what the steps share ------------------------------------------------------

void Purge::say(const char* format, ...)
{
    std::fprintf(context_.err, "%s: ", program_.name);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(context_.err, format, arguments);
    va_end(arguments);
}

void Purge::sayIfUnlocked()
{
    if (lock_.error() != 0)
        say("cannot lock %s (%s): going on without the lock; no other purge of that directory may "
            "run meanwhile\n", paths_.szDirectory, std::strerror(lock_.error()));
}

void Purge::sayLeaseBroken(int seconds)
{
    say("the kernel broke the lease on %s after %d s: a reader may have seen the file "
        "half-rewritten\n", paths_.szBin, seconds);
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
        say("cannot give %s the mode of %s: %s\n", path, paths_.szBin, std::strerror(errno));
}

// Closes a descriptor of the run once, checked.
bool Purge::closeChecked(int& fd)
{
    const int was = fd;
    fd = -1;
    return was < 0 || io().close(was) == 0;
}

// Through the descriptor of the lock, which is the directory's.
bool Purge::syncDirectory()
{
    return lock_.fd() >= 0 ? io().fsync(lock_.fd()) == 0
                           : ::syncDirectory(io(), paths_.szDirectory);
}

// On the way out of a failure already reported: what is left of the mark
// is only what a later run finds and removes.
void Purge::takeBackMark()
{
    if (markFile_.fd < 0)
        return;
    closeChecked(markFile_.fd);
    io().unlink(paths_.szMark);
}
