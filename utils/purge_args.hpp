// What the four purge programs share on their command lines and at their
// end: options told by their first letter, the limits in days, the notes on
// what a command line does not mean, the double-dash options, the usage
// text's common part, and the checked close of standard output.
#pragma once

#include "purge_engine.hpp"

#include <cstddef>
#include <cstdio>
#include <functional>

// The value of an option "X=value" whose first letter is letter in either
// case; null when the argument is not that option.
const char* optionValue(const char* argument, char letter);

// True when the first letter of argument is letter, in either case.
bool startsWith(const char* argument, char letter);

// A limit in days read as atoi reads it (blanks, a sign, digits up to the
// first non-digit, 0 without digits), saturating instead of overflowing.
int readDays(const char* text);

// A limit below 1 becomes 1.
int atLeastOneDay(int days);

// Copies a directory text into a buffer of size bytes; false when it does not fit.
bool copyText(char* buffer, size_t size, const char* text);

// Where the reading of a command line goes: the version line of each V
// argument to out, the notes on what the line does not mean to err, each
// beginning with the program's name.
struct CommandLine {
    const char* program;
    const char* versionLine;
    FILE* out;
    FILE* err;
};

// A note on an argument that fits no option, which is ignored.
void noteIgnored(const CommandLine& line, const char* argument);

// The limit in days of an option's value, as readDays reads it; a value
// that is not a whole number of days is noted with the limit that is used.
int readDaysNoted(const CommandLine& line, const char* argument, const char* value);

// A double-dash word: readPurgeOptions has taken it, the letters leave it.
bool isLongOption(const char* argument);

// The double-dash options that every purge takes.
struct PurgeOptions {
    bool dryRun = false;
    bool quiet = false;
    bool verbose = false;
    PurgeWaits waits;
};

enum class LongOptions { Run, Help, Version, Refused };

// Reads --dry-run, --quiet, --verbose, --lease-wait=SECONDS,
// --lock-wait=SECONDS, --without-lease, --help and --version.  An unknown
// double-dash word, or a wait that is not a number of seconds, is refused
// with a message on standard error.
LongOptions readPurgeOptions(const char* program, int argc, char* argv[], PurgeOptions& options);

// The whole run of a purge program around purge, which reads the letter
// options and purges: --help and --version, a refusal with a short usage
// (printUsage(stream, false)) and its status, standard output silenced with
// --quiet, the note of a dry run, and the checked end.
int runPurgeProgram(const char* program, const char* versionLine, int argc, char* argv[],
                    const std::function<void(FILE*, bool whole)>& printUsage,
                    const std::function<int(const PurgeOptions&, FILE* out)>& purge);

// The part of the usage text that the four programs share: the exit
// statuses and the recovery after an interrupted run.
void printPurgeUsageTail(FILE* out, const char* dataFileName, const char* backupFileName);

// Checks standard output to its close; status, or the output failure status
// when the run itself had succeeded.
int finishOutput(const char* program, int status);
