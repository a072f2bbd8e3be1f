// The second way into the purge protocol: a run that finds the mark of an
// interrupted run completes that run's rewrite from the backup before it
// purges as usual.  What the mark says is PurgeMark's to state.
#include "purge_protocol.hpp"

#include <cstring>
#include <fcntl.h>

int Purge::recoverInterruptedRun()
{
    if (io().access(paths_.szMark) != 0) {
        if (errno == ENOENT)
            return kPurged;
        // Not knowing whether a rewrite was interrupted, the run must not
        // overwrite the backup that may be the only whole copy.
        return failRecovery("look for", paths_.szMark);
    }
    if (context_.dryRun) {
        std::fprintf(context_.out, "%s: %s marks an interrupted run; a real run first completes "
                                   "its rewrite of %s from %s\n",
                     program_.name, paths_.szMark, paths_.szBin, paths_.szOld);
        dryRunSource_ = io().open(paths_.szOld, O_RDONLY);
        return dryRunSource_ < 0 ? failRecovery("open", paths_.szOld) : kPurged;
    }
    PurgeMark mark;
    MarkKind kind = MarkKind::Unreadable;
    if (const int status = readMark(mark, kind); status != kPurged)
        return status;
    if (dataWriteError_ != 0) {
        errno = dataWriteError_;
        return failRecovery("open", paths_.szBin);
    }
    switch (kind) {
    case MarkKind::Current:
        return completeRewrite(mark);
    case MarkKind::Empty:
        // The mark is on disk before the truncation, so a mark without its
        // text means that the data file was never touched.
        return forgetMark("stopped before it changed");
    case MarkKind::EarlierVersion:
        return restoreWholeBackup();
    case MarkKind::Unreadable:
        break;
    }
    return refuseMark("is not a mark these tools write");
}

int Purge::readMark(PurgeMark& mark, MarkKind& kind)
{
    const int fd = io().open(paths_.szMark, O_RDONLY);
    if (fd < 0)
        return failRecovery("read", paths_.szMark);
    char text[kMarkTextSize];
    const ssize_t length = readFull(io(), fd, text, sizeof text);
    const int error = errno;
    if (io().close(fd) != 0 || length < 0) {
        errno = length < 0 ? error : errno;
        return failRecovery("read", paths_.szMark);
    }
    kind = parseMark(text, static_cast<size_t>(length), program_.name, mark);
    return kPurged;
}

int Purge::forgetMark(const char* why)
{
    if (io().unlink(paths_.szMark) != 0 || !syncDirectory())
        return failRecovery("remove", paths_.szMark);
    std::fprintf(context_.out, "%s: the interrupted run that left %s %s %s\n", program_.name,
                 paths_.szMark, why, paths_.szBin);
    return kPurged;
}

// The run that left the mark truncated the data file to the kept length or
// was about to: its kept records are written again from the backup, judged
// as that run judged them, below the kept length only, so that every record
// appended beyond it stays.
int Purge::completeRewrite(const PurgeMark& mark)
{
    const int backup = io().open(paths_.szOld, O_RDONLY);
    if (backup < 0)
        return failRecovery("open", paths_.szOld);
    backupRead_ = backup;  // closed with the run
    struct stat status;
    if (io().fstat(backup, status) != 0)
        return failRecovery("fstat", paths_.szOld);
    if (static_cast<uint64_t>(status.st_size) < mark.backupLength) {
        errno = EIO;
        return failRecovery("read", paths_.szOld);
    }
    bool whole = false;
    if (!records_.sameStart(data_, backup, mark.backupLength, whole))
        return failRecovery("compare", paths_.szBin);
    if (whole)
        return forgetMark("stopped before it changed");
    std::unique_ptr<PurgeRules> rules = rules_.fromSettings(mark.settings);
    if (!rules) {
        errno = EINVAL;
        return failRecovery("read the settings of", paths_.szMark);
    }
    const auto time = static_cast<time_t>(mark.judgementTime);
    const uint64_t backupLength = records_.wholeLength(status.st_size);
    uint64_t keptLength = mark.keptLength;
    if (!records_.countKept(backup, *rules, time, mark.backupLength, backupLength, keptLength))
        return failRecovery("read", paths_.szOld);
    rules->prepare(io());
    // The data file is half-rewritten already: it is rebuilt even when the
    // node keeps it open, since the rebuild writes only below the kept length.
    lease_.take(data_, context_.waits.leaseSeconds);
    signals_.hold();
    const Pass pass = records_.rewrite(backup, data_, *rules, time, backupLength, keptLength, true);
    lease_.release();
    if (pass != Pass::Done || io().fsync(data_) != 0)
        return failRecovery("rewrite", paths_.szBin);
    filesRemain_ = !rules->afterRewrite(io(), false) || filesRemain_;
    if (io().unlink(paths_.szMark) != 0 || !syncDirectory())
        return failRecovery("remove", paths_.szMark);
    signals_.release();
    std::fprintf(context_.out, "%s: completed the rewrite of %s from %s after an interrupted run\n",
                 program_.name, paths_.szBin, paths_.szOld);
    return kPurged;
}

// A mark of an earlier version of these tools, which emptied the data file
// before rewriting it: the data file is restored from the backup, as that
// version did.
int Purge::restoreWholeBackup()
{
    const int backup = io().open(paths_.szOld, O_RDONLY);
    if (backup < 0)
        return failRecovery("open", paths_.szOld);
    backupRead_ = backup;
    lease_.take(data_, context_.waits.leaseSeconds);
    signals_.hold();
    bool ok = io().ftruncate(data_, 0) == 0;
    RecordReader reader(io(), program_.recordSize);
    reader.start(backup, 0, UINT64_MAX);
    uint64_t at = 0;
    for (ssize_t got = 1; ok && (got = reader.next()) != 0; at += static_cast<uint64_t>(got))
        ok = got > 0 && writeAllAt(io(), data_, reader.data(), static_cast<size_t>(got),
                                   static_cast<off_t>(at));
    lease_.release();
    if (!ok || io().fsync(data_) != 0)
        return failRecovery("restore", paths_.szBin);
    if (io().unlink(paths_.szMark) != 0 || !syncDirectory())
        return failRecovery("remove", paths_.szMark);
    signals_.release();
    std::fprintf(context_.out, "%s: restored %s from %s after an interrupted run\n", program_.name,
                 paths_.szBin, paths_.szOld);
    return kPurged;
}

// --- the reports of a recovery's failures ------------------------------------

int Purge::failRecovery(const char* step, const char* path)
{
    std::fprintf(context_.err, "%s: %s %s after an interrupted run: %s; the mark %s stays, and "
                               "%s holds every record that it had\n",
                 program_.name, step, path, std::strerror(errno), paths_.szMark, paths_.szOld);
    return kRecoveryFailed;
}

int Purge::refuseMark(const char* why)
{
    std::fprintf(context_.err, "%s: %s %s: nothing was touched; %s holds the records of the run "
                               "that left it\n",
                 program_.name, paths_.szMark, why, paths_.szOld);
    return kRecoveryFailed;
}
