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
#include "purge_recovery.hpp"

#include <cassert>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int purgeDataFile(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
                  const PurgeContext& context)
{
    Purge purge(program, paths, rules, context);
    return purge.takeSteps();
}

Purge::Purge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
             const PurgeContext& context)
    : program_(program), paths_(paths), rules_(rules), context_(context),
      reports_(program, paths, context.err, context_.waits), judgementTime_(context.clock()),
      records_(context.io, program.recordSize),
      backup_({context.io, program, paths, reports_, records_, rules, judgementTime_, context.out,
               context.dryRun}),
      lock_(context.io), signals_(context.out)
{
}

Purge::~Purge()
{
    for (int fd : {data_, markFile_.fd})
        if (fd >= 0)
            io().close(fd);
}

int Purge::takeSteps()
{
    if (const int status = lockDirectory(); status != kPurged)
        return status;
    if (const int status = openData(); status != kPurged)
        return status;
    if (const int status = recoverInterruptedRun(); status != kPurged)
        return status;
    if (const int status = backup_.create(); status != kPurged)
        return status;
    std::fprintf(context_.out, "Creating %s\n", programFile(program_, ".old").text);
    rules_.prepare(io());
    if (const int status = backup_.copyFrom(data_, tally_); status != kPurged)
        return status;
    if (context_.dryRun)
        return backup_.showDryRun(tally_, filesRemain_);
    if (const int status = backup_.checkBeforeTheMark(dataWriteError_); status != kPurged)
        return status;
    // From the mark on, a termination waits for the end.
    signals_.hold();
    int status = writeMark();
    if (status == kPurged)
        status = rewriteUnderLease();
    if (status == kPurged)
        status = finishRewrite();
    if (status == kPurged)
        status = settle();
    if (status != kPurged)
        return afterFailure(status);
    signals_.release();
    rules_.printSummary(context_.out, tally_.kept, tally_.dropped);
    return filesRemain_ ? kMessageFilesRemain : kPurged;
}

// The transitions of RunState, written out once.
void Purge::advance(RunState to)
{
    static constexpr struct {
        RunState from;
        RunState to;
    } kTransitions[] = {
        {RunState::Untouched, RunState::Marked},   {RunState::Marked, RunState::Truncated},
        {RunState::Truncated, RunState::Rewritten}, {RunState::Truncated, RunState::Rebuilt},
        {RunState::Truncated, RunState::Stranded},  {RunState::Rewritten, RunState::Settled},
        {RunState::Rebuilt, RunState::Settled},     {RunState::Rebuilt, RunState::Stranded},
    };
    [[maybe_unused]] bool allowed = false;
    for (const auto& transition : kTransitions)
        allowed = allowed || (transition.from == state_ && transition.to == to);
    assert(allowed);
    state_ = to;
}

int Purge::lockDirectory()
{
    if (lock_.acquire(paths_.szDirectory, context_.waits.lockSeconds) ==
        DirectoryLock::Outcome::Busy)
        return reports_.locked();
    return kPurged;
}

// Read and write, or read only: a data file that cannot be written still
// gets its complete backup before the failure is reported.
int Purge::openData()
{
    mode_t kind = 0;
    if (!context_.dryRun) {
        data_ = openRegular(io(), paths_.szBin, O_RDWR, kind);
        dataWriteError_ = data_ >= 0 ? 0 : errno;
    }
    if (data_ < 0 && kind == 0)
        data_ = openRegular(io(), paths_.szBin, O_RDONLY, kind);
    if (kind != 0)
        return reports_.notRegular(paths_.szBin, kind, kCannotOpenData);
    if (data_ < 0)
        return reports_.failedOpen(OpenStep::Data, paths_.szBin, kCannotOpenData);
    if (lock_.error() != 0)
        reports_.noLock(lock_.error());
    return kPurged;
}

// A dry run after an interrupted run shows the purge of the backup, which
// a real run would complete first.
int Purge::recoverInterruptedRun()
{
    Recovery recovery({io(), program_, paths_, data_, dataWriteError_, rules_, reports_, records_,
                       signals_, context_.out, context_.dryRun, context_.waits.leaseSeconds,
                       [this] { return syncDirectory(); }});
    switch (recovery.run()) {
    case Recovery::Outcome::Failed:
        return recovery.status();
    case Recovery::Outcome::ShownInDryRun:
        backup_.copyLeftBackup(recovery.takeBackup());
        return kPurged;
    case Recovery::Outcome::NoMark:
    case Recovery::Outcome::Done:
    case Recovery::Outcome::Judged:  // a run acts
        filesRemain_ = recovery.filesRemain();
        return kPurged;
    }
    return kPurged;
}

// The mark (see PurgeMark) is new: a stale one was dealt with by the
// recovery.  It stays open until it goes: the truncation's word is written
// over in place.  Its syncs come before the lease, so that the node does
// not wait for them.
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
        return reports_.markTooLong();
    markFile_.fd = io().open(paths_.szMark, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
    if (markFile_.fd < 0)
        return reports_.unchanged("create", paths_.szMark);
    advance(RunState::Marked);
    backup_.giveDataMode(markFile_.fd, paths_.szMark);
    // Invariant 1: one sync of the directory makes the entries of the backup
    // and the mark durable together.
    if (!writeAll(io(), markFile_.fd, text, length) || io().fsync(markFile_.fd) != 0 ||
        !syncDirectory())
        return reports_.unchanged("write", paths_.szMark);
    return kPurged;
}

// Invariant 2: from the last copy until after the truncation, the node
// appends nothing while the lease is held; invariant 4: while the file is
// rewritten, the node's open() waits.  Invariant 3: a failure after the
// truncation is rebuilt and on disk before the lease goes.  The lease's one
// release is the end of this scope; the node's wait ends before the sync of
// the kept records, since what it appends now lies past the kept length.
int Purge::rewriteUnderLease()
{
    const WriteLease lease(io(), data_, context_.waits.leaseSeconds,
                           [this](int seconds) { reports_.leaseBroken(seconds); });
    int status = leaseOutcome(lease);
    if (status == kPurged)
        status = takeInTail(lease.held());
    if (status == kPurged)
        status = truncateAndRewrite();
    if (status != kPurged && state_ == RunState::Truncated)
        rebuildKept();
    return status;
}

int Purge::leaseOutcome(const WriteLease& lease)
{
    switch (lease.outcome()) {
    case WriteLease::Outcome::Held:
        return kPurged;
    case WriteLease::Outcome::Refused:
        reports_.noLease(lease.error());
        return kPurged;
    case WriteLease::Outcome::KeptOpen:
        break;
    }
    if (!context_.waits.withoutLease)
        return reports_.keptOpen(findFileHolders(io(), data_));
    reports_.purgingWithoutLease();
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
int Purge::takeInTail(bool leased)
{
    for (int round = 0;; ++round) {
        struct stat status;
        if (io().fstat(data_, status) != 0)
            return reports_.unchanged("fstat", paths_.szBin);
        const uint64_t end = records_.wholeLength(status.st_size);
        if (end < tally_.copied)
            return reports_.cutShort();
        if (end > tally_.copied) {
            if (!records_.copy(data_, backup_.fd(), end, rules_, judgementTime_, tally_))
                return backup_.failedCopy(paths_.szBin);
            if (io().fsync(backup_.fd()) != 0)
                return reports_.unchanged("fsync", paths_.szOld);
        }
        if (leased || round == kTailRounds)
            break;
        if (io().fstat(data_, status) != 0)
            return reports_.unchanged("fstat", paths_.szBin);
        if (static_cast<uint64_t>(status.st_size) == tally_.copied)
            break;
    }
    return kPurged;
}

// A truncation that fails leaves the data file as it was, its trailing
// part-record included.  Invariant 3: the truncation is on disk, and the
// mark says so, before the kept records are written below the kept length.
int Purge::truncateAndRewrite()
{
    if (io().ftruncate(data_, static_cast<off_t>(tally_.keptLength)) != 0)
        return reports_.unchanged("truncate", paths_.szBin);
    advance(RunState::Truncated);
    if (io().fsync(data_) != 0)
        return reports_.afterTruncation("fsync", paths_.szBin);
    if (!markTruncationDurable())
        return reports_.afterTruncation("write", paths_.szMark);
    const int backup = backup_.forReading();
    const Pass pass = tally_.runs.usable()
                          ? records_.rewriteRuns(backup, data_, tally_.runs, tally_.keptLength)
                          : records_.rewrite(backup, data_, rules_, judgementTime_,
                                             tally_.copied, tally_.keptLength, false);
    if (pass == Pass::Failed)
        return reports_.afterTruncation("rewrite", paths_.szBin);
    return pass == Pass::Done ? kPurged : reports_.rewriteMismatch();
}

// "durable" over "pending", synced: see PurgeMark.
bool Purge::markTruncationDurable()
{
    return writeAllAt(io(), markFile_.fd, kDurableWord, sizeof kDurableWord - 1,
                      static_cast<off_t>(markFile_.truncationAt)) &&
           io().fsync(markFile_.fd) == 0;
}

// Once the lease is gone: the kept records are made durable.
int Purge::finishRewrite()
{
    if (io().fsync(data_) != 0)
        return reports_.afterTruncation("fsync", paths_.szBin);
    if (!closeChecked(data_))
        return reports_.afterTruncation("close", paths_.szBin);
    if (!backup_.close())
        return reports_.afterTruncation("close", paths_.szOld);
    advance(RunState::Rewritten);
    return kPurged;
}

// Invariant 5: the message files go once the new data file is on disk, and
// their removal is on disk before the mark goes.
int Purge::settle()
{
    if (!removeMessageFiles())
        return reports_.removalSyncFailed();
    if (!closeChecked(markFile_.fd))
        return reports_.markRemovalFailed("close");
    if (io().unlink(paths_.szMark) != 0)
        return reports_.markRemovalFailed("remove");
    if (!syncDirectory())
        return reports_.directorySyncFailed();
    advance(RunState::Settled);
    return kPurged;
}

// --- what a failure leaves to do --------------------------------------------

// The failure was reported already; its status stands unless the data file
// was rebuilt.
int Purge::afterFailure(int status)
{
    switch (state_) {
    case RunState::Marked:
        withdrawMark();
        return status;
    case RunState::Truncated:
        rebuildKept();
        return state_ == RunState::Rebuilt ? settleRebuild() : reports_.markStays();
    case RunState::Rebuilt:
        return settleRebuild();
    case RunState::Stranded:
        return reports_.markStays();
    case RunState::Untouched:
    case RunState::Rewritten:
    case RunState::Settled:
        break;
    }
    return status;
}

// Before the truncation the data file is as it was (invariant 1): the
// backup is not needed, and what is left of the mark is only what a later
// run finds and removes.
void Purge::withdrawMark()
{
    if (markFile_.fd < 0)
        return;
    closeChecked(markFile_.fd);
    io().unlink(paths_.szMark);
}

// After the truncation the kept records are written once more from the
// backup, as the next run would.
void Purge::rebuildKept()
{
    const int backup = backup_.forReading();
    const bool rebuilt = data_ >= 0 && backup >= 0 &&
                         records_.rewrite(backup, data_, rules_, judgementTime_, tally_.copied,
                                          tally_.keptLength, false) == Pass::Done &&
                         io().fsync(data_) == 0;
    advance(rebuilt ? RunState::Rebuilt : RunState::Stranded);
}

int Purge::settleRebuild()
{
    if (closeChecked(data_) && removeMessageFiles() && removeMark()) {
        advance(RunState::Settled);
        return reports_.rebuilt();
    }
    advance(RunState::Stranded);
    return reports_.markStays();
}

// --- what the steps share ----------------------------------------------------

// Closes a descriptor of the run once, checked.
bool Purge::closeChecked(int& fd)
{
    const int was = fd;
    fd = -1;
    return was < 0 || io().close(was) == 0;
}

// Files that could not be removed are noted for the run's status; false
// when the removals could not be made durable.
bool Purge::removeMessageFiles()
{
    filesRemain_ = !rules_.afterRewrite(io(), false) || filesRemain_;
    return rules_.syncRemovals(io());
}

bool Purge::removeMark() { return io().unlink(paths_.szMark) == 0 && syncDirectory(); }

// Through the descriptor of the lock, which is the directory's.
bool Purge::syncDirectory()
{
    return lock_.fd() >= 0 ? io().fsync(lock_.fd()) == 0
                           : ::syncDirectory(io(), paths_.szDirectory);
}
