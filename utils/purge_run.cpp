#include "purge_run.hpp"

#include "age_purge.hpp"
#include "mail_purge.hpp"
#include "owner_identity.hpp"
#include "purge_check.hpp"
#include "purge_command_line.hpp"
#include "purge_engine.hpp"
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

// A mail prefix is used as given: one without its closing slash is named,
// with the file it gives.
void noteMailPrefix(const PurgeProgram& program, const PurgeSettings& settings, FILE* err)
{
    const size_t length = std::strlen(settings.szMailPath);
    char example[kPathSize];
    if ((length == 0 || settings.szMailPath[length - 1] != '/') &&
        longestMessagePath(settings.szMailPath) <= kPathSize &&
        buildMessagePath(example, sizeof example, settings.szMailPath, 42))
        std::fprintf(err, "%s: M=%s does not end with a slash: it is used as given, so the file of "
                          "message 42 is %s\n", program.name, settings.szMailPath, example);
}

bool buildPaths(const PurgeProgram& program, const PurgeCommand& command, PurgePaths& paths)
{
    const PurgeSettings& settings = command.settings;
    const ProgramFileName data = programFile(program, ".bin");
    return command.letters == PurgeCommand::Letters::Run &&
           buildPurgePaths(settings.szBinPath, data.text, paths) &&
           (program.kind != PurgeKind::Mail || longestMessagePath(settings.szMailPath) <= kPathSize);
}

int reportPathTooLong(const PurgeProgram& program, FILE* err)
{
    if (program.kind == PurgeKind::Mail)
        std::fprintf(err, "%s: path too long: D= takes at most 1023 characters, M= and every path "
                          "built from them at most 255\n", program.name);
    else
        std::fprintf(err, "%s: path too long: P= takes at most 1023 characters, and the path built "
                          "from it at most 255\n", program.name);
    return kPathTooLong;
}

std::unique_ptr<PurgeRules> makeRules(const PurgeProgram& program, const PurgeCommand& command,
                                      FILE* out, FILE* err)
{
    const RulesOutput output = {program.name, out, err, command.quiet,
                                command.verbose && !command.quiet};
    if (program.kind == PurgeKind::Mail)
        return std::make_unique<MailRules>(command.settings, output);
    return std::make_unique<AgeRules>(program, command.settings.nDelDays, output);
}

// A dry run switches too: it must not read as root what the owner could not.
// KELDRAN's mail directory must have the owner of the data file's.
int purge(const PurgeProgram& program, const PurgeCommand& command, FILE* out,
          const PurgeSystem& system)
{
    tellLetterNotes(program, command, out, system.err);
    if (command.letters == PurgeCommand::Letters::Refused)
        return kUsageError;
    if (command.letters == PurgeCommand::Letters::Run && program.kind == PurgeKind::Mail)
        noteMailPrefix(program, command.settings, system.err);
    PurgePaths paths;
    if (!buildPaths(program, command, paths))
        return reportPathTooLong(program, system.err);
    char mailDirectoryPath[kPathSize];
    mailDirectory(command.settings.szMailPath, mailDirectoryPath);
    const Identity identity =
        program.kind == PurgeKind::Mail
            ? actAsOwner(program.name, {paths.szDirectory, mailDirectoryPath}, system.err)
            : actAsOwner(program.name, {paths.szDirectory}, system.err);
    if (identity == Identity::Refused)
        return kRefusedAsRoot;
    // The directory's error is the data file's: its open would fail alike.
    if (identity == Identity::Missing)
        return reportFailedOpen(system.err, program, OpenStep::Data, paths.szBin, kCannotOpenData);
    if (command.check)
        return runCheck(program, paths, command.settings,
                        {system.io, out, system.err, system.clock(), command.verbose,
                         command.waits.lockSeconds});
    const std::unique_ptr<PurgeRules> rules = makeRules(program, command, out, system.err);
    const PurgeContext context = {system.io, out,           system.err,
                                  system.clock, command.dryRun, command.waits};
    return runPurge(program, paths, *rules, context);
}

time_t currentTime() { return time(nullptr); }

}  // namespace

int runPurgeProgram(const PurgeProgram& program, int argc, char* argv[], const PurgeSystem& system)
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
    const int status = purge(program, command, out, system);
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
    const int status = runPurgeProgram(program, argc, argv, {io, currentTime, stdout, stderr});
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || std::fclose(stdout) != 0) {
        std::fprintf(stderr, "%s: standard output: %s\n", program.name, std::strerror(errno));
        if (status == kPurged)
            return kOutputFailed;
    }
    return status;
}
