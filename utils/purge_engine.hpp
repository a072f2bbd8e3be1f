// The protocol that the four purge programs share, safe beside a running
// node server that appends to the data file and reads it:
//
//  1. Lock the data file's directory (flock), so that two purges never run
//     together; the node never opens the directory, so the lock cannot
//     disturb it.
//  2. Copy the data file to its backup and make the backup durable, with
//     nothing held, judging each record against one judgement time.
//  3. Take a write lease on the data file: the node's open() of it, to read
//     or to append, now waits.  Take in what was appended meanwhile, leave
//     the mark, truncate the data file to the length of the kept records and
//     write them into it; release the lease, sync the data file, remove the
//     mark.  A record appended after the truncation lands beyond the kept
//     length, where the rewrite never writes, so it survives even without
//     the lease.
//
// The data file has one descriptor for the whole run: a second open would
// wait on the run's own lease.  Nothing is truncated before the backup and
// the mark are on disk; a run that finds the mark completes the rewrite from
// the backup and keeps what the node appended since.
#pragma once

#include "file_io.hpp"
#include "purge_paths.hpp"
#include "purge_programs.hpp"
#include "purge_rules.hpp"
#include "purge_settings.hpp"
#include "purge_status.hpp"

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>

struct PurgeContext {
    FileIo& io;
    FILE* out;
    FILE* err;
    time_t (*clock)();
    bool dryRun;
    PurgeWaits waits = {};
};

// Locks the directory, completes an interrupted run, backs the data file up
// and rewrites it without the records that the rules drop; returns the
// run's status, each failure told on context.err.
int purgeDataFile(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
                  const PurgeContext& context);
