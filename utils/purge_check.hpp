// The check of a purge's files, which may run beside a live node: the data
// file, the backup, the mark and what the kind reads beside them (the mail
// kind's message files) are read, never written, and each fault is named
// with its record's number and byte offset, or with its file's name.
// Nothing is created or leased; only a purge of the directory that runs is
// waited for, through the directory's lock taken shared.  Every file is
// opened read-only, without following a link and without blocking, and
// must be a regular one.
#pragma once

#include "file_io.hpp"
#include "purge_settings.hpp"
#include "purge_paths.hpp"
#include "purge_programs.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// In the order in which the kinds' first findings are shown: where they lie.
enum Finding {
    kAllZero,
    kNoDate,
    kAhead,
    kMessageMissing,
    kPartRecord,
    kBackup,
    kMark,
    kMailDirectory,
    kMessageUnnamed,
    kFindingKinds
};

// The findings, a line each: with verbose each one as it is found, else
// each kind's first, then how many more there are.
class Findings {
public:
    Findings(FILE* out, bool verbose) : out_(out), verbose_(verbose) {}
    void add(Finding kind, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void printFirsts() const;
    bool any() const;
    // "1 part-record, 2 records without a date"
    void summary(char* text, size_t size) const;

private:
    FILE* out_;
    bool verbose_;
    uint64_t counts_[kFindingKinds] = {};
    char first_[kFindingKinds][640] = {};
};

// What a kind checks beside the records of the data file (the mail kind:
// its message files), made before the records are read: told of each
// record that is not all zero, then ended after the mark is judged.
class KindFilesCheck {
public:
    virtual ~KindFilesCheck() = default;
    virtual void record(const unsigned char* record, uint64_t number, uint64_t offset) = 0;
    virtual void end() = 0;
};

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
