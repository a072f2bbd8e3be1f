// Every way a purge run can fail, told: each report prints its lines on
// standard error, after the program's name, and returns the run's status.
// A report only reports: it holds the names of the run's files, never a
// descriptor, so what a failure must do is left to the protocol.
#pragma once

#include "file_holders.hpp"
#include "file_io.hpp"
#include "purge_paths.hpp"
#include "purge_programs.hpp"
#include "purge_settings.hpp"
#include "purge_status.hpp"

#include <cstdio>

#include <sys/types.h>

class PurgeReports {
public:
    PurgeReports(const PurgeProgram& program, const PurgePaths& paths, FILE* err,
                 const PurgeWaits& waits)
        : program_(program), paths_(paths), err_(err), waits_(waits)
    {
    }

    // A line on standard error, after the program's name.
    void say(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    // The purge's failures.
    int failedOpen(OpenStep step, const char* path, int status) const;
    int notRegular(const char* path, mode_t kind, int status) const;
    int backupReplaced() const;
    int locked() const;
    int keptOpen(const FileHolders& found) const;
    int cutShort() const;
    int markTooLong() const;
    int unchanged(const char* step, const char* path) const;
    int afterTruncation(const char* step, const char* path) const;
    int rewriteMismatch() const;
    int rebuilt() const;
    int markStays() const;
    int removalSyncFailed() const;
    int markRemovalFailed(const char* step) const;
    int directorySyncFailed() const;

    // The recovery's.
    int recoveryFailed(const char* step, const char* path) const;
    int backupChanged() const;
    int markRefused(const char* why) const;

    // Notes: the run goes on.
    void noLock(int error) const;
    void noLease(int error) const;
    void purgingWithoutLease() const;
    void leaseBroken(int seconds) const;
    void modeNotGiven(const char* path) const;

private:
    const PurgeProgram& program_;
    const PurgePaths& paths_;
    FILE* err_;
    const PurgeWaits& waits_;
};

// A failed open, told as the system tells it after the words of the program's
// kind ("MIRKOS -> fopen in MAIN (fBinFile 1)"), then with the path as the
// system saw it; errno is the open's error.  Returns status.
int reportFailedOpen(FILE* err, const PurgeProgram& program, OpenStep step, const char* path,
                     int status);
