#include "purge_usage.hpp"

#include "purge_paths.hpp"

#include <cstring>

void printVersionLine(const PurgeProgram& program, FILE* out)
{
    std::fprintf(out, "%s v %s\n", program.name, program.version);
}

namespace {

void printMailSynopsis(FILE* out)
{
    std::fputs("usage: KELDRAN [B=days] [P=days] [D=directory] [M=mail-prefix] [V] [--dry-run]\n"
               "               [--quiet] [--verbose] [--lease-wait=SECONDS] [--without-lease]\n"
               "               [--lock-wait=SECONDS]\n"
               "       KELDRAN --help | --version\n",
               out);
}

void printMailOptions(FILE* out)
{
    std::fputs(
        "\n"
        "Purges the mail directory dirmes.bin: drops the messages of status K and the\n"
        "messages older than their limit, unless marked never to be deleted\n"
        "automatically, and removes the message file of each message it drops.\n"
        "A message is dropped once more than the limit times 86400 seconds have passed\n"
        "since 00:00 local standard time of its date; a limit below 1 counts as 1.\n"
        "\n"
        "  B=days          limit for every message that is not private (default 30)\n"
        "  P=days          limit for private messages, type P (default 30)\n"
        "  D=directory     directory of dirmes.bin (default ../system/bin/)\n"
        "  M=mail-prefix   prefix of the message files, used as given, so it ends\n"
        "                  with a slash (default ../mail/): M=/var/mail/ removes\n"
        "                  /var/mail/m0000042.msg for message 42; a mail directory\n"
        "                  that does not exist is named, and the purge goes on\n"
        "  V               prints the version line; the purge still runs\n",
        out);
}

void printAgeSynopsis(const PurgeProgram& program, FILE* out)
{
    std::fprintf(out,
                 "usage: %s [D=days] [P=directory] [V] [--dry-run] [--quiet] [--verbose]\n"
                 "              [--lease-wait=SECONDS] [--without-lease] [--lock-wait=SECONDS]\n"
                 "       %s --help | --version\n",
                 program.name, program.name);
}

void printAgeOptions(const PurgeProgram& program, FILE* out)
{
    const ProgramFileName data = programFile(program, ".bin");
    const ProgramFileName backup = programFile(program, ".old");
    std::fprintf(out,
                 "\n"
                 "Deletes from %s the %s older than a number of days, after copying\n"
                 "the file to %s beside it.\n"
                 "\n"
                 "  D=days       limit in days, a whole number (default 30; below 1 counts\n"
                 "               as 1): a record dated that many days before today or\n"
                 "               earlier is deleted, whatever its time of day (days of\n"
                 "               local standard time)\n"
                 "  P=directory  directory of %s (default ../system/bin/)\n"
                 "  V            prints the version line; the purge still runs\n",
                 data.text, program.recordsName, backup.text, data.text);
}

// The double-dash options, the files, the run beside a node and as root:
// the same for every purge but for the names of its files.
void printCommonPart(const PurgeProgram& program, FILE* out)
{
    const ProgramFileName data = programFile(program, ".bin");
    const ProgramFileName backup = programFile(program, ".old");
    const ProgramFileName mark = programFile(program, kMarkSuffix);
    std::fprintf(out,
                 "  --dry-run             says first that nothing will be changed, then prints\n"
                 "                        what a run would print, checks what it would need,\n"
                 "                        and changes nothing\n"
                 "  --quiet               prints nothing on standard output; failures are\n"
                 "                        reported on standard error as always\n"
                 "  --verbose             a line for each record deleted: its date, the fields\n"
                 "                        that tell it and why it goes (its age against the\n"
                 "                        limit, or status K), after a line that gives the\n"
                 "                        oldest date that stays\n"
                 "  --check               reads the data file, the backup, the mark (and the\n"
                 "                        mail directory) and names each fault, with its\n"
                 "                        record's number and byte offset or its file:\n"
                 "                        part-records, records all zero, without a date or\n"
                 "                        dated more than a day ahead, an interrupted run\n"
                 "                        and what the next run does with it (and message\n"
                 "                        files that no record names, or that are missing);\n"
                 "                        writes nothing, and may run beside the node; with\n"
                 "                        --verbose every fault, else each kind's first\n"
                 "  --lease-wait=SECONDS  waits that long at most for the node server to\n"
                 "                        close the data file (default 5); kept open\n"
                 "                        longer, the file stops the purge\n"
                 "  --without-lease       then purges all the same: a record that the node\n"
                 "                        appends between the last copy and the truncation\n"
                 "                        is lost, and a reader may see the file while it\n"
                 "                        is rewritten\n"
                 "  --lock-wait=SECONDS   waits that long at most for another purge of the\n"
                 "                        same directory to end (default 600)\n"
                 "  --help, --version     print this text, or the version line, and exit\n"
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
    const bool mail = program.kind == PurgeKind::Mail;
    if (mail)
        printMailSynopsis(out);
    else
        printAgeSynopsis(program, out);
    if (!whole)
        return;
    if (mail)
        printMailOptions(out);
    else
        printAgeOptions(program, out);
    printCommonPart(program, out);
    printStatuses(program, out);
}

void printStatuses(const PurgeProgram& program, FILE* out)
{
    for (size_t i = 0; i < kStatusMeaningCount; ++i) {
        const StatusMeaning& meaning = kStatusMeanings[i];
        if (!givesStatus(meaning, program.kind))
            continue;
        std::fprintf(out, "%3d  ", static_cast<int>(meaning.status));
        for (const char* text = meaning.text; *text != '\0'; ++text) {
            std::fputc(*text, out);
            if (*text == '\n')
                std::fputs("     ", out);
        }
        std::fputc('\n', out);
    }
}
