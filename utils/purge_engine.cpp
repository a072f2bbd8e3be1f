#include "purge_protocol.hpp"

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
    for (int fd : {data_, dryRunSource_, backup_, backupRead_})
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
    if (!writeMark())
        return failUnchanged("write", paths_.szMark);
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
    if (!context_.dryRun) {
        data_ = io().open(paths_.szBin, O_RDWR);
        dataWriteError_ = data_ >= 0 ? 0 : errno;
    }
    if (data_ < 0)
        data_ = io().open(paths_.szBin, O_RDONLY);
    if (data_ < 0)
        return reportOpen(program_.openDataFailure, paths_.szBin, kCannotOpenData);
    sayIfUnlocked();
    return kPurged;
}

// A new backup shows nothing to others until it has the data file's mode.
int Purge::createBackup()
{
    if (!context_.dryRun) {
        backup_ = io().open(paths_.szOld, O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (backup_ < 0)
            return reportOpen(program_.openBackupFailure, paths_.szOld, kCannotOpenBackup);
    } else if (!canCreate(paths_.szOld)) {
        return reportOpen(program_.openBackupFailure, paths_.szOld, kCannotOpenBackup);
    }
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
    dataMode_ = status.st_mode & 07777;
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

// Before the data file is emptied, so that a failure leaves it whole.
int Purge::reopenBackup()
{
    if (!program_.reopenBackupFailure)
        return kPurged;
    backupRead_ = io().open(paths_.szOld, O_RDONLY);
    if (backupRead_ < 0)
        return reportOpen(program_.reopenBackupFailure, paths_.szOld, kCannotOpenBackup);
    return kPurged;
}

bool Purge::writeMark()
{
    mark_.backupLength = tally_.copied;
    mark_.keptLength = tally_.keptLength;
    mark_.judgementTime = judgementTime_;
    rules_.writeSettings(mark_.settings, sizeof mark_.settings);
    char text[kMarkTextSize];
    size_t length = 0;
    if (!formatMark(mark_, program_.name, paths_.szBin, paths_.szOld, text, sizeof text, length)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const int fd = io().open(paths_.szMark, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    markWritten_ = true;
    giveDataMode(fd, paths_.szMark);
    bool ok = writeAll(io(), fd, text, length) && io().fsync(fd) == 0;
    ok = io().close(fd) == 0 && ok;
    // One sync of the directory makes the entries of the backup and the
    // mark durable together.
    return ok && syncDirectory();
}

int Purge::takeLease()
{
    switch (lease_.take(data_, context_.waits.leaseSeconds)) {
    case WriteLease::Outcome::Held:
        return kPurged;
    case WriteLease::Outcome::Refused:
        std::fprintf(context_.err, "%s: no lease on %s (%s): going on without it, so the node's "
                                   "open() of the file does not wait while it is rewritten\n",
                     program_.name, paths_.szBin, std::strerror(errno));
        return kPurged;
    case WriteLease::Outcome::KeptOpen:
        break;
    }
    if (!context_.waits.withoutLease)
        return reportKeptOpen();
    std::fprintf(context_.err, "%s: %s is kept open by another process: purging without the "
                               "lease, as asked; a record appended between the last copy and the "
                               "truncation is lost\n",
                 program_.name, paths_.szBin);
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
    mark_.backupLength = tally_.copied;
    mark_.keptLength = tally_.keptLength;
    return kPurged;
}

// A truncation that fails leaves the data file as it was, its trailing
// part-record included.  The kept records then go below the kept length
// only: a record appended after the truncation lands beyond it.
int Purge::rewrite()
{
    if (io().ftruncate(data_, static_cast<off_t>(tally_.keptLength)) != 0)
        return failUnchanged("truncate", paths_.szBin);
    const int backup = backupForReading();
    const Pass pass = tally_.runs.usable()
                          ? records_.rewriteRuns(backup, data_, tally_.runs, tally_.keptLength)
                          : records_.rewrite(backup, data_, rules_, judgementTime_,
                                             mark_.backupLength, mark_.keptLength, false);
    return pass == Pass::Done ? kPurged : failRewrite(pass);
}

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
    if (io().unlink(paths_.szMark) != 0)
        return failMarkRemoval();
    markWritten_ = false;
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

int Purge::reportLocked()
{
    std::fprintf(context_.err, "%s: another purge of %s held its lock for the %g s waited: "
                               "nothing was touched (--lock-wait=SECONDS waits longer)\n",
                 program_.name, paths_.szDirectory, context_.waits.lockSeconds);
    return kLockedByAnotherPurge;
}

int Purge::reportKeptOpen()
{
    std::fprintf(context_.err, "%s: %s is kept open by another process (the node server?): no "
                               "lease on it within %g s, so nothing was changed (--without-lease "
                               "purges all the same)\n",
                 program_.name, paths_.szBin, context_.waits.leaseSeconds);
    takeBackMark();
    return kDataKeptOpen;
}

int Purge::reportCutShort()
{
    std::fprintf(context_.err, "%s: %s was cut short by another process while it was copied: "
                               "not purged\n",
                 program_.name, paths_.szBin);
    takeBackMark();
    return kFailedDataUnchanged;
}

// Before the truncation the data file is as it was; a mark already left is
// taken back, since the backup is not needed.
int Purge::failUnchanged(const char* step, const char* path)
{
    std::fprintf(context_.err, "%s: %s %s: %s; %s unchanged\n", program_.name, step, path,
                 std::strerror(errno), paths_.szBin);
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
    std::fprintf(context_.err, "%s: %s %s: %s\n", program_.name, step, path, std::strerror(errno));
    const int backup = backupForReading();
    const bool rewritten = data_ >= 0 && backup >= 0 &&
                           records_.rewrite(backup, data_, rules_, judgementTime_,
                                            mark_.backupLength, mark_.keptLength,
                                            false) == Pass::Done;
    lease_.release();
    if (rewritten && io().fsync(data_) == 0 && closeChecked(data_)) {
        filesRemain_ = !rules_.afterRewrite(io(), false) || filesRemain_;
        if (io().unlink(paths_.szMark) == 0 && syncDirectory()) {
            std::fprintf(context_.err, "%s: %s rebuilt from %s: the purge is complete\n",
                         program_.name, paths_.szBin, paths_.szOld);
            return kFailedDataRebuilt;
        }
    }
    std::fprintf(context_.err, "%s: the mark %s stays, and the next run completes the rewrite of "
                               "%s from %s\n",
                 program_.name, paths_.szMark, paths_.szBin, paths_.szOld);
    return kFailedRebuildPending;
}

int Purge::failRewrite(Pass pass)
{
    if (pass == Pass::Failed)
        return failAfterTruncation("rewrite", paths_.szBin);
    errno = EINVAL;
    return failAfterTruncation("judge the records of", paths_.szOld);
}

int Purge::failMarkRemoval()
{
    std::fprintf(context_.err,
                 "%s: remove %s: %s; %s is complete, and the next run finds it so and purges as "
                 "usual\n",
                 program_.name, paths_.szMark, std::strerror(errno), paths_.szBin);
    return kFailedRebuildPending;
}

int Purge::failDirectorySync()
{
    std::fprintf(context_.err, "%s: fsync %s: %s; %s is complete\n", program_.name,
                 paths_.szDirectory, std::strerror(errno), paths_.szBin);
    return kFailedRebuildPending;
}

int Purge::completed() { return filesRemain_ ? kMessageFilesRemain : kPurged; }

// --- what the steps share ------------------------------------------------------

void Purge::sayIfUnlocked()
{
    if (lock_.error() != 0)
        std::fprintf(context_.err, "%s: cannot lock %s (%s): going on without the lock; no "
                                   "other purge of that directory may run meanwhile\n",
                     program_.name, paths_.szDirectory, std::strerror(lock_.error()));
}

void Purge::sayLeaseBroken(int seconds)
{
    std::fprintf(context_.err, "%s: the kernel broke the lease on %s after %d s: a reader may "
                               "have seen the file half-rewritten\n",
                 program_.name, paths_.szBin, seconds);
}

// What a dry run asks where a real run would create or truncate a file.
bool Purge::canCreate(const char* path)
{
    if (io().access(path, W_OK) == 0)
        return true;
    return errno == ENOENT && io().access(paths_.szDirectory, W_OK | X_OK) == 0;
}

// The backup and the mark show no more than the data file does.  A file
// that is not a regular one (a device) is left as it is.
void Purge::giveDataMode(int fd, const char* path)
{
    struct stat file;
    const bool ok = io().fstat(fd, file) == 0 &&
                    (!S_ISREG(file.st_mode) || (file.st_mode & 07777) == dataMode_ ||
                     io().fchmod(fd, dataMode_) == 0);
    if (!ok)
        std::fprintf(context_.err, "%s: cannot give %s the mode of %s: %s\n", program_.name, path,
                     paths_.szBin, std::strerror(errno));
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

void Purge::takeBackMark()
{
    if (markWritten_ && io().unlink(paths_.szMark) == 0)
        markWritten_ = false;
}
