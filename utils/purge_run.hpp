// The one entry of a purge run, as each of the four programs makes it: its
// row of the table, its command line, the disk and the clock.
#pragma once

#include "file_io.hpp"
#include "purge_programs.hpp"

#include <cstdio>
#include <ctime>

// What a run works with: a test gives its own.
struct PurgeSystem {
    FileIo& io;
    time_t (*clock)();
    FILE* out;
    FILE* err;
};

// Reads the command line once, then answers --help or --version, refuses
// what it cannot run (with a short usage), or purges: standard output
// silenced with --quiet, the first line and the closing note of a dry run.
// Started by root, the run first takes the identity of the owner of the
// data file's directory, for good.  Returns the exit status.
int answerCommandLine(const PurgeProgram& program, int argc, char* argv[], const PurgeSystem& system);

// The program: answerCommandLine on the disk itself and the real clock, with
// standard output written a line at a time and checked to its close.
int purgeMain(const PurgeProgram& program, int argc, char* argv[]);
