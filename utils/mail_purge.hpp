// The purge of the mail directory dirmes.bin: records of status 'K' and
// records older than their limit are dropped, unless protected, and the
// message file of each dropped record is removed.
#pragma once

#include "date_cache.hpp"
#include "held_lines.hpp"
#include "purge_args.hpp"
#include "purge_engine.hpp"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <memory>
#include <vector>

struct MailSettings {
    int nBullDelete = 30;
    int nPrivDelete = 30;
    char szBinPath[kDirectorySize] = "../system/bin/";
    char szMailPath[kPathSize] = "../mail/";
};

enum class MailArguments { Run, PathTooLong };

// Reads the options B=, P=, D=, M= and V; a V prints the version line at
// once, and what fits no option is noted, as is a mail prefix without its
// closing slash.
MailArguments parseMailArguments(int argc, char* argv[], MailSettings& settings,
                                 const CommandLine& line);

// True when the record is dropped: status 'K', or older than the limit of
// its type ('P' private, anything else the B= limit), and not protected.
bool mailRecordDropped(const unsigned char* record, const MailSettings& settings, time_t now,
                       DateCache& dates);

// The message number as the node formats it: a signed 32-bit number.
long mailNumber(const unsigned char* record);

// "%sm%07ld.msg"; false when the path would not fit.
bool buildMessagePath(char* buffer, size_t size, const char* mailPath, long number);

// The number of a file name in the mail directory that "%sm%07ld.msg" makes
// of a message number, stem being the part of the mail prefix after its
// last slash; false for any other name.
bool messageFileNumber(const char* name, const char* stem, int32_t& number);

// The longest message path that a mail directory text can give, with its
// terminator: the number takes at most 11 characters ("-2147483648").
size_t longestMessagePath(const char* mailPath);

// out receives a line for each record dropped, and with verbose a line
// that tells the record; null prints nothing.  The lines wait until
// printSummary.
class MailRules : public PurgeRules {
public:
    MailRules(const MailSettings& settings, FILE* out, bool verbose = false)
        : settings_(settings), out_(out), verbose_(verbose)
    {
    }
    bool keep(const unsigned char* record, time_t now) override;
    void dropped(const unsigned char* record) override;
    void prepare(FileIo& io) override;
    bool afterRewrite(FileIo& io, bool dryRun) override;
    void printSummary(FILE* out, long kept, long dropped) override;
    void writeSettings(char* text, size_t size) const override;
    std::unique_ptr<PurgeRules> fromSettings(const char* text) const override;

private:
    const char* mailDirectory(char (&directory)[kPathSize]) const;

    MailSettings settings_;
    FILE* out_;
    bool verbose_;
    HeldLines lines_;
    DateCache dates_;
    // The numbers of the message files in the mail directory, sorted, when
    // it could be read: only the dropped ones among them are removed.
    bool listed_ = false;
    std::vector<int32_t> found_;
    std::vector<int32_t> removals_;
};
