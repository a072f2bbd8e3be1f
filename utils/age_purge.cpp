#include "age_purge.hpp"

#include "numbers.hpp"

#include <cerrno>
#include <cstring>

bool parseAgeArguments(int argc, char* argv[], AgeSettings& settings, const CommandLine& line)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (isLongOption(argument))
            continue;
        if (const char* days = optionValue(argument, 'D')) {
            settings.nDelDays = readDaysNoted(line, argument, days);
        } else if (const char* directory = optionValue(argument, 'P')) {
            if (!copyText(settings.szBinPath, sizeof settings.szBinPath, directory))
                return false;
        } else if (startsWith(argument, 'V')) {
            std::fputs(line.versionLine, line.out);
        } else {
            noteIgnored(line, argument);
        }
    }
    settings.nDelDays = atLeastOneDay(settings.nDelDays);
    return true;
}

bool keptByAge(time_t recordDay, time_t now, int nDelDays)
{
    return ageOver(now, recordDay) < limitSeconds(nDelDays);
}

bool AgeRules::keep(const unsigned char* record, time_t now)
{
    return keptByAge(program_.recordDay(record, dates_), now, nDelDays_);
}

void AgeRules::dropped(const unsigned char* record)
{
    if (!verbose_)
        return;
    char line[256];
    program_.describe(record, line, sizeof line);
    lines_.add(verbose_, "%s\n", line);
}

void AgeRules::printSummary(FILE* out, long kept, long dropped)
{
    if (!lines_.release(out))
        std::fprintf(stderr, "%s: the lines of the deleted records were lost: %s\n",
                     program_.files.name, std::strerror(errno));
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
    return std::make_unique<AgeRules>(program_, days, nullptr);
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
                 "  D=days       limit in days (default 30; below 1 counts as 1): a record\n"
                 "               dated that many days before today or earlier is deleted,\n"
                 "               whatever its time of day (days of local standard time)\n"
                 "  P=directory  directory of %s (default ../system/bin/)\n"
                 "  V            prints the version line; the purge still runs\n",
                 files.dataFileName, program.recordsName, files.backupFileName, files.dataFileName);
    printPurgeUsageTail(out, files.dataFileName, files.backupFileName);
}

time_t currentTime() { return time(nullptr); }

int purge(const AgeProgram& program, int argc, char* argv[], const PurgeOptions& options,
          FILE* out)
{
    AgeSettings settings;
    PurgePaths paths;
    const CommandLine line = {program.files.name, program.versionLine, out, stderr};
    if (!parseAgeArguments(argc, argv, settings, line) ||
        !buildPurgePaths(settings.szBinPath, program.files.dataFileName, paths)) {
        std::fprintf(stderr,
                     "%s: path too long: P= takes at most 1023 characters, and the path "
                     "built from it at most 255\n",
                     program.files.name);
        return kPathTooLong;
    }
    FileIo io;
    AgeRules rules(program, settings.nDelDays, options.verbose && !options.quiet ? out : nullptr);
    const PurgeContext context = {io, out, stderr, currentTime, options.dryRun, options.waits};
    return runPurge(program.files, paths, rules, context);
}

}  // namespace

int runAgePurge(const AgeProgram& program, int argc, char* argv[])
{
    return runPurgeProgram(
        program.files.name, program.versionLine, argc, argv,
        [&](FILE* out, bool whole) { printUsage(program, out, whole); },
        [&](const PurgeOptions& options, FILE* out) {
            return purge(program, argc, argv, options, out);
        });
}
