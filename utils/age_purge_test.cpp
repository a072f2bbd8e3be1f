#include "age_purge.hpp"
#include "record_text.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include <string>
#include <vector>

namespace {

// What fits no option and a limit below 1 are each noted on stderr; a limit
// that is not a whole number is refused, quoting it, whatever follows.  Dash
// words are left to the double-dash reading.
TEST(AgeArguments, DaysAndDirectoryByTheirFirstLetter)
{
    const std::string note = "TEST: ";
    const std::string notALimit = "' is not a limit in days (a whole number up to 2147483647): "
                                  "nothing was touched\n";
    const auto refused = LetterOptions::Refused;
    const struct {
        std::vector<std::string> arguments;
        int days;
        const char* directory;
        const char* out;
        std::string err;
        LetterOptions result = LetterOptions::Run;
    } cases[] = {
        {{}, 30, "../system/bin/", "", ""},
        {{"D=0"}, 1, "../system/bin/", "", note + "D=0 is below 1 day: 1 is used\n"},
        {{"D=-5", "D=+4"}, 4, "../system/bin/", "", note + "D=-5 is below 1 day: 1 is used\n"},
        {{"D="}, 30, "../system/bin/", "", note + "'D=" + notALimit, refused},
        {{"D=abc", "D=7"}, 30, "../system/bin/", "", note + "'D=abc" + notALimit, refused},
        {{"D=7x"}, 30, "../system/bin/", "", note + "'D=7x" + notALimit, refused},
        {{"D=3O"}, 30, "../system/bin/", "", note + "'D=3O" + notALimit, refused},
        {{"D= 7"}, 30, "../system/bin/", "", note + "'D= 7" + notALimit, refused},
        {{"P=/x/", "D=/srv/kavex/system/bin"}, 30, "/x/", "",
         note + "'D=/srv/kavex/system/bin" + notALimit, refused},
        {{"D=0x10"}, 30, "../system/bin/", "", note + "'D=0x10" + notALimit, refused},
        {{"D=99999999999"}, 30, "../system/bin/", "", note + "'D=99999999999" + notALimit, refused},
        {{"d=7"}, 7, "../system/bin/", "", ""},
        {{"D=3", "D=9"}, 9, "../system/bin/", "", ""},
        {{"Days=5", "-D=5", "Dx", "P", "Q=1", "--dry-run", "help", "-h"}, 30, "../system/bin/", "",
         note + "argument 'Days=5' ignored\n" + note + "argument 'Dx' ignored\n" + note +
             "argument 'P' ignored\n" + note + "argument 'Q=1' ignored\n" + note +
             "argument 'help' ignored\n"},
        {{"P=/data/node", "p=/x/"}, 30, "/x/", "", ""},
        {{"P="}, 30, "", "", ""},
        {{"v", "Verbose"}, 30, "../system/bin/", "TEST v 1.0\nTEST v 1.0\n", ""},
        {{"D=2147483647"}, 2147483647, "../system/bin/", "", ""},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        std::vector<char*> argv = {const_cast<char*>("TEST")};
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        AgeSettings settings;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_EQ(parseAgeArguments(static_cast<int>(argv.size()), argv.data(), settings,
                                    {"TEST", "TEST v 1.0\n", stdout, stderr}),
                  c.result);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(settings.nDelDays, c.days);
        EXPECT_STREQ(settings.szBinPath, c.directory);
    }
    std::string tooLong = "P=" + std::string(1024, 'p');
    char* argv[] = {const_cast<char*>("TEST"), tooLong.data()};
    AgeSettings settings;
    EXPECT_EQ(parseAgeArguments(2, argv, settings, {"TEST", "", stdout, stderr}),
              LetterOptions::PathTooLong);
}

TEST(AgeRule, StrictlyYoungerThanTheLimitSurvives)
{
    const time_t day = utcTime(2026, 11, 7);
    const struct {
        time_t now;
        int days;
        bool kept;
    } cases[] = {
        {day + 30 * 86400 - 1, 30, true},
        {day + 30 * 86400, 30, false},  // exactly the limit: deleted
        {day + 86399, 1, true},
        {day + 86400, 1, false},
        {day - 5 * 86400, 1, true},  // dated in the future
        {day + 100 * 86400, 100000, true},
        {day + 100 * 86400, 2147483647, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(keptByAge(day, c.now, c.days), c.kept) << c.now - day << " s, " << c.days << " d";
    // A date that cannot be converted (-1) is as old as the epoch plus a second.
    EXPECT_FALSE(keptByAge(-1, utcTime(2026, 1, 1), 20000));
    EXPECT_TRUE(keptByAge(-1, utcTime(2026, 1, 1), 30000));
}

// The oldest date that stays is the rule's own: from 00:00 local standard
// time of the date, strictly below the limit for the age purges and up to
// it for the mail, summer time or not, in the local date.
TEST(CutOff, OldestDateThatStays)
{
    const time_t julyNight = utcTime(2026, 7, 14, 22, 30);  // 00:30 in Paris, summer time
    const struct {
        const char* tz;
        time_t now;
        int days;
        bool keptAtLimit;
        const char* date;
    } cases[] = {
        {"UTC", utcTime(2026, 12, 7, 12), 30, false, "8-Nov-2026"},
        {"UTC", utcTime(2026, 12, 7), 30, false, "8-Nov-2026"},  // exactly the limit goes
        {"UTC", utcTime(2026, 12, 7), 30, true, "7-Nov-2026"},   // or stays
        {"UTC", utcTime(2026, 3, 3, 12), 30, false, "2-Fev-2026"},
        {"Europe/Paris", julyNight, 1, false, "14-Jul-2026"},
        {"Europe/Paris", julyNight + 1800, 1, false, "15-Jul-2026"},
        {"America/New_York", utcTime(2026, 12, 7, 3), 1, false, "6-Dec-2026"},
        {"UTC", utcTime(2026, 12, 7), 100000, false, "22-Fev-1753"},
    };
    for (const auto& c : cases) {
        setenv("TZ", c.tz, 1);
        tzset();
        char date[48] = {};
        EXPECT_TRUE(oldestDateKept(c.now, c.days, c.keptAtLimit, date, sizeof date));
        EXPECT_STREQ(date, c.date) << c.tz << " " << c.now << " " << c.days;
    }
    setenv("TZ", "UTC", 1);
    tzset();
}

}  // namespace
