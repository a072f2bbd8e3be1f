// The purge protocol's class (purge_engine.cpp), whose backup and recovery
// are phases of their own (purge_backup, purge_recovery).  No program
// includes this header.
#pragma once

#include "purge_backup.hpp"
#include "purge_engine.hpp"
#include "purge_guards.hpp"
#include "purge_mark.hpp"
#include "purge_reports.hpp"
#include "record_copy.hpp"

#include <cerrno>

// Where a run stands, as a later run would find the files if this one
// stopped there; what a failure must do follows from it alone.
//
//   Untouched  -> Marked     the backup and the mark are on disk (invariant 1)
//   Marked     -> Truncated  the data file was cut to the kept length
//   Truncated  -> Rewritten  the kept records are written below it, synced,
//                            and the run's descriptors closed
//   Truncated  -> Rebuilt    after a failure, the kept records were written
//                            again from the backup and synced
//   Truncated  -> Stranded   that failed too: the mark stays for the next run
//   Rewritten  -> Settled    the message files are gone, the mark removed
//   Rebuilt    -> Settled
//   Rebuilt    -> Stranded
enum class RunState { Untouched, Marked, Truncated, Rewritten, Rebuilt, Stranded, Settled };

class Purge {
public:
    Purge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
          const PurgeContext& context);
    Purge(const Purge&) = delete;
    Purge& operator=(const Purge&) = delete;
    ~Purge();

    int takeSteps();

private:
    // The purge's steps, in the order run takes them.
    int lockDirectory();
    int openData();
    int recoverInterruptedRun();
    int writeMark();
    int rewriteUnderLease();
    int leaseOutcome(const WriteLease& lease);
    int takeInTail(bool leased);
    int truncateAndRewrite();
    bool markTruncationDurable();
    int finishRewrite();
    int settle();

    // What a failure leaves to do, by the state it left the run in.
    int afterFailure(int status);
    void withdrawMark();
    void rebuildKept();
    int settleRebuild();

    // What the steps share.
    void advance(RunState to);
    bool closeChecked(int& fd);
    bool removeMessageFiles();
    bool removeMark();
    bool syncDirectory();
    FileIo& io() { return context_.io; }

    const PurgeProgram& program_;
    const PurgePaths& paths_;
    PurgeRules& rules_;
    const PurgeContext context_;
    const PurgeReports reports_;
    const time_t judgementTime_;  // read once: every record of the run is judged against it

    RunState state_ = RunState::Untouched;
    RecordCopier records_;
    PurgeBackup backup_;
    CopyTally tally_;  // what the mark records, once the tail is taken in
    DirectoryLock lock_;
    HeldSignals signals_;
    int data_ = -1;         // the one descriptor of the data file
    int dataWriteError_ = EBADF;  // 0 once the data file is open for writing
    struct {
        int fd = -1;  // open from its creation to its removal
        size_t truncationAt = 0;  // where the word of the truncation's durability lies
    } markFile_;
    bool filesRemain_ = false;  // message files that the run could not remove
};
