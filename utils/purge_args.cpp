#include "purge_args.hpp"

#include "owner_identity.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

bool startsWith(const char* argument, char letter)
{
    return std::toupper(static_cast<unsigned char>(argument[0])) == letter;
}

const char* optionValue(const char* argument, char letter)
{
    if (!startsWith(argument, letter) || argument[1] != '=')
        return nullptr;
    return argument + 2;
}

bool copyText(char* buffer, size_t size, const char* text)
{
    const size_t length = std::strlen(text);
    if (length >= size)
        return false;
    std::memcpy(buffer, text, length + 1);
    return true;
}

void noteIgnored(const CommandLine& line, const char* argument)
{
    std::fprintf(line.err, "%s: argument '%s' ignored\n", line.program, argument);
}

namespace {
// An optional sign, then digits, in the range of an int: "D=", "D= 7",
// "D=3O" or a directory given to the wrong letter are slips, not limits.
bool wholeNumber(const char* text, int& number)
{
    const char* digits = text + (text[0] == '-' || text[0] == '+');
    if (*digits == '\0')
        return false;
    for (const char* p = digits; *p != '\0'; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
    errno = 0;
    const long value = std::strtol(text, nullptr, 10);
    if (errno != 0 || value < INT_MIN || value > INT_MAX)
        return false;
    number = static_cast<int>(value);
    return true;
}
}  // namespace

bool readLimit(const CommandLine& line, const char* argument, const char* value, int& days)
{
    int number = 0;
    if (!wholeNumber(value, number)) {
        std::fprintf(line.err,
                     "%s: '%s' is not a limit in days (a whole number up to %d): nothing was "
                     "touched\n",
                     line.program, argument, INT_MAX);
        return false;
    }
    if (number < 1)
        std::fprintf(line.err, "%s: %s is below 1 day: 1 is used\n", line.program, argument);
    days = number < 1 ? 1 : number;
    return true;
}

bool isDashWord(const char* argument) { return argument[0] == '-'; }

namespace {

// The text after prefix, or null when argument does not begin with it.
const char* after(const char* argument, const char* prefix)
{
    const size_t length = std::strlen(prefix);
    return std::strncmp(argument, prefix, length) == 0 ? argument + length : nullptr;
}

// A week at most: a wait is for a run of the node's own tools.
bool readSeconds(const char* text, double& seconds)
{
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0 ||
        value > 7 * 86400.0)
        return false;
    seconds = value;
    return true;
}

}  // namespace

LongOptions readPurgeOptions(const char* program, int argc, char* argv[], PurgeOptions& options)
{
    const struct {
        const char* name;
        bool* flag;
    } flags[] = {{"--dry-run", &options.dryRun},
                 {"--quiet", &options.quiet},
                 {"--verbose", &options.verbose},
                 {"--without-lease", &options.waits.withoutLease}};
    LongOptions asked = LongOptions::Run;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (!isDashWord(argument))
            continue;
        bool known = false;
        for (const auto& flag : flags) {
            if (std::strcmp(argument, flag.name) == 0) {
                *flag.flag = true;
                known = true;
            }
        }
        const char* lease = after(argument, "--lease-wait=");
        const char* lock = after(argument, "--lock-wait=");
        if ((lease && !readSeconds(lease, options.waits.leaseSeconds)) ||
            (lock && !readSeconds(lock, options.waits.lockSeconds))) {
            std::fprintf(stderr, "%s: %s: a wait is a number of seconds, at most 604800\n",
                         program, argument);
            return LongOptions::Refused;
        }
        // --help wins over --version, wherever each stands.
        if (std::strcmp(argument, "--help") == 0)
            asked = LongOptions::Help;
        else if (std::strcmp(argument, "--version") == 0 && asked != LongOptions::Help)
            asked = LongOptions::Version;
        else if (!known && !lease && !lock) {
            std::fprintf(stderr, "%s: unknown option %s: nothing was touched\n", program, argument);
            return LongOptions::Refused;
        }
    }
    return asked;
}

int runPurgeProgram(const PurgeProgram& program, const char* versionLine, int argc, char* argv[],
                    const std::function<void(FILE*, bool whole)>& printUsage,
                    const std::function<int(const PurgeOptions&, FILE* out)>& purge)
{
    // Each line goes out whole before anything that follows it on standard
    // error, so that a cron mail shows them in the order they happened.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    PurgeOptions options;
    switch (readPurgeOptions(program.name, argc, argv, options)) {
    case LongOptions::Help:
        printUsage(stdout, true);
        return finishOutput(program.name, kPurged);
    case LongOptions::Version:
        std::fputs(versionLine, stdout);
        return finishOutput(program.name, kPurged);
    case LongOptions::Refused:
        printUsage(stderr, false);
        return finishOutput(program.name, kUsageError);
    case LongOptions::Run:
        break;
    }
    FILE* silent = options.quiet ? std::fopen("/dev/null", "w") : nullptr;
    FILE* out = silent ? silent : stdout;
    // First, so that no line that follows reads as a real run's.
    if (options.dryRun)
        std::fprintf(out, "%s: a dry run: nothing will be changed\n", program.name);
    const int status = purge(options, out);
    if (status == kUsageError)
        printUsage(stderr, false);
    if (silent && std::fclose(silent) != 0 && status == kPurged)
        std::fprintf(stderr, "%s: /dev/null: %s\n", program.name, std::strerror(errno));
    if (options.dryRun)
        std::fprintf(stderr, "%s: a dry run: nothing was changed\n", program.name);
    return finishOutput(program.name, status);
}

namespace {
time_t currentTime() { return time(nullptr); }
}  // namespace

int runEngine(const PurgeProgram& program, const PurgePaths& paths, const char* mailDirectory,
              PurgeRules& rules, const PurgeOptions& options, FILE* out)
{
    // A dry run switches too: it must not read as root what the owner could not.
    const Identity identity =
        mailDirectory ? actAsOwner(program.name, {paths.szDirectory, mailDirectory}, stderr)
                      : actAsOwner(program.name, {paths.szDirectory}, stderr);
    if (identity == Identity::Refused)
        return kRefusedAsRoot;
    // The directory's error is the data file's: its open would fail alike.
    if (identity == Identity::Missing)
        return reportFailedOpen(stderr, program.name, program.openDataFailure, paths.szBin,
                                kCannotOpenData);
    FileIo io;
    const PurgeContext context = {io, out, stderr, currentTime, options.dryRun, options.waits};
    return runPurge(program, paths, rules, context);
}

RulesOutput rulesOutput(const PurgeProgram& program, const PurgeOptions& options, FILE* out)
{
    return {program.name, out, stderr, options.quiet, options.verbose && !options.quiet};
}

void printPurgeUsageTail(FILE* out, const PurgeProgram& program, const char* ownStatuses)
{
    const char* dataFileName = program.dataFileName;
    char stem[64];
    std::snprintf(stem, sizeof stem, "%.*s", static_cast<int>(std::strlen(dataFileName) - 4),
                  dataFileName);
    std::fprintf(out,
                 "  --dry-run             says first that nothing will be changed, then prints\n"
                 "                        what a run would print, checks what it would need,\n"
                 "                        and changes nothing\n"
                 "  --quiet               prints nothing on standard output; failures are\n"
                 "                        reported on standard error as always\n"
                 "  --verbose             a line for each record deleted: its date, the fields\n"
                 "                        that tell it and why it goes (its age against the\n"
                 "                        limit, or status K), after a line that gives the\n"
                 "                        oldest date that stays\n"
                 "  --lease-wait=SECONDS  waits that long at most for the node server to\n"
                 "                        close the data file (default 5); kept open\n"
                 "                        longer, the file stops the purge\n"
                 "  --without-lease       then purges all the same: a record that the node\n"
                 "                        appends between the last copy and the truncation\n"
                 "                        is lost, and a reader may see the file while it\n"
                 "                        is rewritten\n"
                 "  --lock-wait=SECONDS   waits that long at most for another purge of the\n"
                 "                        same directory to end (default 600)\n"
                 "  --help, --version     print this text, or the version line, and exit\n"
                 "The letter options are told by their first letter, in either case; other\n"
                 "words are ignored, with a note on standard error.  A word that begins with\n"
                 "a dash and is not one of the options above is refused, and so is a limit\n"
                 "that is not a whole number (an optional sign, then digits); a limit below\n"
                 "1 counts as 1, with a note.\n"
                 "\n"
                 "Files:\n"
                 "  %-16s the data file, rewritten in place\n"
                 "  %-16s the backup, made durable before the data file is truncated\n"
                 "  %s%-*s the mark of a rewrite under way\n"
                 "Beside a running node server: a purge locks the directory, so that two\n"
                 "purges of it never run together, and takes a lease on the data file, under\n"
                 "which the node's open() of the file waits while it is rewritten; records that\n"
                 "the node appends meanwhile are kept.  The lease needs the file's owner (or\n"
                 "CAP_LEASE) and a local file system; where it is refused, the purge says so\n"
                 "and goes on without it.  A run stopped midway leaves the mark: the next run\n"
                 "completes the rewrite from the backup, keeping what the node appended since,\n"
                 "says so, and then purges as usual.  SIGINT, SIGTERM and SIGHUP are held off\n"
                 "while the data file is rewritten.\n"
                 "Run as root, a purge works as the owner of the data file's directory before\n"
                 "it opens anything (a dry run too), so that what it creates belongs to that\n"
                 "user; a directory that root owns keeps it root.  It refuses a directory that\n"
                 "its group or others can write.\n"
                 "\n"
                 "Exit status:\n"
                 "  0  the purge is complete\n"
                 "  1  the data file cannot be opened for reading, or is not a regular file;\n"
                 "     nothing was changed\n"
                 "  2  the backup cannot be created, or opened again for reading, or is a\n"
                 "     link or not a regular file; the data file is unchanged\n"
                 "  3  the data file cannot be opened for writing; it is unchanged\n"
                 "  4  a directory, or a path built from it, is too long; nothing was touched\n"
                 "  5  a step failed before the data file was truncated; it is unchanged\n"
                 "  6  a step failed after the truncation; the kept records were written again\n"
                 "     from the backup, and the purge is complete\n"
                 "  7  a step failed after the truncation and writing again failed too, or the\n"
                 "     mark could not be removed: the mark stays, and the next run completes\n"
                 "     the rewrite from the backup first\n"
                 "  8  the mark of an interrupted run was found, and the rewrite could not be\n"
                 "     completed, or the mark cannot be read (torn, not a regular file, not\n"
                 "     one these tools write) or its lengths cannot be; nothing else was done\n"
                 "  9  standard output could not be written\n"
                 " 10  the data file was kept open by another process for the whole lease wait;\n"
                 "     it is unchanged\n"
                 " 11  another purge of the directory held its lock for the whole lock wait;\n"
                 "     nothing was touched\n"
                 " 12  a word that begins with a dash is unknown, or its value is not valid, or\n"
                 "     a limit is not a whole number; nothing was touched\n"
                 "%s",
                 dataFileName, program.backupFileName, stem,
                 static_cast<int>(16 - std::strlen(stem)), kMarkSuffix, ownStatuses);
}

int finishOutput(const char* program, int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || std::fclose(stdout) != 0) {
        std::fprintf(stderr, "%s: standard output: %s\n", program, std::strerror(errno));
        if (status == kPurged)
            return kOutputFailed;
    }
    return status;
}
