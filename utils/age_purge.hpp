// The age purge, shared by every program of the age kind: every record older
// than a number of days is deleted.  Each program's row gives how a record's
// date is read and how it is shown.
#pragma once

#include "date_cache.hpp"
#include "held_lines.hpp"
#include "purge_programs.hpp"
#include "purge_rules.hpp"

#include <cstdio>
#include <ctime>
#include <memory>

// A record survives while its age is below the limit: an age of exactly the
// limit deletes it.
bool keptByAge(time_t recordDay, time_t now, int nDelDays);

// With verbose, the line of the cut-off and then a line for each dropped
// record, with the reason it goes, come before the closing line.
class AgeRules : public PurgeRules {
public:
    AgeRules(const PurgeProgram& program, int nDelDays, const RulesOutput& output)
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

    const PurgeProgram& program_;
    int nDelDays_;
    RulesOutput output_;
    HeldLines lines_;
    DateCache dates_;
    time_t now_ = 0;  // of the records judged; the run has one
    bool judged_ = false;
    bool cutOffHeld_ = false;
};
