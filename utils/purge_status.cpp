#include "purge_status.hpp"

#include <iterator>

const StatusMeaning kStatusMeanings[] = {
    {kPurged, GivenBy::EveryPurge, "the purge is complete"},
    {kCannotOpenData, GivenBy::EveryPurge,
     "the data file cannot be opened for reading, or is not a regular file;\n"
     "nothing was changed"},
    {kCannotOpenBackup, GivenBy::EveryPurge,
     "the backup cannot be created, or opened again for reading, or is a\n"
     "link or not a regular file; the data file is unchanged"},
    {kCannotReopenData, GivenBy::EveryPurge,
     "the data file cannot be opened for writing; it is unchanged"},
    {kPathTooLong, GivenBy::EveryPurge,
     "a directory, or a path built from it, is too long; nothing was touched"},
    {kFailedDataUnchanged, GivenBy::EveryPurge,
     "a step failed before the data file was truncated; it is unchanged"},
    {kFailedDataRebuilt, GivenBy::EveryPurge,
     "a step failed after the truncation; the kept records were written again\n"
     "from the backup, and the purge is complete"},
    {kFailedRebuildPending, GivenBy::EveryPurge,
     "a step failed after the truncation and writing again failed too, or the\n"
     "mark could not be removed: the mark stays, and the next run completes\n"
     "the rewrite from the backup first"},
    {kRecoveryFailed, GivenBy::EveryPurge,
     "the mark of an interrupted run was found, and the rewrite could not be\n"
     "completed, or the mark cannot be read (torn, not a regular file, not\n"
     "one these tools write) or its lengths cannot be; nothing else was done"},
    {kOutputFailed, GivenBy::EveryPurge, "standard output could not be written"},
    {kDataKeptOpen, GivenBy::EveryPurge,
     "the data file was kept open by another process for the whole lease wait;\n"
     "it is unchanged"},
    {kLockedByAnotherPurge, GivenBy::EveryPurge,
     "another purge of the directory held its lock for the whole lock wait;\n"
     "nothing was touched"},
    {kUsageError, GivenBy::EveryPurge,
     "a word that begins with a dash is unknown, or its value is not valid, or\n"
     "a limit is not a whole number; nothing was touched"},
    {kMessageFilesRemain, GivenBy::MailPurge,
     "the purge is complete, but some message files could not be removed"},
    {kRefusedAsRoot, GivenBy::MailPurge,
     "run as root, the directory of dirmes.bin or the mail directory can be\n"
     "written by its group or by others, or the mail directory belongs to\n"
     "another user; nothing was touched"},
    {kRefusedAsRoot, GivenBy::AgePurge,
     "run as root, the data file's directory can be written by its group\n"
     "or by others; nothing was touched"},
    {kDamageFound, GivenBy::EveryPurge,
     "with --check: damage was found in the files, each fault named on\n"
     "standard output; nothing was changed"},
};
const size_t kStatusMeaningCount = std::size(kStatusMeanings);

bool givesStatus(const StatusMeaning& meaning, PurgeKind kind)
{
    switch (meaning.givenBy) {
    case GivenBy::EveryPurge:
        return true;
    case GivenBy::MailPurge:
        return kind == PurgeKind::Mail;
    case GivenBy::AgePurge:
        return kind == PurgeKind::Age;
    }
    return false;
}
