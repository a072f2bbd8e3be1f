#include "purge_usage.hpp"

#include "purge_paths.hpp"
#include "status_text.hpp"

#include <cstring>

void printVersionLine(const PurgeProgram& program, FILE* out)
{
    std::fprintf(out, "%s v %s\n", program.name, program.version);
}

namespace {

// The double-dash options, the files, the run beside a node and as root:
// the same for every purge but for the names of its files.
void printCommonPart(const PurgeProgram& program, FILE* out)
{
    const ProgramFileName data = programFile(program, ".bin");
    const ProgramFileName backup = programFile(program, ".old");
    const ProgramFileName mark = programFile(program, kMarkSuffix);
    printOptions(program, kDashOptions, out);
    std::fprintf(out,
                 "The letter options are told by their first letter, in either case; other\n"
                 "words are ignored, with a note on standard error.  A word that begins with\n"
                 "a dash and is not one of the options above is refused, and so is a limit\n"
                 "that is not a whole number (an optional sign, then digits); a limit below\n"
                 "1 counts as 1, with a note.\n"
                 "\n"
                 "Files:\n"
                 "  %-16s the data file, rewritten in place\n"
                 "  %-16s the backup, made durable before the data file is truncated\n"
                 "  %-16s the mark of a rewrite under way\n"
                 "Beside a running node server: a purge locks the directory, so that two\n"
                 "purges of it never run together, and takes a lease on the data file, under\n"
                 "which the node's open() of the file waits while it is rewritten; records that\n"
                 "the node appends meanwhile are kept.  The lease needs the file's owner (or\n"
                 "CAP_LEASE) and a local file system; where it is refused, the purge says so\n"
                 "and goes on without it.  A run stopped midway leaves the mark: the next run\n"
                 "completes the rewrite from the backup, keeping what the node appended since,\n"
                 "says so, and then purges as usual.  SIGINT, SIGTERM and SIGHUP are held off\n"
                 "while the data file is rewritten.\n"
                 "Run as root, a purge works as the owner of the data file's directory before\n"
                 "it opens anything (a dry run too), so that what it creates belongs to that\n"
                 "user; a directory that root owns keeps it root.  It refuses a directory that\n"
                 "its group or others can write.\n"
                 "\n"
                 "Exit status:\n",
                 data.text, backup.text, mark.text);
}

}  // namespace

void printUsage(const PurgeProgram& program, FILE* out, bool whole)
{
    printSynopsis(program, out);
    if (!whole)
        return;
    std::fputs(withNames(program.kind.usageIntro, program).c_str(), out);
    printOptions(program, program.kind.options, out);
    printCommonPart(program, out);
    printStatuses(program, out);
}

void printStatuses(const PurgeProgram& program, FILE* out)
{
    for (const auto statuses : {kEveryPurgeStatuses, program.kind.statuses})
        for (const StatusMeaning& meaning : statuses)
            printStatusLine(out, meaning.status, meaning.text);
}
