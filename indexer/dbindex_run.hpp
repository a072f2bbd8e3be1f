// The whole of a dbindex run as a function, so that a test can run it in
// its own process with a FileIo that records or fails the calls.
#pragma once

#include "block_ring.hpp"
#include "file_io.hpp"

// Reads the arguments, builds or checks the index and returns the exit
// status.  Every call to the disk goes through io, the reads of the
// database and of the index included.  The program reads the database
// ahead, from a second thread that calls io too; a FileIo that keeps a
// count of its calls wants ReadAhead::Off, which reads the same blocks in
// the same order from the caller's thread alone.  Output goes to standard
// output and standard error; standard output is flushed and checked, not
// closed.  Started by root, the run takes the identity of the owner of the
// database's directory, for the whole process and for good, unless root
// owns that directory.
int runDbindex(int argc, char* argv[], FileIo& io, ReadAhead readAhead = ReadAhead::On);

// The program: runDbindex on the disk itself, with standard output written
// a line at a time and checked to its final close.
int dbindexMain(int argc, char* argv[]);
