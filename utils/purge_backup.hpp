// The backup of a purge run, a phase of its own as the recovery is: the
// backup created (a dry run only asks whether it could be), the data file
// copied into it and made durable, and, before the mark, the check that it
// can be read back as written.  The run then copies the node's tail into it
// and rewrites the data file from it; it closes the backup when it is done.
#pragma once

#include "file_io.hpp"
#include "purge_programs.hpp"
#include "purge_reports.hpp"
#include "purge_rules.hpp"
#include "record_copy.hpp"

#include <cstdio>
#include <ctime>
#include <sys/types.h>

// Opens without waiting on a FIFO, and keeps the descriptor only of a
// regular file: a FIFO or a device is neither read nor written.  kind is
// the type of a file of another kind, 0 otherwise; -1 with errno set.
int openRegular(FileIo& io, const char* path, int flags, mode_t& kind);

// What the backup sees of the run.
struct BackupView {
    FileIo& io;
    const PurgeProgram& program;
    const PurgePaths& paths;
    const PurgeReports& reports;
    RecordCopier& records;
    PurgeRules& rules;
    time_t judgementTime;
    FILE* out;
    bool dryRun;
};

class PurgeBackup {
public:
    explicit PurgeBackup(const BackupView& view) : view_(view) {}
    PurgeBackup(const PurgeBackup&) = delete;
    PurgeBackup& operator=(const PurgeBackup&) = delete;
    ~PurgeBackup();

    // Each returns kPurged, or the status of its failure, reported.
    int create();
    // A dry run after an interrupted run copies the backup that it left,
    // whose purge a real run would do once it completed the rewrite.
    void copyLeftBackup(int fd) { leftBackup_ = fd; }
    // The bulk of the copy, from the data file (or the backup left).
    int copyFrom(int data, CopyTally& tally);
    // Where a dry run ends: what a real run would print, and where it would
    // fail, with its status; filesRemain as afterRewrite says.
    int showDryRun(const CopyTally& tally, bool& filesRemain);
    // dataWriteError: 0 when the data file is open for writing.
    int checkBeforeTheMark(int dataWriteError);

    // The copy's failure: of its read from source, or of its write.
    int failedCopy(const char* source) const;
    // The backup and the mark show no more than the data file does.
    void giveDataMode(int fd, const char* path);

    int fd() const { return backup_; }
    int forReading() const { return backupRead_ >= 0 ? backupRead_ : backup_; }
    // Closes the backup's descriptors once; false when a close failed.
    bool close();

private:
    bool canCreate(const char* path, mode_t& kind);
    FileIo& io() const { return view_.io; }

    BackupView view_;
    int backup_ = -1;
    int backupRead_ = -1;     // -1: the backup is read back through backup_
    int leftBackup_ = -1;
    mode_t dataMode_ = 0600;  // the data file's permission bits, which the backup and the mark take
};
