#include "age_purge.hpp"

#include "purge_args.hpp"

#include <cstring>

bool parseAgeArguments(int argc, char* argv[], AgeSettings& settings, const char* versionLine,
                       FILE* out)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (const char* days = optionValue(argument, 'D')) {
            settings.nDelDays = readDays(days);
        } else if (const char* directory = optionValue(argument, 'P')) {
            if (!copyText(settings.szBinPath, sizeof settings.szBinPath, directory))
                return false;
        } else if (startsWith(argument, 'V')) {
            std::fputs(versionLine, out);
        }
    }
    settings.nDelDays = atLeastOneDay(settings.nDelDays);
    return true;
}

bool keptByAge(time_t recordDay, time_t now, int nDelDays)
{
    return difftime(now, recordDay) < nDelDays * 86400.0;
}

bool AgeRules::keep(const unsigned char* record, time_t now)
{
    return keptByAge(program_.recordDay(record, dates_), now, nDelDays_);
}

void AgeRules::printSummary(FILE* out, long kept, long dropped)
{
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
    return std::make_unique<AgeRules>(program_, days);
}

namespace {

void printUsage(const AgeProgram& program)
{
    const PurgeProgram& files = program.files;
    std::printf("usage: %s [D=days] [P=directory] [V] [--dry-run]\n"
                "              [--lease-wait=SECONDS] [--without-lease] [--lock-wait=SECONDS]\n"
                "       %s --help\n"
                "\n"
                "Deletes from %s the %s older than a number of days, after copying\n"
                "the file to %s beside it.\n"
                "\n"
                "  D=days       limit in days (default 30; below 1 counts as 1): a record\n"
                "               dated that many days before today or earlier is deleted,\n"
                "               whatever its time of day (days of local standard time)\n"
                "  P=directory  directory of %s (default ../system/bin/)\n"
                "  V            prints the version line; the purge still runs\n"
                "  --dry-run    prints what a run would print; creates, changes and removes\n"
                "               nothing\n"
                "  --help       prints this text\n",
                files.name, files.name, files.dataFileName, program.recordsName,
                files.backupFileName, files.dataFileName);
    printPurgeUsageTail(stdout, files.dataFileName, files.backupFileName);
}

time_t currentTime() { return time(nullptr); }

int purge(const AgeProgram& program, int argc, char* argv[])
{
    AgeSettings settings;
    PurgePaths paths;
    if (!parseAgeArguments(argc, argv, settings, program.versionLine, stdout) ||
        !buildPurgePaths(settings.szBinPath, program.files.dataFileName, paths)) {
        std::fprintf(stderr,
                     "%s -> path too long: P= takes at most 1023 characters, and the path "
                     "built from it at most 255\n",
                     program.files.name);
        return kPathTooLong;
    }
    PurgeOptions options;
    if (!readPurgeOptions(program.files.name, argc, argv, options))
        return kUsageError;
    FileIo io;
    AgeRules rules(program, settings.nDelDays);
    const PurgeContext context = {io, stdout, stderr, currentTime, options.dryRun, options.waits};
    return runPurge(program.files, paths, rules, context);
}

}  // namespace

int runAgePurge(const AgeProgram& program, int argc, char* argv[])
{
    if (hasArgument(argc, argv, "--help")) {
        printUsage(program);
        return finishOutput(program.files.name, kPurged);
    }
    return finishOutput(program.files.name, purge(program, argc, argv));
}
