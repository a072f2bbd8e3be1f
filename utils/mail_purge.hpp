// The purge of the mail directory dirmes.bin: records of status 'K' and
// records older than their limit are dropped, unless protected, and the
// message file of each dropped record is removed.
#pragma once

#include "date_cache.hpp"
#include "held_lines.hpp"
#include "purge_kind.hpp"
#include "purge_rules.hpp"
#include "purge_settings.hpp"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

// True when the record is dropped: status 'K', or older than the limit of
// its type ('P' private, anything else the B= limit), and not protected.
bool mailRecordDropped(const unsigned char* record, const PurgeSettings& settings, time_t now,
                       DateCache& dates);

// The message number as the node formats it: a signed 32-bit number.
long mailNumber(const unsigned char* record);

// "%sm%07ld.msg"; false when the path would not fit.
bool buildMessagePath(char* buffer, size_t size, const char* mailPath, long number);

// The number of a file name in the mail directory that "%sm%07ld.msg" makes
// of a message number, stem being the part of the mail prefix after its
// last slash; false for any other name.
bool messageFileNumber(const char* name, const char* stem, int32_t& number);

// The directory part of a mail prefix ("." without a slash), in which the
// message files lie; returns the part after it, with which their names begin.
const char* mailDirectory(const char* mailPath, char (&directory)[kPathSize]);

// The longest message path that a mail directory text can give, with its
// terminator: the number takes at most 11 characters ("-2147483648").
size_t longestMessagePath(const char* mailPath);

// --check's look at the mail directory beside the records (mail_check.cpp):
// message files that no record names, records whose message file is missing.
std::unique_ptr<KindFilesCheck> checkMessageFiles(FileIo& io, const PurgeSettings& settings,
                                                  const char* dataPath, Findings& findings);

// A line for each record dropped, and with verbose the line of the cut-off
// before them and one that tells each record and why it goes; the lines
// wait until printSummary.
class MailRules : public PurgeRules {
public:
    MailRules(const PurgeSettings& settings, const RulesOutput& output)
        : settings_(settings), output_(output)
    {
    }
    bool keep(const unsigned char* record, time_t now) override;
    void dropped(const unsigned char* record) override;
    void prepare(FileIo& io) override;
    bool afterRewrite(FileIo& io, bool dryRun) override;
    bool syncRemovals(FileIo& io) override;
    void printSummary(FILE* out, long kept, long dropped) override;
    void writeSettings(char* text, size_t size) const override;
    std::unique_ptr<PurgeRules> fromSettings(const char* text) const override;

private:
    void holdCutOff();
    void holdReason(const unsigned char* record);

    PurgeSettings settings_;
    RulesOutput output_;
    HeldLines lines_;
    DateCache dates_;
    time_t now_ = 0;  // of the records judged; the run has one
    bool judged_ = false;
    bool cutOffHeld_ = false;
    bool missing_ = false;  // no mail directory: no message file to remove
    // The numbers of the message files in the mail directory, sorted, when
    // it could be read: only the dropped ones among them are removed.
    bool listed_ = false;
    std::vector<int32_t> found_;
    std::vector<int32_t> removals_;
};
