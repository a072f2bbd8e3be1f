#include "purge_status.hpp"

namespace {

const StatusMeaning kMeanings[] = {
    {kPurged, "the purge is complete"},
    {kCannotOpenData,
     "the data file cannot be opened for reading, or is not a regular file;\n"
     "nothing was changed"},
    {kCannotOpenBackup,
     "the backup cannot be created, or opened again for reading, or is a\n"
     "link or not a regular file; the data file is unchanged"},
    {kCannotReopenData,
     "the data file cannot be opened for writing; it is unchanged"},
    {kPathTooLong,
     "a directory, or a path built from it, is too long; nothing was touched"},
    {kFailedDataUnchanged,
     "a step failed before the data file was truncated; it is unchanged"},
    {kFailedDataRebuilt,
     "a step failed after the truncation; the kept records were written again\n"
     "from the backup, and the purge is complete"},
    {kFailedRebuildPending,
     "a step failed after the truncation and writing again failed too, or the\n"
     "mark could not be removed: the mark stays, and the next run completes\n"
     "the rewrite from the backup first"},
    {kRecoveryFailed,
     "the mark of an interrupted run was found, and the rewrite could not be\n"
     "completed, or the mark cannot be read (torn, not a regular file, not\n"
     "one these tools write) or its lengths cannot be; nothing else was done"},
    {kOutputFailed, "standard output could not be written"},
    {kDataKeptOpen,
     "the data file was kept open by another process for the whole lease wait;\n"
     "it is unchanged"},
    {kLockedByAnotherPurge,
     "another purge of the directory held its lock for the whole lock wait;\n"
     "nothing was touched"},
    {kUsageError,
     "a word that begins with a dash is unknown, or its value is not valid, or\n"
     "a limit is not a whole number; nothing was touched"},
};

const StatusMeaning kCheckMeanings[] = {
    {kDamageFound,
     "with --check: damage was found in the files, each fault named on\n"
     "standard output; nothing was changed"},
};

}  // namespace

const std::span<const StatusMeaning> kEveryPurgeStatuses = kMeanings;
const std::span<const StatusMeaning> kCheckStatuses = kCheckMeanings;
