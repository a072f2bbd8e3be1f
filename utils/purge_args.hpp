// What the four purge programs share on their command lines and around
// their run: options told by their first letter, the limits in days, the
// notes on what a command line does not mean, the dash words, the usage
// text's common part, the run of the engine as the owner of the files, and
// the checked close of standard output.
#pragma once

#include "held_lines.hpp"
#include "purge_engine.hpp"

#include <cstddef>
#include <cstdio>
#include <functional>

// The value of an option "X=value" whose first letter is letter in either
// case; null when the argument is not that option.
const char* optionValue(const char* argument, char letter);

// True when the first letter of argument is letter, in either case.
bool startsWith(const char* argument, char letter);

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

// What the reading of the letter options found.
enum class LetterOptions { Run, PathTooLong, Refused };

// A note on an argument that fits no option, which is ignored.
void noteIgnored(const CommandLine& line, const char* argument);

// The limit in days of an option's value: an optional sign, then digits, in
// the range of an int.  Anything else is refused on err, quoting the
// argument (false); a limit below 1 counts as 1, with a note.
bool readLimit(const CommandLine& line, const char* argument, const char* value, int& days);

// A word that begins with a dash: readPurgeOptions has taken it (or refused
// it), the letters leave it.
bool isDashWord(const char* argument);

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
// dash word (a single dash too: -h, -n, -D=5, -), or a wait that is not a
// number of seconds, is refused with a message on standard error.
LongOptions readPurgeOptions(const char* program, int argc, char* argv[], PurgeOptions& options);

// The whole run of a purge program around purge, which reads the letter
// options and purges: --help and --version, a refusal with a short usage
// (printUsage(stream, false)) and its status (also when purge refuses the
// letter options with kUsageError), standard output silenced with --quiet,
// the first line and the closing note of a dry run, and the checked end.
int runPurgeProgram(const PurgeProgram& program, const char* versionLine, int argc, char* argv[],
                    const std::function<void(FILE*, bool whole)>& printUsage,
                    const std::function<int(const PurgeOptions&, FILE* out)>& purge);

// Runs the engine on the program's files with the run's context.  Started by
// root, the run first takes the identity of the owner of the data file's
// directory, for good; a mailDirectory (KELDRAN's; null for the others) must
// have the same owner.  A directory that its group or others can write is
// refused with kRefusedAsRoot, touching nothing.
int runEngine(const PurgeProgram& program, const PurgePaths& paths, const char* mailDirectory,
              PurgeRules& rules, const PurgeOptions& options, FILE* out);

// Where the rules of a run write, as the run's options ask.
RulesOutput rulesOutput(const PurgeProgram& program, const PurgeOptions& options, FILE* out);

// The part of the usage text that the four programs share: the double-dash
// options, the files, a run as root and the exit statuses to 12, which the
// program's own (ownStatuses: 13 for KELDRAN, 14 for each) follow.
void printPurgeUsageTail(FILE* out, const PurgeProgram& program, const char* ownStatuses);

// Checks standard output to its close; status, or the output failure status
// when the run itself had succeeded.
int finishOutput(const char* program, int status);
