// A kind of purge: the purge of the mail directory, with its message files
// (mail_purge), or the age purge of a record file (age_purge).  Each kind is
// one object that supplies all that differs between the kinds, so that the
// generic layers (the entry, the command line, the usage text, the statuses
// and the manual page) ask it, never which kind it is.
#pragma once

#include "owner_identity.hpp"
#include "purge_options.hpp"
#include "purge_settings.hpp"
#include "purge_status.hpp"

#include <cstdio>
#include <memory>
#include <span>

struct PurgeProgram;
struct RulesOutput;
class PurgeRules;
class FileIo;
class Findings;
class KindFilesCheck;

// Which open of a run failed.
enum class OpenStep { Data, Backup, DataForWriting, BackupForReading };

struct PurgeKind {
    LetterWords words;

    // The texts: what the usage text says of the purge before its options
    // (with the names of withNames, purge_usage.hpp), its letter options, the end of the
    // line that refuses a path too long, and the statuses that only this
    // kind gives, after those of every purge.
    const char* usageIntro;
    OptionTexts options;
    const char* pathTooLong;
    std::span<const StatusMeaning> statuses;

    // The paths: whether those that the settings make fit, what a run says
    // of them before it starts, and the directories whose owner it acts as
    // when started by root (the data file's first).
    bool (*pathsFit)(const PurgeSettings& settings);
    void (*noteSettings)(const char* program, const PurgeSettings& settings, FILE* err);
    Identity (*actAsOwner)(const char* program, const char* dataDirectory,
                           const PurgeSettings& settings, FILE* err);

    // The words with which a failed open is told ("MIRKOS -> fopen in MAIN
    // (fBinFile 1)"), by OpenStep; null for an open that the kind never
    // makes.  A kind that reopens its backup reads it back through a
    // descriptor of its own.
    const char* openFailureNames[4];

    // The rules that judge the records, from the settings.
    std::unique_ptr<PurgeRules> (*makeRules)(const PurgeProgram& program,
                                             const PurgeSettings& settings,
                                             const RulesOutput& output);

    // What --check reads beside the records of the data file, telling its
    // faults to findings (purge_check.hpp); null for a kind that reads
    // nothing more.
    std::unique_ptr<KindFilesCheck> (*checkBeside)(FileIo& io, const PurgeSettings& settings,
                                                   const char* dataPath, Findings& findings);

    // The manual page: its template in man/, and the words that its shared
    // parts take (see man/purge-common.8.in).
    const char* pageTemplate;
    const char* pageAfterRewrite;   // @AFTER@
    const char* pageMarkSettings;   // @MARKNOTE@
    const char* pageCronOptions;    // @CRON@, after the program's name
    const char* pageCheckedToo;     // @CHECKALSO@: what --check reads beside the mark
    const char* pageCheckFaults;    // @CHECKFAULTS@: the faults it finds there
};

// The two kinds, made in mail_purge.cpp and age_purge.cpp.
extern const PurgeKind kMailPurge;
extern const PurgeKind kAgePurge;

inline const char* openFailureName(const PurgeKind& kind, OpenStep step)
{
    return kind.openFailureNames[static_cast<int>(step)];
}
