#include "purge_command_line.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iterator>

namespace {

bool startsWith(const char* word, char letter)
{
    return std::toupper(static_cast<unsigned char>(word[0])) == letter;
}

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

// The letter words of each kind and what each one sets.
enum class Setting { DelDays, BullDelete, PrivDelete, DataDirectory, MailPrefix };
struct LetterWord {
    char letter;
    Setting setting;
};
constexpr LetterWord kAgeLetters[] = {{'D', Setting::DelDays}, {'P', Setting::DataDirectory}};
constexpr LetterWord kMailLetters[] = {{'B', Setting::BullDelete},
                                       {'P', Setting::PrivDelete},
                                       {'D', Setting::DataDirectory},
                                       {'M', Setting::MailPrefix}};

int* limitOf(PurgeSettings& settings, Setting setting)
{
    switch (setting) {
    case Setting::DelDays:
        return &settings.nDelDays;
    case Setting::BullDelete:
        return &settings.nBullDelete;
    case Setting::PrivDelete:
        return &settings.nPrivDelete;
    default:
        return nullptr;
    }
}

// A limit below 1 counts as 1.
PurgeCommand::Letters setLetter(Setting setting, const char* word, const char* value,
                                PurgeCommand& command)
{
    PurgeSettings& settings = command.settings;
    if (int* limit = limitOf(settings, setting)) {
        int number = 0;
        if (!wholeNumber(value, number)) {
            command.notes.push_back({LetterNote::NotALimit, word});
            return PurgeCommand::Letters::Refused;
        }
        if (number < 1)
            command.notes.push_back({LetterNote::BelowOne, word});
        *limit = number < 1 ? 1 : number;
        return PurgeCommand::Letters::Run;
    }
    const bool fits = setting == Setting::DataDirectory
                          ? copyText(settings.szBinPath, sizeof settings.szBinPath, value)
                          : copyText(settings.szMailPath, sizeof settings.szMailPath, value);
    return fits ? PurgeCommand::Letters::Run : PurgeCommand::Letters::PathTooLong;
}

// After a refused letter word, only the dash words are read on.
void readLetterWord(PurgeKind kind, const char* word, PurgeCommand& command)
{
    if (command.letters != PurgeCommand::Letters::Run)
        return;
    const bool mail = kind == PurgeKind::Mail;
    const LetterWord* first = mail ? std::begin(kMailLetters) : std::begin(kAgeLetters);
    const LetterWord* last = mail ? std::end(kMailLetters) : std::end(kAgeLetters);
    for (const LetterWord* letter = first; letter != last; ++letter) {
        if (const char* value = optionValue(word, letter->letter)) {
            command.letters = setLetter(letter->setting, word, value, command);
            return;
        }
    }
    command.notes.push_back({startsWith(word, 'V') ? LetterNote::Version : LetterNote::Ignored, word});
}

}  // namespace

PurgeCommand readCommandLine(PurgeKind kind, int argc, char* argv[])
{
    PurgeCommand command;
    for (int i = 1; i < argc && command.asked != PurgeCommand::Asked::Refused; ++i) {
        if (argv[i][0] == '-')
            readDashWord(argv[i], command);
        else
            readLetterWord(kind, argv[i], command);
    }
    return command;
}

const char* optionValue(const char* word, char letter)
{
    if (!startsWith(word, letter) || word[1] != '=')
        return nullptr;
    return word + 2;
}

bool copyText(char* buffer, size_t size, const char* text)
{
    const size_t length = std::strlen(text);
    if (length >= size)
        return false;
    std::memcpy(buffer, text, length + 1);
    return true;
}
