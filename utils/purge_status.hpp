// The exit statuses of the purge programs, and what each one means, written
// once: the usage texts and the manual pages are made from this table.
#pragma once

#include <cstddef>

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
    kRefusedAsRoot = 14,
    kDamageFound = 15,
};

// The two kinds of purge: the mail directory's, with its message files, and
// the age purge of a record file.
enum class PurgeKind { Mail, Age };

// Which programs give a status: every purge, or those of one kind.
enum class GivenBy { EveryPurge, MailPurge, AgePurge };

struct StatusMeaning {
    PurgeStatus status;
    GivenBy givenBy;
    // As the usage text shows it, without the line end: "\n" where its line
    // breaks.
    const char* text;
};

extern const StatusMeaning kStatusMeanings[];
extern const size_t kStatusMeaningCount;

bool givesStatus(const StatusMeaning& meaning, PurgeKind kind);
