// The exit statuses of the purge programs, and what each one means, written
// once: the usage texts and the manual pages are made from these tables,
// that of every purge (here) and that of each kind (PurgeKind::statuses).
#pragma once

#include <span>

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

struct StatusMeaning {
    PurgeStatus status;
    // As the usage text shows it, without the line end: "\n" where its line
    // breaks.
    const char* text;
};

// The statuses that every purge gives; each kind's own come after them, and
// those of --check last.
extern const std::span<const StatusMeaning> kEveryPurgeStatuses;
extern const std::span<const StatusMeaning> kCheckStatuses;
