// The protocol that the four purge programs share, safe beside a running
// node server that appends to the data file and reads it:
//
//  1. Lock the data file's directory (flock), so that two purges never run
//     together; the node never opens the directory, so the lock cannot
//     disturb it.
//  2. Copy the data file to its backup and make the backup durable, with
//     nothing held, judging each record against one judgement time.
//  3. Take a write lease on the data file: the node's open() of it, to read
//     or to append, now waits.  Take in what was appended meanwhile, leave
//     the mark, truncate the data file to the length of the kept records and
//     write them into it; release the lease, sync the data file, remove the
//     mark.  A record appended after the truncation lands beyond the kept
//     length, where the rewrite never writes, so it survives even without
//     the lease.
//
// The data file has one descriptor for the whole run: a second open would
// wait on the run's own lease.  Nothing is truncated before the backup and
// the mark are on disk; a run that finds the mark completes the rewrite from
// the backup and keeps what the node appended since.
#pragma once

#include "file_io.hpp"

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>

enum PurgeStatus : int {
    kPurged = 0,
    kCannotOpenData = 1,
    kCannotOpenBackup = 2,
    kCannotReopenData = 3,
    kPathTooLong = 4,
    kFailedDataUnchanged = 5,
    kFailedDataRebuilt = 6,
    kFailedRebuildPending = 7,
    kRecoveryFailed = 8,
    kOutputFailed = 9,
    kDataKeptOpen = 10,
    kLockedByAnotherPurge = 11,
    kUsageError = 12,
    kMessageFilesRemain = 13,
};

constexpr size_t kPathSize = 256;        // a data, backup or message path
constexpr size_t kDirectorySize = 1024;  // a directory text from the command line
constexpr char kMarkSuffix[] = ".purging";

struct PurgeProgram {
    const char* name;              // "VOSKIL"
    const char* dataFileName;      // "announce.bin"
    const char* backupFileName;    // "announce.old"
    size_t recordSize;
    const char* openDataFailure;   // the perror texts of the failed opens
    const char* openBackupFailure;
    const char* reopenDataFailure;
    const char* reopenBackupFailure;  // null: the backup stays open from its creation
};

struct PurgePaths {
    char szBin[kPathSize];
    char szOld[kPathSize];
    char szMark[kPathSize + sizeof kMarkSuffix];
    char szDirectory[kPathSize];
};

// Builds the paths from a directory text: one that ends in a slash is a
// prefix, any other (an empty one too) is followed by a slash.  The backup
// is the data path with its last four characters replaced by ".old"; the
// mark is the data path with ".bin" replaced by ".purging".  False when a
// path does not fit.
bool buildPurgePaths(const char* directory, const char* dataFileName, PurgePaths& paths);

class PurgeRules {
public:
    virtual ~PurgeRules() = default;
    // True keeps the record.  now is the run's one judgement time; the same
    // record and time always give the same answer.
    virtual bool keep(const unsigned char* record, time_t now) = 0;
    // Each record that the run drops, in file order, as the copy judges it:
    // before the data file is changed, so what the rules make of it waits
    // for printSummary.
    virtual void dropped(const unsigned char*) {}
    // Before the copy, with nothing held: reads what dropped and
    // afterRewrite need to know of the disk.
    virtual void prepare(FileIo&) {}
    // Runs once the new data file is complete and on disk; in a dry run,
    // checks what it would do.  False when something could not be done (or
    // could not be in a real run), each thing named on standard error.
    virtual bool afterRewrite(FileIo&, bool /*dryRun*/) { return true; }
    virtual void printSummary(FILE* out, long kept, long dropped) = 0;
    // The settings that judge the records, as one line for the mark, and
    // rules that judge by such a line, collecting what afterRewrite needs
    // but printing nothing; null when the line cannot be read.
    virtual void writeSettings(char* text, size_t size) const = 0;
    virtual std::unique_ptr<PurgeRules> fromSettings(const char* text) const = 0;
};

// How long a run waits for what others hold.
struct PurgeWaits {
    double leaseSeconds = 5;   // for the node server to close the data file
    double lockSeconds = 600;  // for another purge of the same directory to end
    bool withoutLease = false; // when the wait for the lease ends, purge all the same
};

struct PurgeContext {
    FileIo& io;
    FILE* out;
    FILE* err;
    time_t (*clock)();
    bool dryRun;
    PurgeWaits waits = {};
};

int runPurge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
             const PurgeContext& context);
