#include "age_purge.hpp"

#include "numbers.hpp"
#include "record_text.hpp"

#include <cerrno>
#include <cstring>

LetterOptions parseAgeArguments(int argc, char* argv[], AgeSettings& settings,
                                const CommandLine& line)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (isDashWord(argument))
            continue;
        if (const char* days = optionValue(argument, 'D')) {
            if (!readLimit(line, argument, days, settings.nDelDays))
                return LetterOptions::Refused;
        } else if (const char* directory = optionValue(argument, 'P')) {
            if (!copyText(settings.szBinPath, sizeof settings.szBinPath, directory))
                return LetterOptions::PathTooLong;
        } else if (startsWith(argument, 'V')) {
            std::fputs(line.versionLine, line.out);
        } else {
            noteIgnored(line, argument);
        }
    }
    return LetterOptions::Run;
}

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
    std::fprintf(out, program_.summaryFormat, kept, dropped);
}

void AgeRules::writeSettings(char* text, size_t size) const
{
    std::snprintf(text, size, "D=%d", nDelDays_);
}

std::unique_ptr<PurgeRules> AgeRules::fromSettings(const char* text) const
{
    int days = 0;
    if (std::sscanf(text, "D=%d", &days) != 1)
        return nullptr;
    return std::make_unique<AgeRules>(program_, days, silenced(output_));
}

namespace {

void printUsage(const AgeProgram& program, FILE* out, bool whole)
{
    const PurgeProgram& files = program.files;
    std::fprintf(out,
                 "usage: %s [D=days] [P=directory] [V] [--dry-run] [--quiet] [--verbose]\n"
                 "              [--lease-wait=SECONDS] [--without-lease] [--lock-wait=SECONDS]\n"
                 "       %s --help | --version\n",
                 files.name, files.name);
    if (!whole)
        return;
    std::fprintf(out,
                 "\n"
                 "Deletes from %s the %s older than a number of days, after copying\n"
                 "the file to %s beside it.\n"
                 "\n"
                 "  D=days       limit in days, a whole number (default 30; below 1 counts\n"
                 "               as 1): a record dated that many days before today or\n"
                 "               earlier is deleted, whatever its time of day (days of\n"
                 "               local standard time)\n"
                 "  P=directory  directory of %s (default ../system/bin/)\n"
                 "  V            prints the version line; the purge still runs\n",
                 files.dataFileName, program.recordsName, files.backupFileName, files.dataFileName);
    printPurgeUsageTail(out, files,
                        " 14  run as root, the data file's directory can be written by its group\n"
                        "     or by others; nothing was touched\n");
}

int purge(const AgeProgram& program, int argc, char* argv[], const PurgeOptions& options,
          FILE* out)
{
    AgeSettings settings;
    PurgePaths paths;
    const CommandLine line = {program.files.name, program.versionLine, out, stderr};
    const LetterOptions read = parseAgeArguments(argc, argv, settings, line);
    if (read == LetterOptions::Refused)
        return kUsageError;
    if (read == LetterOptions::PathTooLong ||
        !buildPurgePaths(settings.szBinPath, program.files.dataFileName, paths)) {
        std::fprintf(stderr,
                     "%s: path too long: P= takes at most 1023 characters, and the path "
                     "built from it at most 255\n",
                     program.files.name);
        return kPathTooLong;
    }
    AgeRules rules(program, settings.nDelDays, rulesOutput(program.files, options, out));
    return runEngine(program.files, paths, nullptr, rules, options, out);
}

}  // namespace

int runAgePurge(const AgeProgram& program, int argc, char* argv[])
{
    return runPurgeProgram(
        program.files, program.versionLine, argc, argv,
        [&](FILE* out, bool whole) { printUsage(program, out, whole); },
        [&](const PurgeOptions& options, FILE* out) {
            return purge(program, argc, argv, options, out);
        });
}
