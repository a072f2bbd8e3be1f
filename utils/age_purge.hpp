// The age purge that VOSKIL, TRABEN and MIRKOS share: every record older
// than a number of days is deleted.  Each program supplies only its values.
#pragma once

#include "date_cache.hpp"
#include "held_lines.hpp"
#include "purge_args.hpp"
#include "purge_engine.hpp"

#include <cstdio>
#include <ctime>
#include <memory>

struct AgeProgram {
    PurgeProgram files;
    const char* versionLine;     // "VOSKIL v 1.0\n"
    const char* summaryFormat;   // the closing line, with the counts left and deleted
    const char* recordsName;     // "announcements", for the usage text
    // Calendar time of the start of the record's date.
    time_t (*recordDay)(const unsigned char* record, DateCache& dates);
    // The line that --verbose shows of a dropped record: its date and the
    // fields that tell it, without the line end.
    void (*describe)(const unsigned char* record, char* line, size_t size);
};

struct AgeSettings {
    int nDelDays = 30;
    char szBinPath[kDirectorySize] = "../system/bin/";
};

// Reads D= (the limit in days), P= (the directory) and V; a V prints the
// version line at once, and what fits no option is noted.  A limit that is
// not a whole number is refused; a directory that does not fit is told by
// PathTooLong.
LetterOptions parseAgeArguments(int argc, char* argv[], AgeSettings& settings,
                                const CommandLine& line);

// A record survives while its age is below the limit: an age of exactly the
// limit deletes it.
bool keptByAge(time_t recordDay, time_t now, int nDelDays);

// With verbose, the line of the cut-off and then a line for each dropped
// record, with the reason it goes, come before the closing line.
class AgeRules : public PurgeRules {
public:
    AgeRules(const AgeProgram& program, int nDelDays, const RulesOutput& output)
        : program_(program), nDelDays_(nDelDays), output_(output)
    {
    }
    bool keep(const unsigned char* record, time_t now) override;
    void dropped(const unsigned char* record) override;
    void printSummary(FILE* out, long kept, long dropped) override;
    void writeSettings(char* text, size_t size) const override;
    std::unique_ptr<PurgeRules> fromSettings(const char* text) const override;

private:
    void holdCutOff();

    const AgeProgram& program_;
    int nDelDays_;
    RulesOutput output_;
    HeldLines lines_;
    DateCache dates_;
    time_t now_ = 0;  // of the records judged; the run has one
    bool judged_ = false;
    bool cutOffHeld_ = false;
};

// The whole program: arguments, paths, purge, and the checked end.
int runAgePurge(const AgeProgram& program, int argc, char* argv[]);
