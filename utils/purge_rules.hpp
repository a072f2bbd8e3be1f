// What judges the records of a purge, and what the rules of each program do
// around the engine's rewrite: the one seam between the engine and the
// programs.
#pragma once

#include "file_io.hpp"

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <memory>

class PurgeRules {
public:
    virtual ~PurgeRules() = default;
    // True keeps the record.  now is the run's one judgement time; the same
    // record and time always give the same answer.
    virtual bool keep(const unsigned char* record, time_t now) = 0;
    // Each record that the run drops, in file order, as the copy judges it:
    // before the data file is changed, so what the rules make of it waits
    // for printSummary.
    virtual void dropped(const unsigned char*) {}
    // Before the copy, with nothing held: reads what dropped and
    // afterRewrite need to know of the disk.
    virtual void prepare(FileIo&) {}
    // Runs once the new data file is complete and on disk; in a dry run,
    // checks what it would do.  False when something could not be done (or
    // could not be in a real run), each thing named on standard error.
    virtual bool afterRewrite(FileIo&, bool /*dryRun*/) { return true; }
    // Makes what afterRewrite removed durable, before the mark goes; false
    // with errno set.
    virtual bool syncRemovals(FileIo&) { return true; }
    virtual void printSummary(FILE* out, long kept, long dropped) = 0;
    // The settings that judge the records, as one line for the mark, and
    // rules that judge by such a line, collecting what afterRewrite needs
    // but printing nothing; null when the line cannot be read.
    virtual void writeSettings(char* text, size_t size) const = 0;
    virtual std::unique_ptr<PurgeRules> fromSettings(const char* text) const = 0;
};
