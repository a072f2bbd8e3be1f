#include "purge_run.hpp"

#include "held_lines.hpp"
#include "purge_check.hpp"
#include "purge_command_line.hpp"
#include "purge_engine.hpp"
#include "purge_reports.hpp"
#include "purge_usage.hpp"

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

namespace {

void tellDashRefusal(const PurgeProgram& program, const PurgeCommand& command, FILE* err)
{
    if (command.refusedWait)
        std::fprintf(err, "%s: %s: a wait is a number of seconds, at most 604800\n", program.name,
                     command.refusedWord);
    else
        std::fprintf(err, "%s: unknown option %s: nothing was touched\n", program.name,
                     command.refusedWord);
}

// In the order of the words: the version line of each V on out, the notes on err.
void tellLetterNotes(const PurgeProgram& program, const PurgeCommand& command, FILE* out, FILE* err)
{
    for (const LetterNote& note : command.notes) {
        switch (note.kind) {
        case LetterNote::Version:
            printVersionLine(program, out);
            break;
        case LetterNote::Ignored:
            std::fprintf(err, "%s: argument '%s' ignored\n", program.name, note.word);
            break;
        case LetterNote::BelowOne:
            std::fprintf(err, "%s: %s is below 1 day: 1 is used\n", program.name, note.word);
            break;
        case LetterNote::NotALimit:
            std::fprintf(err, "%s: '%s' is not a limit in days (a whole number up to %d): nothing "
                              "was touched\n", program.name, note.word, INT_MAX);
            break;
        }
    }
}

bool buildPaths(const PurgeProgram& program, const PurgeCommand& command, PurgePaths& paths)
{
    const ProgramFileName data = programFile(program, ".bin");
    return command.letters == LettersRead::Run &&
           buildPurgePaths(command.settings.szBinPath, data.text, paths) &&
           program.kind.pathsFit(command.settings);
}

int reportPathTooLong(const PurgeProgram& program, FILE* err)
{
    std::fprintf(err, "%s: path too long: %s\n", program.name, program.kind.pathTooLong);
    return kPathTooLong;
}

// Started by root, the run first takes the identity of the owner of the
// directories that its kind names.  A dry run switches too: it must not read
// as root what the owner could not.
int purgeAsOwner(const PurgeProgram& program, const PurgeCommand& command, FILE* out,
                 const PurgeSystem& system)
{
    tellLetterNotes(program, command, out, system.err);
    if (command.letters == LettersRead::Refused)
        return kUsageError;
    const PurgeKind& kind = program.kind;
    if (command.letters == LettersRead::Run)
        kind.noteSettings(program.name, command.settings, system.err);
    PurgePaths paths;
    if (!buildPaths(program, command, paths))
        return reportPathTooLong(program, system.err);
    const Identity identity =
        kind.actAsOwner(program.name, paths.szDirectory, command.settings, system.err);
    if (identity == Identity::Refused)
        return kRefusedAsRoot;
    // The directory's error is the data file's: its open would fail alike.
    if (identity == Identity::Missing)
        return reportFailedOpen(system.err, program, OpenStep::Data, paths.szBin, kCannotOpenData);
    if (command.check)
        return runCheck(program, paths, command.settings,
                        {system.io, out, system.err, system.clock(), command.verbose,
                         command.waits.lockSeconds});
    const RulesOutput output = {program.name, out, system.err, command.quiet,
                                command.verbose && !command.quiet};
    const std::unique_ptr<PurgeRules> rules = kind.makeRules(program, command.settings, output);
    const PurgeContext context = {system.io, out,           system.err,
                                  system.clock, command.dryRun, command.waits};
    return purgeDataFile(program, paths, *rules, context);
}

time_t currentTime() { return time(nullptr); }

}  // namespace

int answerCommandLine(const PurgeProgram& program, int argc, char* argv[], const PurgeSystem& system)
{
    const PurgeCommand command = readCommandLine(program.kind, argc, argv);
    switch (command.asked) {
    case PurgeCommand::Asked::Help:
        printUsage(program, system.out, true);
        return kPurged;
    case PurgeCommand::Asked::Version:
        printVersionLine(program, system.out);
        return kPurged;
    case PurgeCommand::Asked::Refused:
        tellDashRefusal(program, command, system.err);
        printUsage(program, system.err, false);
        return kUsageError;
    case PurgeCommand::Asked::Run:
        break;
    }
    FILE* silent = command.quiet ? std::fopen("/dev/null", "w") : nullptr;
    FILE* out = silent ? silent : system.out;
    // A check changes nothing whatever it is asked: it is no dry run.
    const bool dryRun = command.dryRun && !command.check;
    // First, so that no line that follows reads as a real run's.
    if (dryRun)
        std::fprintf(out, "%s: a dry run: nothing will be changed\n", program.name);
    const int status = purgeAsOwner(program, command, out, system);
    if (status == kUsageError)
        printUsage(program, system.err, false);
    if (silent && std::fclose(silent) != 0 && status == kPurged)
        std::fprintf(system.err, "%s: /dev/null: %s\n", program.name, std::strerror(errno));
    if (dryRun)
        std::fprintf(system.err, "%s: a dry run: nothing was changed\n", program.name);
    return status;
}

int purgeMain(const PurgeProgram& program, int argc, char* argv[])
{
    // Each line goes out whole before anything that follows it on standard
    // error, so that a cron mail shows them in the order they happened.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    FileIo io;
    const int status = answerCommandLine(program, argc, argv, {io, currentTime, stdout, stderr});
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || std::fclose(stdout) != 0) {
        std::fprintf(stderr, "%s: standard output: %s\n", program.name, std::strerror(errno));
        if (status == kPurged)
            return kOutputFailed;
    }
    return status;
}
