// The purge protocol's one class, shared by its two ways in: the purge
// (purge_engine.cpp) and the recovery of an interrupted run
// (purge_recovery.cpp).  No program includes this header.
#pragma once

#include "purge_engine.hpp"
#include "purge_guards.hpp"
#include "purge_mark.hpp"
#include "record_copy.hpp"

#include <cerrno>

class Purge {
public:
    Purge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
          const PurgeContext& context);
    Purge(const Purge&) = delete;
    Purge& operator=(const Purge&) = delete;
    ~Purge();

    int run();

private:
    // The purge's steps, in the order run takes them.
    int lockDirectory();
    int openData();
    int createBackup();
    int copyToBackup();
    int reopenBackup();
    int writeMark();
    int takeLease();
    int takeInTail();
    int rewrite();
    bool markTruncationDurable();
    int finishRewrite();
    int showDryRun();

    // The recovery of an interrupted run.
    int recoverInterruptedRun();
    int readMark(int fd, PurgeMark& mark, MarkKind& kind);
    int showRecovery(MarkKind kind);
    int recover(const PurgeMark& mark);
    int checkLengths(const PurgeMark& mark, uint64_t backupLength);
    int forgetMark(const char* why);
    int undoRun(int backup, uint64_t backupLength);
    int completeRewrite(int backup, PurgeRules& rules, time_t time, uint64_t backupLength,
                        uint64_t keptLength);

    // One report for each way a run can fail; each returns its status.
    int reportOpen(const char* text, const char* path, int status);
    int reportNotRegular(const char* path, mode_t kind, int status);
    int reportBackupReplaced();
    int reportLocked();
    int reportKeptOpen();
    int reportCutShort();
    int failUnchanged(const char* step, const char* path);
    int failCopy(const char* source);
    int failAfterTruncation(const char* step, const char* path);
    int failRewrite(Pass pass);
    int rebuildAfterTruncation();
    int failMarkTooLong();
    int failRemovalSync();
    int failMarkRemoval(const char* step);
    int failDirectorySync();
    int failRecovery(const char* step, const char* path);
    int refuseMark(const char* why);
    int failBackupChanged();
    int completed();

    // What the steps share.
    // A line on standard error, after the program's name.
    void say(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void sayIfUnlocked();
    void sayLeaseBroken(int seconds);
    int openRegular(const char* path, int flags, mode_t& kind);
    bool canCreate(const char* path, mode_t& kind);
    void giveDataMode(int fd, const char* path);
    bool closeChecked(int& fd);
    bool syncDirectory();
    void takeBackMark();
    int backupForReading() const { return backupRead_ >= 0 ? backupRead_ : backup_; }
    FileIo& io() { return context_.io; }

    const PurgeProgram& program_;
    const PurgePaths& paths_;
    PurgeRules& rules_;
    const PurgeContext context_;
    const time_t judgementTime_;  // read once: every record of the run is judged against it

    RecordCopier records_;
    CopyTally tally_;  // what the mark records, once the tail is taken in
    DirectoryLock lock_;
    WriteLease lease_;
    HeldSignals signals_;
    int data_ = -1;          // the one descriptor of the data file
    int dryRunSource_ = -1;  // a dry run after an interrupted run shows the backup's purge
    int backup_ = -1;
    int backupRead_ = -1;    // -1: the backup is read back through backup_
    int dataWriteError_ = EBADF;  // 0 once the data file is open for writing
    mode_t dataMode_ = 0600;  // the data file's permission bits, which the backup and the mark take
    struct {
        int fd = -1;  // open from its creation to its removal
        size_t truncationAt = 0;  // where the word of the truncation's durability lies
    } markFile_;
    bool filesRemain_ = false;  // message files that the run could not remove
};
