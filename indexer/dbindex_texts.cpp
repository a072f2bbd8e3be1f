#include "dbindex_texts.hpp"

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

const DbindexOption kOptions[] = {
    {"--check",
     "With --check, builds the index in memory and compares it with NAME.idx,\n"
     "writing nothing; where they differ it names the first record that does.\n",
     "Builds the index in memory and compares it with\n"
     ".IR name .idx,\n"
     "writing nothing.\n"
     "Prints whether they agree and, where they do not, the offset and key line of\n"
     "the first record whose entries differ.\n"
     "It reads the database as fast as a build.\n"},
    {"--quiet",
     "With --quiet, nothing goes to standard output unless the run fails; then\n"
     "all of it does.",
     "Prints nothing on standard output when the run succeeds; when it fails, all\n"
     "that it would have printed is printed.\n"},
    {"--help", nullptr, "Prints a usage text and exits with status 0, opening no file.\n"},
    {"--version", nullptr, "Prints the version line and exits with status 0, opening no file.\n"},
};

const char* const kSynopsisLines[] = {
    "[--quiet] NAME",
    "[--quiet] --check NAME",
    "--help | --version",
};

const char kDescription[] =
    "\n"
    "Builds NAME.idx, the index of the text database NAME.ful, in one pass.\n"
    "The new index is written to NAME.idx.tmp and renamed over NAME.idx once it\n"
    "is whole and on disk: a reader never sees it half-written.\n"
    "NAME is cut at its first full stop and folded to lower case, directory\n"
    "parts included: Base.FUL and base both index base.ful into base.idx.\n";

const char kAfterOptions[] =
    "  Each error is told on standard output, as \"*** Error : \",\n"
    "and on standard error with the path as the system saw it.\n"
    "Only regular files are read and written: a FIFO, a device or a directory\n"
    "at NAME.ful, NAME.idx or NAME.idx.tmp is refused, and NAME.idx.tmp is never\n"
    "reached through a symbolic link.\n"
    "Started by root, dbindex works as the owner of the database's directory,\n"
    "for good, before it opens anything, so that the index belongs to that\n"
    "user; a directory that root owns keeps it root.  It refuses a directory\n"
    "that its group or others can write.\n"
    "\n"
    "Exit status:\n";

}  // namespace

const std::span<const StatusText> kDbindexStatuses = kStatuses;
const std::span<const DbindexOption> kDbindexOptions = kOptions;
const std::span<const char* const> kDbindexSynopsis = kSynopsisLines;

void printDbindexSynopsis(FILE* out)
{
    const char* start = "usage:";
    for (const char* line : kDbindexSynopsis) {
        std::fprintf(out, "%s dbindex %s\n", start, line);
        start = "      ";
    }
}

void printDbindexUsage(FILE* out)
{
    printDbindexSynopsis(out);
    std::fputs(kDescription, out);
    for (const DbindexOption& option : kDbindexOptions)
        if (option.usage)
            std::fputs(option.usage, out);
    std::fputs(kAfterOptions, out);
    for (const StatusText& meaning : kDbindexStatuses)
        printStatusLine(out, meaning.status, meaning.usage);
}
