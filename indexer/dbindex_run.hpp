// The whole of a dbindex run as a function, so that a test can run it in
// its own process with a FileIo that records or fails the calls.
#pragma once

#include "file_io.hpp"

// Reads the arguments, builds or checks the index and returns the exit
// status.  Every call that changes the disk goes through io (the database
// is read through a descriptor that io opened).  Output goes to standard
// output and standard error; standard output is flushed and checked, not
// closed.  Started by root, the run takes the identity of the owner of the
// database's directory, for the whole process and for good, unless root
// owns that directory.
int runDbindex(int argc, char* argv[], FileIo& io);

// The program: runDbindex on the disk itself, with standard output written
// a line at a time and checked to its final close.
int dbindexMain(int argc, char* argv[]);
