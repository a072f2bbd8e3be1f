#include "age_purge.hpp"

#include "numbers.hpp"
#include "record_text.hpp"

#include <cerrno>
#include <cstring>

bool keptByAge(time_t recordDay, time_t now, int nDelDays)
{
    return ageOver(now, recordDay) < limitSeconds(nDelDays);
}

bool AgeRules::keep(const unsigned char* record, time_t now)
{
    now_ = now;
    judged_ = true;
    return keptByAge(program_.recordDay(record, dates_), now, nDelDays_);
}

void AgeRules::holdCutOff()
{
    char date[48];
    if (cutOffHeld_ || !judged_ || !oldestDateKept(now_, nDelDays_, false, date, sizeof date))
        return;
    cutOffHeld_ = true;
    lines_.add(output_.out, "Cut-off: records dated %s or later stay (D=%d)\n", date, nDelDays_);
}

void AgeRules::dropped(const unsigned char* record)
{
    if (!output_.verbose)
        return;
    holdCutOff();
    char line[256];
    program_.describe(record, line, sizeof line);
    char reason[80];
    ageReason(ageOver(now_, program_.recordDay(record, dates_)), "", nDelDays_, false, reason,
              sizeof reason);
    lines_.add(output_.out, "%s  (%s)\n", line, reason);
}

void AgeRules::printSummary(FILE* out, long kept, long dropped)
{
    if (output_.verbose)
        holdCutOff();
    if (!lines_.release(out))
        std::fprintf(output_.err, "%s: the lines of the deleted records were lost: %s\n",
                     output_.program, std::strerror(errno));
    std::fprintf(out, "%s completed : %ld %s left, %ld deleted.\n", program_.name, kept,
                 program_.countedAs, dropped);
}

void AgeRules::writeSettings(char* text, size_t size) const
{
    PurgeSettings settings;
    settings.nDelDays = nDelDays_;
    writeMarkSettings(kAgePurge.words, settings, text, size);
}

std::unique_ptr<PurgeRules> AgeRules::fromSettings(const char* text) const
{
    PurgeSettings settings;
    if (!readMarkSettings(kAgePurge.words, text, settings))
        return nullptr;
    return std::make_unique<AgeRules>(program_, settings.nDelDays, silenced(output_));
}

// --- the kind ----------------------------------------------------------------

namespace {

const OptionText kOptions[] = {
    {"D=days",
     "limit in days, a whole number (default 30; below 1 counts\n"
     "as 1): a record dated that many days before today or\n"
     "earlier is deleted, whatever its time of day (days of\n"
     "local standard time)",
     "The limit in days (default 30), a whole number; a limit below 1 counts as 1.\n"},
    {"P=directory",
     "directory of @DATA@ (default ../system/bin/)",
     "The directory of\n"
     ".B @DATA@\n"
     "(default\n"
     ".BR ../system/bin/ ,\n"
     "relative to the working directory).\n"
     "A closing slash is optional; an empty text means the root directory.\n"},
    {"V",
     "prints the version line; the purge still runs",
     "Prints the version line; the purge still runs.\n"},
};

constexpr StatusMeaning kStatuses[] = {
    {kRefusedAsRoot,
     "run as root, the data file's directory can be written by its group\n"
     "or by others; nothing was touched"},
};

bool pathsFit(const PurgeSettings&) { return true; }

void noteNothing(const char*, const PurgeSettings&, FILE*) {}

Identity actAsDataOwner(const char* program, const char* dataDirectory, const PurgeSettings&,
                        FILE* err)
{
    return actAsOwner(program, {dataDirectory}, err);
}

std::unique_ptr<PurgeRules> makeRules(const PurgeProgram& program, const PurgeSettings& settings,
                                      const RulesOutput& output)
{
    return std::make_unique<AgeRules>(program, settings.nDelDays, output);
}

constexpr LetterWord kLetters[] = {{'D', Setting::DelDays}, {'P', Setting::DataDirectory}};

}  // namespace

const PurgeKind kAgePurge = {
    .words = {kLetters, "D"},
    .usageIntro = "\n"
                  "Deletes from @DATA@ the @RECORDS@ older than a number of days, after copying\n"
                  "the file to @BACKUP@ beside it.\n"
                  "\n",
    .options = {kOptions, 15},
    .pathTooLong = "P= takes at most 1023 characters, and the path built from it at most 255",
    .statuses = kStatuses,
    .pathsFit = pathsFit,
    .noteSettings = noteNothing,
    .actAsOwner = actAsDataOwner,
    .openFailureNames = {"fBinFile 1", "fOldFile 1", "fBinOld 2", "fOldFile 2"},
    .makeRules = makeRules,
    .checkBeside = nullptr,
    .pageTemplate = "age-purge.8.in",
    .pageAfterRewrite = "",
    .pageMarkSettings = "",
    .pageCronOptions = " --quiet D=30",
    .pageCheckedToo = "",
    .pageCheckFaults = "",
};
