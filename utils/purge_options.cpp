#include "purge_options.hpp"


namespace {

const char* const kCheckTakes[] = {"--quiet", "--verbose"};

const OptionText kDash[] = {
    {"--dry-run",
     "says first that nothing will be changed, then prints\n"
     "what a run would print, checks what it would need,\n"
     "and changes nothing",
     "Says in its first line on standard output that it is a dry run and that\n"
     "nothing will be changed, then prints what a run would print, in the same\n"
     "words and with the same counts, and creates, changes and removes no file;\n"
     "takes no lease.\n"
     "It checks what the real run would need (a backup that can be written, a\n"
     "data file that can be written, message files that can be removed) and\n"
     "fails where the real run would, with its messages and status.\n"
     "It says on standard error that it was a dry run.\n"},
    {"--quiet",
     "prints nothing on standard output; failures are\n"
     "reported on standard error as always",
     "Prints nothing on standard output; failures are told on standard error as\n"
     "always, so that cron mails only what went wrong.\n"},
    {"--verbose",
     "a line for each record deleted: its date, the fields\n"
     "that tell it and why it goes (its age against the\n"
     "limit, or status K), after a line that gives the\n"
     "oldest date that stays",
     "Prints a line for each record that the run deletes (or, with\n"
     ".BR \\-\\-dry\\-run ,\n"
     "would delete), before the closing line: its date, the fields that tell it,\n"
     "and why it goes, its age in days against the limit\n"
     ".RB ( \"41 days old, limit 30\" )\n"
     "or its status K.\n"
     "A line before them gives the cut-off, the oldest date that stays under each\n"
     "limit, in days of local standard time.\n"},
    {"--check",
     "reads the data file, the backup, the mark (and the\n"
     "mail directory) and names each fault, with its\n"
     "record's number and byte offset or its file:\n"
     "part-records, records all zero, without a date or\n"
     "dated more than a day ahead, an interrupted run\n"
     "and what the next run does with it (and message\n"
     "files that no record names, or that are missing);\n"
     "writes nothing, and may run beside the node; with\n"
     "--verbose every fault, else each kind's first",
     "Reads\n"
     ".BR @DATA@ ,\n"
     "its backup\n"
     ".BR @BACKUP@ ,\n"
     "the mark\n"
     ".B @MARK@@CHECKALSO@,\n"
     "and names each fault that it finds, with the record's number (from 1) and\n"
     "byte offset, or the file's name; it writes nothing.\n"
     "It reports the records, and a trailing part-record with its length (a torn\n"
     "append); records all zero (what a power cut leaves of an append on ext4);\n"
     "records that hold no date: a date text that is not of the form\n"
     ".IR dd\\-Mon\\-yyyy ,\n"
     "names a month that is not the node's\n"
     ".RB ( Fev\n"
     "for February; the purges read any other name as January) or no day of the\n"
     "calendar, or a packed date-time whose fields are out of range; records\n"
     "dated more than a day ahead of the clock; whether the backup is a whole\n"
     "earlier state (a purge copies whole records only, so a backup that ends in a\n"
     "part-record is not); and a mark of an interrupted run, with what the next\n"
     "run does with it, as that run would decide it@CHECKFAULTS@.\n"
     "Each kind of fault is shown with its first example and counted; with\n"
     ".B \\-\\-verbose\n"
     "every one is listed.\n"
     "It opens every file read-only, without following a symbolic link and\n"
     "without waiting on a FIFO, takes no lease, and may run beside the node; it\n"
     "waits for a purge of the directory that is running (see\n"
     ".BR \\-\\-lock\\-wait ).\n"
     "It exits with status 0 when no fault was found, and 15 when one was, saying\n"
     "so on standard error too.\n"
     "The options that name the files\n"
     ".RB ( @FILEOPTIONS@ )\n"
     "are those of a run.\n",
     nullptr, InSynopsis::OwnLine, kCheckTakes},
    {"--lease-wait=SECONDS",
     "waits that long at most for the node server to\n"
     "close the data file (default 5); kept open\n"
     "longer, the file stops the purge",
     "How long to wait at most for the node server to close the data file, so\n"
     "that the lease can be had (default 5).\n"
     "A file that stays open longer stops the purge with status 10, unchanged.\n"},
    {"--without-lease",
     "then purges all the same: a record that the node\n"
     "appends between the last copy and the truncation\n"
     "is lost, and a reader may see the file while it\n"
     "is rewritten",
     "When the lease wait ends, purge all the same.\n"
     "A record that the node appends between the last copy and the truncation is\n"
     "then lost, and a reader may see the file while it is rewritten.\n"},
    {"--lock-wait=SECONDS",
     "waits that long at most for another purge of the\n"
     "same directory to end (default 600)",
     "How long to wait at most for another purge of the same directory to end\n"
     "(default 600); after that, the run stops with status 11, touching nothing.\n"},
    {"--help",
     "print this text, or the version line, and exit",
     "Prints a usage text and exits with status 0, touching nothing.\n",
     "--help, --version", InSynopsis::Alone},
    {"--version",
     nullptr,
     "Prints the version line and exits with status 0, touching nothing.\n",
     nullptr, InSynopsis::Alone},
};

}  // namespace

const OptionTexts kDashOptions = {kDash, 24};
