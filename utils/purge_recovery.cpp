#include "purge_recovery.hpp"

#include <cinttypes>
#include <cstring>
#include <fcntl.h>
#include <string>

Recovery::~Recovery()
{
    if (backup_ >= 0)
        view_.io.close(backup_);
}

int Recovery::takeBackup()
{
    const int fd = backup_;
    backup_ = -1;
    return fd;
}

Recovery::Outcome Recovery::fail(int status)
{
    status_ = status;
    return Outcome::Failed;
}

Recovery::Outcome Recovery::judged(Decision decision, const char* why)
{
    decision_ = decision;
    forgetWhy_ = why;
    return Outcome::Judged;
}

int Recovery::openRegular(const char* path, mode_t& kind)
{
    const RegularFile file = openRegularFile(view_.io, path, O_RDONLY | O_NOFOLLOW | O_NOCTTY);
    kind = file.notRegular;
    return file.fd;
}

Recovery::Outcome Recovery::run()
{
    const PurgePaths& paths = view_.paths;
    mode_t fileKind = 0;
    const int fd = openRegular(paths.szMark, fileKind);
    if (fd < 0) {
        if (fileKind != 0)
            return fail(reports_.markRefused(
                (std::string("is ") + fileTypeName(fileKind) + ", not a regular file").c_str()));
        if (errno == ENOENT)
            return Outcome::NoMark;
        if (errno == ELOOP)
            return fail(reports_.markRefused("is a symbolic link"));
        // Not knowing whether a rewrite was interrupted, the run must not
        // overwrite the backup that may be the only whole copy.
        return fail(reports_.recoveryFailed("look for", paths.szMark));
    }
    PurgeMark mark;
    MarkKind kind = MarkKind::Unreadable;
    if (readMark(fd, mark, kind) == Outcome::Failed)
        return Outcome::Failed;
    if (kind == MarkKind::Unreadable)
        return fail(reports_.markRefused(
            "cannot be read as a mark of these tools: it is torn, or another file"));
    if (view_.dryRun)
        return showInDryRun(kind);
    if (view_.dataWriteError != 0) {
        errno = view_.dataWriteError;
        return fail(reports_.recoveryFailed("open", paths.szBin));
    }
    // The mark's text is on disk before the data file is touched, so a mark
    // without it means that the data file never was.
    if (kind == MarkKind::Empty)
        return forgetMark("stopped before it changed");
    return recover(mark);
}

Recovery::Outcome Recovery::readMark(int fd, PurgeMark& mark, MarkKind& kind)
{
    char text[kMarkTextSize + 1];
    const ssize_t length = readFull(view_.io, fd, text, sizeof text);
    const int error = errno;
    if (view_.io.close(fd) != 0 || length < 0) {
        errno = length < 0 ? error : errno;
        return fail(reports_.recoveryFailed("read", view_.paths.szMark));
    }
    kind = static_cast<size_t>(length) > kMarkTextSize
               ? MarkKind::Unreadable
               : parseMark(text, static_cast<size_t>(length), mark);
    return Outcome::NoMark;
}

// A dry run says what a real run would do first, and shows the purge that
// would follow: that of the backup, where the rewrite is to be completed.
Recovery::Outcome Recovery::showInDryRun(MarkKind kind)
{
    const PurgePaths& paths = view_.paths;
    if (kind == MarkKind::Empty) {
        std::fprintf(view_.out, "%s: the interrupted run that left %s stopped before it changed "
                                "%s; a real run removes the mark\n",
                     view_.program.name, paths.szMark, paths.szBin);
        return Outcome::NoMark;
    }
    std::fprintf(view_.out, "%s: %s marks an interrupted run; a real run first completes its "
                            "rewrite of %s from %s\n",
                 view_.program.name, paths.szMark, paths.szBin, paths.szOld);
    mode_t fileKind = 0;
    backup_ = openRegular(paths.szOld, fileKind);
    if (fileKind != 0)
        return fail(reports_.notRegular(paths.szOld, fileKind, kRecoveryFailed));
    if (backup_ < 0)
        return fail(reports_.recoveryFailed("open", paths.szOld));
    return Outcome::ShownInDryRun;
}

Recovery::Outcome Recovery::recover(const PurgeMark& mark)
{
    const PurgePaths& paths = view_.paths;
    mode_t kind = 0;
    backup_ = openRegular(paths.szOld, kind);
    if (kind != 0)
        return fail(reports_.notRegular(paths.szOld, kind, kRecoveryFailed));
    // The backup's entry is made durable with the mark's, before anything
    // is changed: a mark left without it was left by a cut before then.
    if (backup_ < 0 && errno == ENOENT && !mark.truncationDurable)
        return forgetMark("stopped before it changed");
    if (backup_ < 0)
        return fail(reports_.recoveryFailed("open", paths.szOld));
    struct stat status;
    if (view_.io.fstat(backup_, status) != 0)
        return fail(reports_.recoveryFailed("fstat", paths.szOld));
    const uint64_t backupLength = view_.records.wholeLength(status.st_size);
    if (lengthsRefused(mark, backupLength))
        return Outcome::Failed;
    std::unique_ptr<PurgeRules> rules = view_.rules.fromSettings(mark.settings);
    if (!rules)
        return fail(reports_.markRefused("holds settings that these tools cannot read"));
    // The backup's records are judged as the interrupted run judged them:
    // those that the mark counts must give its kept length, and those copied
    // under the lease come after them.
    const auto time = static_cast<time_t>(mark.judgementTime);
    uint64_t keptLength = 0;
    RecordCopier& records = view_.records;
    if (!records.countKept(backup_, *rules, time, 0, mark.backupLength, keptLength))
        return fail(reports_.recoveryFailed("read", paths.szOld));
    if (keptLength != mark.keptLength)
        return fail(reports_.markRefused(
            "does not match its backup: the records it counts do not give its kept length"));
    if (!records.countKept(backup_, *rules, time, mark.backupLength, backupLength, keptLength))
        return fail(reports_.recoveryFailed("read", paths.szOld));
    if (!mark.truncationDurable) {
        bool whole = false;
        if (!records.sameStart(view_.data, backup_, backupLength, whole))
            return fail(reports_.recoveryFailed("compare", paths.szBin));
        if (whole)
            return forgetMark("stopped before it changed");
        bool truncated = false;
        if (!records.truncatedPast(view_.data, backup_, keptLength, backupLength, truncated))
            return fail(reports_.recoveryFailed("compare", paths.szBin));
        if (!truncated)
            return undoRun(backupLength);
    }
    if (view_.judgeOnly)
        return judged(Decision::Complete);
    rules->prepare(view_.io);
    return completeRewrite(*rules, time, backupLength, keptLength);
}

// Lengths that no run writes: the mark is not acted on.
bool Recovery::lengthsRefused(const PurgeMark& mark, uint64_t backupLength)
{
    char why[kPathSize + 128];
    const size_t size = view_.program.recordSize;
    if (mark.backupLength > backupLength)
        std::snprintf(why, sizeof why,
                      "counts %" PRIu64 " bytes of records in %s, which holds %" PRIu64,
                      mark.backupLength, view_.paths.szOld, backupLength);
    else if (mark.keptLength > mark.backupLength)
        std::snprintf(why, sizeof why,
                      "counts more bytes kept (%" PRIu64 ") than copied (%" PRIu64 ")",
                      mark.keptLength, mark.backupLength);
    else if (mark.backupLength % size != 0 || mark.keptLength % size != 0)
        std::snprintf(why, sizeof why, "counts lengths that are not whole records of %zu bytes",
                      size);
    else
        return false;
    fail(reports_.markRefused(why));
    return true;
}

bool Recovery::removeMark()
{
    return view_.io.unlink(view_.paths.szMark) == 0 && view_.syncDirectory();
}

Recovery::Outcome Recovery::forgetMark(const char* why)
{
    if (view_.judgeOnly)
        return judged(Decision::Forget, why);
    const PurgePaths& paths = view_.paths;
    if (!removeMark())
        return fail(reports_.recoveryFailed("remove", paths.szMark));
    std::fprintf(view_.out, "%s: the interrupted run that left %s %s %s\n", view_.program.name,
                 paths.szMark, why, paths.szBin);
    return Outcome::Done;
}

// The run's truncation never reached the disk, and what it rewrote did in
// part: the data file is made again what it was, below the backup's length
// only, so that what the node appended since stays (invariant 2).  The purge
// that follows does the work again.
Recovery::Outcome Recovery::undoRun(uint64_t backupLength)
{
    if (view_.judgeOnly)
        return judged(Decision::Undo);
    const PurgePaths& paths = view_.paths;
    Pass pass = Pass::Failed;
    {
        const WriteLease lease(view_.io, view_.data, view_.leaseSeconds,
                               [this](int seconds) { reports_.leaseBroken(seconds); });
        view_.signals.hold();
        pass = view_.records.restore(backup_, view_.data, backupLength);
    }
    if (pass != Pass::Done)
        return fail(reports_.recoveryFailed("restore", paths.szBin));
    if (view_.io.fsync(view_.data) != 0)
        return fail(reports_.recoveryFailed("fsync", paths.szBin));
    if (!removeMark())
        return fail(reports_.recoveryFailed("remove", paths.szMark));
    view_.signals.release();
    std::fprintf(view_.out, "%s: restored %s from %s after an interrupted run whose truncation "
                            "never reached the disk\n",
                 view_.program.name, paths.szBin, paths.szOld);
    return Outcome::Done;
}

// The kept records are written again from the backup, judged as the
// interrupted run judged them, below the kept length only, so that every
// record appended beyond it stays (invariant 2).  The data file is
// half-rewritten already: it is rebuilt even when the node keeps it open.
Recovery::Outcome Recovery::completeRewrite(PurgeRules& rules, time_t time, uint64_t backupLength,
                                            uint64_t keptLength)
{
    const PurgePaths& paths = view_.paths;
    Pass pass = Pass::Failed;
    {
        const WriteLease lease(view_.io, view_.data, view_.leaseSeconds,
                               [this](int seconds) { reports_.leaseBroken(seconds); });
        view_.signals.hold();
        pass = view_.records.rewrite(backup_, view_.data, rules, time, backupLength, keptLength,
                                     true);
    }
    if (pass == Pass::Mismatch)
        return fail(reports_.backupChanged());
    if (pass != Pass::Done || view_.io.fsync(view_.data) != 0)
        return fail(reports_.recoveryFailed("rewrite", paths.szBin));
    // Invariant 5: the message files go once the data file is on disk.
    filesRemain_ = !rules.afterRewrite(view_.io, false);
    if (!rules.syncRemovals(view_.io))
        return fail(reports_.recoveryFailed("sync the removals of", paths.szMark));
    if (!removeMark())
        return fail(reports_.recoveryFailed("remove", paths.szMark));
    view_.signals.release();
    std::fprintf(view_.out, "%s: completed the rewrite of %s from %s after an interrupted run\n",
                 view_.program.name, paths.szBin, paths.szOld);
    return Outcome::Done;
}
