// The protocol that the four purge programs share: copy the data file to its
// backup, make the backup durable, then rewrite the data file in place with
// the records that survive.  A program supplies its record size, its file
// names and texts, and the judgement of each record.
//
// Nothing is truncated before the backup is complete and on disk.  Before the
// truncation a mark is left beside the backup and removed only once the data
// file is whole again; a run that finds the mark restores the data file from
// the backup first, so a run stopped at any instant loses nothing.
#pragma once

#include "file_io.hpp"

#include <cstddef>
#include <cstdio>
#include <ctime>

enum PurgeStatus : int {
    kPurged = 0,
    kCannotOpenData = 1,
    kCannotOpenBackup = 2,
    kCannotReopenData = 3,
    kPathTooLong = 4,
    kFailedDataUnchanged = 5,
    kFailedDataRestored = 6,
    kFailedRestorePending = 7,
    kRecoveryFailed = 8,
    kOutputFailed = 9,
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
    // True keeps the record.  now is the current calendar time.
    virtual bool keep(const unsigned char* record, time_t now) = 0;
    // Runs once the new data file is complete and on disk (not in a dry run).
    virtual void afterRewrite(FileIo&) {}
    virtual void printSummary(FILE* out, long kept, long dropped) = 0;
};

struct PurgeContext {
    FileIo& io;
    FILE* out;
    FILE* err;
    time_t (*clock)();
    bool dryRun;
};

int runPurge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
             const PurgeContext& context);
