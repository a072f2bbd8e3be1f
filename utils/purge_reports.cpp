#include "purge_reports.hpp"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <unistd.h>

void PurgeReports::say(const char* format, ...) const
{
    std::fprintf(err_, "%s: ", program_.name);
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(err_, format, arguments);
    va_end(arguments);
}

int PurgeReports::failedOpen(OpenStep step, const char* path, int status) const
{
    return reportFailedOpen(err_, program_, step, path, status);
}

int PurgeReports::notRegular(const char* path, mode_t kind, int status) const
{
    say("%s is %s, not a regular file: nothing was changed\n", path, fileTypeName(kind));
    return status;
}

int PurgeReports::backupReplaced() const
{
    say("%s was replaced by another file while it was written: %s unchanged\n", paths_.szOld,
        paths_.szBin);
    return kCannotOpenBackup;
}

int PurgeReports::locked() const
{
    say("another purge of %s held its lock for the %g s waited: nothing was touched "
        "(--lock-wait=SECONDS waits longer)\n", paths_.szDirectory, waits_.lockSeconds);
    return kLockedByAnotherPurge;
}

namespace {

const char* accessWords(FileHolder::Access access)
{
    switch (access) {
    case FileHolder::Access::Writing:
        return " for writing";
    case FileHolder::Access::Reading:
        return " for reading";
    case FileHolder::Access::Unknown:
        break;
    }
    return "";
}

}  // namespace

// The first line is the one that scripts may look for; the holders, as far
// as this user may see them, and the operator's remedies follow.
int PurgeReports::keptOpen(const FileHolders& found) const
{
    say("%s is kept open by another process (the node server?): no lease on it within %g s, so "
        "nothing was changed (--without-lease purges all the same)\n",
        paths_.szBin, waits_.leaseSeconds);
    if (!found.looked)
        say("cannot look for the processes that keep it open (%s)\n", std::strerror(found.error));
    else if (found.holders.empty())
        say("no process that keeps it open can be seen in /proc: it may run as another user, "
            "or have closed it since\n");
    for (const FileHolder& holder : found.holders)
        say("held open%s by pid %ld (%s)%s%s\n", accessWords(holder.access),
            static_cast<long>(holder.pid), holder.name, holder.command[0] ? ": " : "",
            holder.command);
    say("stop the node for the purge, and start it again after (KAVEX_NODE_UNIT in "
        "/etc/default/kavex-node-tools does so around the purges of kavex-purge.target), or purge "
        "with --without-lease, which may lose a record that the node appends meanwhile\n");
    return kDataKeptOpen;
}

int PurgeReports::cutShort() const
{
    say("%s was cut short by another process while it was copied: not purged\n", paths_.szBin);
    return kFailedDataUnchanged;
}

int PurgeReports::markTooLong() const
{
    say("the paths and settings do not fit in the mark %s: %s unchanged\n", paths_.szMark,
        paths_.szBin);
    return kFailedDataUnchanged;
}

int PurgeReports::unchanged(const char* step, const char* path) const
{
    say("%s %s: %s; %s unchanged\n", step, path, std::strerror(errno), paths_.szBin);
    return kFailedDataUnchanged;
}

// What follows is the rebuild's to tell: until it is done, the mark stays.
int PurgeReports::afterTruncation(const char* step, const char* path) const
{
    say("%s %s: %s\n", step, path, std::strerror(errno));
    return kFailedRebuildPending;
}

int PurgeReports::rewriteMismatch() const
{
    say("the records of %s, read back, did not give the kept length counted when they were "
        "copied\n", paths_.szOld);
    return kFailedRebuildPending;
}

int PurgeReports::rebuilt() const
{
    say("%s rebuilt from %s: the purge is complete\n", paths_.szBin, paths_.szOld);
    return kFailedDataRebuilt;
}

int PurgeReports::markStays() const
{
    say("the mark %s stays, and the next run completes the rewrite of %s from %s\n",
        paths_.szMark, paths_.szBin, paths_.szOld);
    return kFailedRebuildPending;
}

int PurgeReports::removalSyncFailed() const
{
    say("fsync of the message files' directory: %s; the mark %s stays, and the next run removes "
        "them again\n", std::strerror(errno), paths_.szMark);
    return kFailedRebuildPending;
}

int PurgeReports::markRemovalFailed(const char* step) const
{
    say("%s %s: %s; %s is complete, and the next run finds it so and purges as usual\n", step,
        paths_.szMark, std::strerror(errno), paths_.szBin);
    return kFailedRebuildPending;
}

int PurgeReports::directorySyncFailed() const
{
    say("fsync %s: %s; %s is complete\n", paths_.szDirectory, std::strerror(errno), paths_.szBin);
    return kFailedRebuildPending;
}

int PurgeReports::recoveryFailed(const char* step, const char* path) const
{
    say("%s %s after an interrupted run: %s; the mark %s stays, and %s holds every record that it "
        "had\n", step, path, std::strerror(errno), paths_.szMark, paths_.szOld);
    return kRecoveryFailed;
}

int PurgeReports::backupChanged() const
{
    say("%s changed while it was read back after an interrupted run; the mark %s stays\n",
        paths_.szOld, paths_.szMark);
    return kRecoveryFailed;
}

// Nothing was touched: the operator decides, with the backup at hand.
int PurgeReports::markRefused(const char* why) const
{
    say("%s %s: nothing was touched; %s holds the records of the run that left it (copy it over %s "
        "if that file lost records), and removing the mark lets the purges run again\n",
        paths_.szMark, why, paths_.szOld, paths_.szBin);
    return kRecoveryFailed;
}

void PurgeReports::noLock(int error) const
{
    say("cannot lock %s (%s): going on without the lock; no other purge of that directory may "
        "run meanwhile\n", paths_.szDirectory, std::strerror(error));
}

void PurgeReports::noLease(int error) const
{
    say("no lease on %s (%s): going on without it, so the node's open() of the file does not "
        "wait while it is rewritten\n", paths_.szBin, std::strerror(error));
}

void PurgeReports::purgingWithoutLease() const
{
    say("%s is kept open by another process: purging without the lease, as asked; a record "
        "appended between the last copy and the truncation is lost\n", paths_.szBin);
}

void PurgeReports::leaseBroken(int seconds) const
{
    say("the kernel broke the lease on %s after %d s: a reader may have seen the file "
        "half-rewritten\n", paths_.szBin, seconds);
}

void PurgeReports::modeNotGiven(const char* path) const
{
    say("cannot give %s the mode of %s: %s\n", path, paths_.szBin, std::strerror(errno));
}

// The system's text, then where the path led from the working directory,
// so that a run from the wrong directory says where it looked.
int reportFailedOpen(FILE* err, const PurgeProgram& program, OpenStep step, const char* path,
                     int status)
{
    const int error = errno;
    std::fprintf(err, "%s -> fopen in MAIN (%s): %s\n", program.name,
                 openFailureName(program.kind, step), std::strerror(error));
    char directory[4096];
    if (path[0] != '/' && getcwd(directory, sizeof directory))
        std::fprintf(err, "%s: %s/%s: %s\n", program.name, directory, path, std::strerror(error));
    else
        std::fprintf(err, "%s: %s: %s\n", program.name, path, std::strerror(error));
    return status;
}
