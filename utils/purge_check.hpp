// The check of a purge's files, which may run beside a live node: the data
// file, the backup, the mark and KELDRAN's mail directory are read, never
// written, and each fault is named with its record's number and byte offset,
// or with its file's name.  Nothing is created, locked in a file, leased or
// waited on: every file is opened read-only, without following a link and
// without blocking, and must be a regular one.
#pragma once

#include "file_io.hpp"
#include "purge_settings.hpp"
#include "purge_paths.hpp"
#include "purge_programs.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

struct CheckContext {
    FileIo& io;
    FILE* out;
    FILE* err;
    time_t now;
    bool verbose;       // every finding, not each kind's first
    double lockSeconds; // how long to wait for a purge of the directory to end
};

// Returns kPurged when no fault was found, kDamageFound when one was, or the
// status of the data file that could not be read.
int runCheck(const PurgeProgram& program, const PurgePaths& paths, const PurgeSettings& settings,
             const CheckContext& context);
