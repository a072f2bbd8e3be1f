// The second way into the purge protocol: a run that finds the mark of an
// interrupted run completes that run's rewrite from the backup, or undoes
// it where its truncation never reached the disk, before it purges as
// usual.  What a mark says, and so what is done here, is PurgeMark's
// statement (purge_mark.hpp).  A mark that cannot be read is never acted on.
#include "purge_protocol.hpp"

#include <cinttypes>
#include <cstring>
#include <fcntl.h>

int Purge::recoverInterruptedRun()
{
    mode_t fileKind = 0;
    const int fd = openRegular(paths_.szMark, O_RDONLY | O_NOFOLLOW, fileKind);
    if (fd < 0) {
        if (fileKind != 0)
            return refuseMark(
                (std::string("is ") + fileTypeName(fileKind) + ", not a regular file").c_str());
        if (errno == ENOENT)
            return kPurged;
        if (errno == ELOOP)
            return refuseMark("is a symbolic link");
        // Not knowing whether a rewrite was interrupted, the run must not
        // overwrite the backup that may be the only whole copy.
        return failRecovery("look for", paths_.szMark);
    }
    PurgeMark mark;
    MarkKind kind = MarkKind::Unreadable;
    if (const int status = readMark(fd, mark, kind); status != kPurged)
        return status;
    if (kind == MarkKind::Unreadable)
        return refuseMark("cannot be read as a mark of these tools: it is torn, or another file");
    if (context_.dryRun)
        return showRecovery(kind);
    if (dataWriteError_ != 0) {
        errno = dataWriteError_;
        return failRecovery("open", paths_.szBin);
    }
    // The mark's text is on disk before the data file is touched, so a mark
    // without it means that the data file never was.
    if (kind == MarkKind::Empty)
        return forgetMark("stopped before it changed");
    return recover(mark);
}

int Purge::readMark(int fd, PurgeMark& mark, MarkKind& kind)
{
    char text[kMarkTextSize + 1];
    const ssize_t length = readFull(io(), fd, text, sizeof text);
    const int error = errno;
    if (io().close(fd) != 0 || length < 0) {
        errno = length < 0 ? error : errno;
        return failRecovery("read", paths_.szMark);
    }
    kind = static_cast<size_t>(length) > kMarkTextSize
               ? MarkKind::Unreadable
               : parseMark(text, static_cast<size_t>(length), mark);
    return kPurged;
}

// A dry run says what a real run would do first, and shows the purge that
// would follow: that of the backup, where the rewrite is to be completed.
int Purge::showRecovery(MarkKind kind)
{
    if (kind == MarkKind::Empty) {
        std::fprintf(context_.out, "%s: the interrupted run that left %s stopped before it "
                                   "changed %s; a real run removes the mark\n",
                     program_.name, paths_.szMark, paths_.szBin);
        return kPurged;
    }
    std::fprintf(context_.out, "%s: %s marks an interrupted run; a real run first completes its "
                               "rewrite of %s from %s\n",
                 program_.name, paths_.szMark, paths_.szBin, paths_.szOld);
    mode_t fileKind = 0;
    dryRunSource_ = openRegular(paths_.szOld, O_RDONLY | O_NOFOLLOW, fileKind);
    if (fileKind != 0)
        return reportNotRegular(paths_.szOld, fileKind, kRecoveryFailed);
    return dryRunSource_ < 0 ? failRecovery("open", paths_.szOld) : kPurged;
}

int Purge::recover(const PurgeMark& mark)
{
    mode_t kind = 0;
    const int backup = openRegular(paths_.szOld, O_RDONLY | O_NOFOLLOW, kind);
    if (kind != 0)
        return reportNotRegular(paths_.szOld, kind, kRecoveryFailed);
    // The backup's entry is made durable with the mark's, before anything
    // is changed: a mark left without it was left by a cut before then.
    if (backup < 0 && errno == ENOENT && !mark.truncationDurable)
        return forgetMark("stopped before it changed");
    if (backup < 0)
        return failRecovery("open", paths_.szOld);
    backupRead_ = backup;  // closed with the run
    struct stat status;
    if (io().fstat(backup, status) != 0)
        return failRecovery("fstat", paths_.szOld);
    const uint64_t backupLength = records_.wholeLength(status.st_size);
    if (const int refused = checkLengths(mark, backupLength); refused != kPurged)
        return refused;
    std::unique_ptr<PurgeRules> rules = rules_.fromSettings(mark.settings);
    if (!rules)
        return refuseMark("holds settings that these tools cannot read");
    // The backup's records are judged as the interrupted run judged them:
    // those that the mark counts must give its kept length, and those copied
    // under the lease come after them.
    const auto time = static_cast<time_t>(mark.judgementTime);
    uint64_t keptLength = 0;
    if (!records_.countKept(backup, *rules, time, 0, mark.backupLength, keptLength))
        return failRecovery("read", paths_.szOld);
    if (keptLength != mark.keptLength)
        return refuseMark("does not match its backup: the records it counts do not give its kept "
                          "length");
    if (!records_.countKept(backup, *rules, time, mark.backupLength, backupLength, keptLength))
        return failRecovery("read", paths_.szOld);
    if (!mark.truncationDurable) {
        bool whole = false;
        if (!records_.sameStart(data_, backup, backupLength, whole))
            return failRecovery("compare", paths_.szBin);
        if (whole)
            return forgetMark("stopped before it changed");
        bool truncated = false;
        if (!records_.truncatedPast(data_, backup, keptLength, backupLength, truncated))
            return failRecovery("compare", paths_.szBin);
        if (!truncated)
            return undoRun(backup, backupLength);
    }
    rules->prepare(io());
    return completeRewrite(backup, *rules, time, backupLength, keptLength);
}

// Lengths that no run writes: the mark is not acted on.
int Purge::checkLengths(const PurgeMark& mark, uint64_t backupLength)
{
    char why[kPathSize + 128];
    const size_t size = program_.recordSize;
    if (mark.backupLength > backupLength)
        std::snprintf(why, sizeof why,
                      "counts %" PRIu64 " bytes of records in %s, which holds %" PRIu64,
                      mark.backupLength, paths_.szOld, backupLength);
    else if (mark.keptLength > mark.backupLength)
        std::snprintf(why, sizeof why,
                      "counts more bytes kept (%" PRIu64 ") than copied (%" PRIu64 ")",
                      mark.keptLength, mark.backupLength);
    else if (mark.backupLength % size != 0 || mark.keptLength % size != 0)
        std::snprintf(why, sizeof why, "counts lengths that are not whole records of %zu bytes",
                      program_.recordSize);
    else
        return kPurged;
    return refuseMark(why);
}

int Purge::forgetMark(const char* why)
{
    if (io().unlink(paths_.szMark) != 0 || !syncDirectory())
        return failRecovery("remove", paths_.szMark);
    std::fprintf(context_.out, "%s: the interrupted run that left %s %s %s\n", program_.name,
                 paths_.szMark, why, paths_.szBin);
    return kPurged;
}

// The run's truncation never reached the disk, and what it rewrote did in
// part: the data file is made again what it was, below the backup's length
// only, so that what the node appended since stays.  The purge that follows
// does the work again.
int Purge::undoRun(int backup, uint64_t backupLength)
{
    lease_.take(data_, context_.waits.leaseSeconds);
    signals_.hold();
    const Pass pass = records_.restore(backup, data_, backupLength);
    lease_.release();
    if (pass != Pass::Done)
        return failRecovery("restore", paths_.szBin);
    if (io().fsync(data_) != 0)
        return failRecovery("fsync", paths_.szBin);
    if (io().unlink(paths_.szMark) != 0 || !syncDirectory())
        return failRecovery("remove", paths_.szMark);
    signals_.release();
    std::fprintf(context_.out, "%s: restored %s from %s after an interrupted run whose truncation "
                               "never reached the disk\n",
                 program_.name, paths_.szBin, paths_.szOld);
    return kPurged;
}

// The kept records are written again from the backup, judged as the
// interrupted run judged them, below the kept length only, so that every
// record appended beyond it stays.  The data file is half-rewritten
// already: it is rebuilt even when the node keeps it open.
int Purge::completeRewrite(int backup, PurgeRules& rules, time_t time, uint64_t backupLength,
                           uint64_t keptLength)
{
    lease_.take(data_, context_.waits.leaseSeconds);
    signals_.hold();
    const Pass pass = records_.rewrite(backup, data_, rules, time, backupLength, keptLength, true);
    lease_.release();
    if (pass == Pass::Mismatch)
        return failBackupChanged();
    if (pass != Pass::Done || io().fsync(data_) != 0)
        return failRecovery("rewrite", paths_.szBin);
    filesRemain_ = !rules.afterRewrite(io(), false) || filesRemain_;
    if (!rules.syncRemovals(io()))
        return failRecovery("sync the removals of", paths_.szMark);
    if (io().unlink(paths_.szMark) != 0 || !syncDirectory())
        return failRecovery("remove", paths_.szMark);
    signals_.release();
    std::fprintf(context_.out, "%s: completed the rewrite of %s from %s after an interrupted run\n",
                 program_.name, paths_.szBin, paths_.szOld);
    return kPurged;
}

// --- the reports of a recovery's failures ------------------------------------

int Purge::failRecovery(const char* step, const char* path)
{
    say("%s %s after an interrupted run: %s; the mark %s stays, and %s holds every record that it "
        "had\n", step, path, std::strerror(errno), paths_.szMark, paths_.szOld);
    return kRecoveryFailed;
}

int Purge::failBackupChanged()
{
    say("%s changed while it was read back after an interrupted run; the mark %s stays\n",
        paths_.szOld, paths_.szMark);
    return kRecoveryFailed;
}

// Nothing was touched: the operator decides, with the backup at hand.
int Purge::refuseMark(const char* why)
{
    say("%s %s: nothing was touched; %s holds the records of the run that left it (copy it over %s "
        "if that file lost records), and removing the mark lets the purges run again\n",
        paths_.szMark, why, paths_.szOld, paths_.szBin);
    return kRecoveryFailed;
}
