#include "purge_command_line.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

// The text after prefix, or null when word does not begin with it.
const char* after(const char* word, const char* prefix)
{
    const size_t length = std::strlen(prefix);
    return std::strncmp(word, prefix, length) == 0 ? word + length : nullptr;
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

// --help wins over --version wherever each stands, and a refused word over both.
void readDashWord(const char* word, PurgeCommand& command)
{
    const struct {
        const char* name;
        bool PurgeCommand::*flag;
    } flags[] = {{"--dry-run", &PurgeCommand::dryRun},
                 {"--quiet", &PurgeCommand::quiet},
                 {"--verbose", &PurgeCommand::verbose},
                 {"--check", &PurgeCommand::check}};
    for (const auto& flag : flags) {
        if (std::strcmp(word, flag.name) == 0) {
            command.*flag.flag = true;
            return;
        }
    }
    if (std::strcmp(word, "--without-lease") == 0) {
        command.waits.withoutLease = true;
        return;
    }
    const char* lease = after(word, "--lease-wait=");
    const char* lock = after(word, "--lock-wait=");
    if (lease || lock) {
        if (!readSeconds(lease ? lease : lock,
                         lease ? command.waits.leaseSeconds : command.waits.lockSeconds)) {
            command.asked = PurgeCommand::Asked::Refused;
            command.refusedWord = word;
            command.refusedWait = true;
        }
        return;
    }
    if (std::strcmp(word, "--help") == 0) {
        command.asked = PurgeCommand::Asked::Help;
    } else if (std::strcmp(word, "--version") == 0) {
        if (command.asked != PurgeCommand::Asked::Help)
            command.asked = PurgeCommand::Asked::Version;
    } else {
        command.asked = PurgeCommand::Asked::Refused;
        command.refusedWord = word;
    }
}

}  // namespace

PurgeCommand readCommandLine(const PurgeKind& kind, int argc, char* argv[])
{
    PurgeCommand command;
    for (int i = 1; i < argc && command.asked != PurgeCommand::Asked::Refused; ++i) {
        if (argv[i][0] == '-')
            readDashWord(argv[i], command);
        // After a refused letter word, only the dash words are read on.
        else if (command.letters == LettersRead::Run)
            command.letters = readLetterWord(kind.words, argv[i], command.settings, command.notes);
    }
    return command;
}
