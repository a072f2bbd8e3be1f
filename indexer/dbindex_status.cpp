#include "dbindex_status.hpp"

#include "status_text.hpp"

namespace {

const StatusText kStatuses[] = {
    {kDone, "the index was written",
     "The index was written (also for an empty database), or with\n"
     ".B \\-\\-check\n"
     "it agrees with the database."},
    {kNoName, "no database name was given", "No database name was given."},
    {kCannotOpenDatabase,
     "the .ful file cannot be opened for reading, or is not a regular file",
     "The database cannot be opened for reading, or is not a regular file."},
    {kCannotOpenIndex,
     "the .idx file cannot be opened for writing, or it or NAME.idx.tmp is\n"
     "not a regular file",
     "The index cannot be opened for writing (with\n"
     ".BR \\-\\-check ,\n"
     "for reading), or it or\n"
     ".IR name .idx.tmp\n"
     "is not a regular file."},
    {kNameTooLong,
     "the name does not fit: more than 255 characters, or more than 251\n"
     "once cut at its first full stop; no file is opened",
     "The name does not fit: over 255 characters, or over 251 once cut; no file\n"
     "is opened."},
    {kReadFailed,
     "the .ful file could not be read to its end; the index on disk is left\n"
     "as it was",
     "The database could not be read to its end; the index is left as it was."},
    {kWriteFailed,
     "the .idx file could not be written or closed (the index on disk is left\n"
     "as it was), or with --check could not be read",
     "The index could not be written or closed (the index is left as it was), or\n"
     "with\n"
     ".B \\-\\-check\n"
     "could not be read."},
    {kOutputFailed, "standard output could not be written",
     "Standard output could not be written."},
    {kIndexDiffers, "with --check: the index differs from the database",
     "With\n"
     ".BR \\-\\-check :\n"
     "the index differs from the database."},
    {kUsageError, "an option that begins with -- is unknown; no file is opened",
     "An option that begins with\n"
     ".B \\-\\-\n"
     "is unknown; no file is opened."},
    {kRefusedAsRoot,
     "started by root, in a directory that its group or others can write,\n"
     "or whose owner's identity cannot be taken; no file is opened",
     "Started by root in a directory that its group or others can write, or whose\n"
     "owner's identity cannot be taken; no file is opened."},
};

}  // namespace

const std::span<const StatusText> kDbindexStatuses = kStatuses;

void printDbindexStatuses(FILE* out)
{
    for (const StatusText& meaning : kDbindexStatuses)
        printStatusLine(out, meaning.status, meaning.usage);
}
