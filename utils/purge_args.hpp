// What the four purge programs share on their command lines and at their
// end: options told by their first letter, the limits in days, the usage
// text's common part, and the checked close of standard output.
#pragma once

#include "purge_engine.hpp"

#include <cstddef>
#include <cstdio>

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

// The exact long options, anywhere on the command line.
bool hasArgument(int argc, char* argv[], const char* exact);

// The double-dash options that every purge takes.
struct PurgeOptions {
    bool dryRun = false;
    PurgeWaits waits;
};

// Reads --dry-run, --lease-wait=SECONDS, --lock-wait=SECONDS and
// --without-lease; false, after a message on standard error, when a wait is
// not a number of seconds.
bool readPurgeOptions(const char* program, int argc, char* argv[], PurgeOptions& options);

// The part of the usage text that the four programs share: the exit
// statuses and the recovery after an interrupted run.
void printPurgeUsageTail(FILE* out, const char* dataFileName, const char* backupFileName);

// Checks standard output to its close; status, or the output failure status
// when the run itself had succeeded.
int finishOutput(const char* program, int status);
