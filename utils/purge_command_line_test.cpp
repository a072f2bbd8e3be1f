#include "purge_command_line.hpp"

#include "age_purge.hpp"
#include "mail_purge.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Letters = LettersRead;

// The notes of a reading, a word each: "V:v", "ignored:Dx", "below:D=0",
// "refused:D=abc".
std::string notesOf(const PurgeCommand& command)
{
    static const char* const kKinds[] = {"V", "ignored", "below", "refused"};
    std::string text;
    for (const LetterNote& note : command.notes)
        text += std::string(text.empty() ? "" : " ") + kKinds[note.kind] + ":" + note.word;
    return text;
}

PurgeCommand read(const PurgeKind& kind, std::vector<std::string> words)
{
    static std::vector<std::string> kept;  // the notes point into the words
    kept = std::move(words);
    std::vector<char*> argv = {const_cast<char*>("TEST")};
    for (std::string& word : kept)
        argv.push_back(word.data());
    return readCommandLine(kind, static_cast<int>(argv.size()), argv.data());
}

// Each kind's letters, by their first letter in either case; what fits no
// option and a limit below 1 are noted; a limit that is not a whole number
// is refused, quoting it, and the letters after it are not read.
TEST(PurgeCommandLine, LetterWordsByKind)
{
    const PurgeKind& age = kAgePurge;
    const PurgeKind& mail = kMailPurge;
    // Settings left at their defaults are not written in a row; a refused
    // word leaves the letters refused.
    const struct {
        const PurgeKind& kind;
        std::vector<std::string> words;
        const char* notes;
        int days = 30, bull = 30, priv = 30;
        const char* bin = "../system/bin/";
        const char* mailPath = "../mail/";
    } cases[] = {
        {age, {}, ""},
        {age, {"D=0"}, "below:D=0", 1},
        {age, {"D=-5", "D=+4"}, "below:D=-5", 4},
        {age, {"D="}, "refused:D="},
        {age, {"D=abc", "D=7", "x"}, "refused:D=abc"},
        {age, {"D=7x"}, "refused:D=7x"},
        {age, {"D= 7"}, "refused:D= 7"},
        {age, {"P=/x/", "D=/srv/kavex/system/bin"}, "refused:D=/srv/kavex/system/bin", 30, 30, 30, "/x/"},
        {age, {"D=0x10"}, "refused:D=0x10"},
        {age, {"D=99999999999"}, "refused:D=99999999999"},
        {age, {"d=7", "D=3", "D=9"}, "", 9},
        {age, {"Days=5", "Dx", "P", "Q=1", "help", "B=3", "M=/m/"},
         "ignored:Days=5 ignored:Dx ignored:P ignored:Q=1 ignored:help ignored:B=3 ignored:M=/m/"},
        {age, {"P=/data/node", "p=/x/"}, "", 30, 30, 30, "/x/"},
        {age, {"P="}, "", 30, 30, 30, ""},
        {age, {"v", "Verbose"}, "V:v V:Verbose"},
        {age, {"D=2147483647"}, "", 2147483647},
        {mail, {"B=5", "P=9"}, "", 30, 5, 9},
        {mail, {"b=5", "B=9", "p=2", "P=+3"}, "", 30, 9, 3},
        {mail, {"B=0", "P=-4"}, "below:B=0 below:P=-4", 30, 1, 1},
        {mail, {"B=x", "P=2"}, "refused:B=x"},
        {mail, {"P=/srv/kavex/mail/"}, "refused:P=/srv/kavex/mail/"},
        {mail, {"B=2147483648"}, "refused:B=2147483648"},
        {mail, {"B5", "Bull=5", "B", "x=1", "V"}, "ignored:B5 ignored:Bull=5 ignored:B ignored:x=1 V:V"},
        {mail, {"D=/data/bin", "m=/var/mail/"}, "", 30, 30, 30, "/data/bin", "/var/mail/"},
        {mail, {"D=", "M="}, "", 30, 30, 30, "", ""},
    };
    for (const auto& c : cases) {
        const PurgeCommand command = read(c.kind, c.words);
        const std::string what = testing::PrintToString(c.words);
        EXPECT_EQ(command.asked, PurgeCommand::Asked::Run) << what;
        const bool refused = std::string(c.notes).find("refused:") != std::string::npos;
        EXPECT_EQ(command.letters, refused ? Letters::Refused : Letters::Run) << what;
        EXPECT_EQ(notesOf(command), c.notes) << what;
        EXPECT_EQ(command.settings.nDelDays, c.days) << what;
        EXPECT_EQ(command.settings.nBullDelete, c.bull) << what;
        EXPECT_EQ(command.settings.nPrivDelete, c.priv) << what;
        EXPECT_STREQ(command.settings.szBinPath, c.bin) << what;
        EXPECT_STREQ(command.settings.szMailPath, c.mailPath) << what;
    }
    EXPECT_EQ(read(age, {"P=" + std::string(1023, 'p')}).letters, Letters::Run);
    EXPECT_EQ(read(age, {"P=" + std::string(1024, 'p')}).letters, Letters::PathTooLong);
    EXPECT_EQ(read(mail, {"M=" + std::string(256, 'm')}).letters, Letters::PathTooLong);
}

// The dash words are read in the same pass: a refused one wins over
// everything, --help over --version wherever each stands, and the letter
// words around them count as ever.
TEST(PurgeCommandLine, DashWords)
{
    using Asked = PurgeCommand::Asked;
    const struct {
        std::vector<std::string> words;
        Asked asked;
        const char* refused;
    } cases[] = {
        {{"--dry-run", "--quiet", "--verbose", "--without-lease", "--lease-wait=0.5",
          "--lock-wait=7"}, Asked::Run, nullptr},
        {{"--version", "--help"}, Asked::Help, nullptr},
        {{"--help", "--version"}, Asked::Help, nullptr},
        {{"V", "--version"}, Asked::Version, nullptr},
        {{"--help", "-h"}, Asked::Refused, "-h"},
        {{"D=abc", "--bogus"}, Asked::Refused, "--bogus"},
        {{"-"}, Asked::Refused, "-"},
        {{"--lease-wait=abc"}, Asked::Refused, "--lease-wait=abc"},
        {{"--lock-wait=604801"}, Asked::Refused, "--lock-wait=604801"},
        {{"-dry-run"}, Asked::Refused, "-dry-run"},
    };
    for (const auto& c : cases) {
        const PurgeCommand command = read(kAgePurge, c.words);
        EXPECT_EQ(command.asked, c.asked) << testing::PrintToString(c.words);
        EXPECT_STREQ(command.refusedWord, c.refused) << testing::PrintToString(c.words);
    }
    const PurgeCommand all = read(kMailPurge, cases[0].words);
    EXPECT_TRUE(all.dryRun && all.quiet && all.verbose && all.waits.withoutLease);
    EXPECT_EQ(all.waits.leaseSeconds, 0.5);
    EXPECT_EQ(all.waits.lockSeconds, 7);
    EXPECT_TRUE(read(kAgePurge, {"--lease-wait=x"}).refusedWait);
}

// A mark's settings are read by the command line's words, as strictly: what
// argv refuses or ignores is refused, a limit below 1 counts as 1, and the
// mail prefix runs to the end of the line.  What is read writes back.
TEST(PurgeSettings, MarkReadAsStrictlyAsArgv)
{
    const std::string longPrefix = "B=30 P=14 M=" + std::string(256, 'm');
    const struct {
        const PurgeKind& kind;
        const char* text;
        const char* written;  // null: refused
    } cases[] = {
        {kAgePurge, "D=30", "D=30"},       {kAgePurge, "D=+7", "D=7"},
        {kAgePurge, "D=0", "D=1"},         {kAgePurge, "D=3O", nullptr},
        {kAgePurge, "D=30 ", nullptr},     {kAgePurge, "D=30 D=4", nullptr},
        {kAgePurge, "", nullptr},          {kAgePurge, "P=/x/", nullptr},
        {kMailPurge, "B=-2 P=14 M=/var/a b\\c", "B=1 P=14 M=/var/a b\\c"},
        {kMailPurge, "B=30 P=14 M=", "B=30 P=14 M="},
        {kMailPurge, "P=14 B=30 M=x", nullptr}, {kMailPurge, "B=30 M=x", nullptr},
        {kMailPurge, "B=3x P=14 M=x", nullptr}, {kMailPurge, "B=30 P=14 V M=x", nullptr},
        {kMailPurge, longPrefix.c_str(), nullptr},
    };
    for (const auto& c : cases) {
        PurgeSettings settings;
        ASSERT_EQ(readMarkSettings(c.kind.words, c.text, settings), c.written != nullptr) << c.text;
        char written[1400] = "";
        if (c.written)
            writeMarkSettings(c.kind.words, settings, written, sizeof written);
        EXPECT_STREQ(written, c.written ? c.written : "") << c.text;
    }
}

}  // namespace
