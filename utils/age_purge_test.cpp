#include "age_purge.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// What fits no option and a limit that is not a whole number are each
// noted on stderr, and read as before.
TEST(AgeArguments, DaysAndDirectoryByTheirFirstLetter)
{
    const std::string note = "TEST: ";
    const struct {
        std::vector<std::string> arguments;
        int days;
        const char* directory;
        const char* out;
        std::string err;
    } cases[] = {
        {{}, 30, "../system/bin/", "", ""},
        {{"D=0"}, 1, "../system/bin/", "", ""},
        {{"D=-5"}, 1, "../system/bin/", "", ""},
        {{"D="}, 1, "../system/bin/", "", note + "D= is not a whole number of days: 1 is used\n"},
        {{"D=abc"}, 1, "../system/bin/", "", note + "D=abc is not a whole number of days: 1 is used\n"},
        {{"D=7x"}, 7, "../system/bin/", "", note + "D=7x is not a whole number of days: 7 is used\n"},
        {{"D=0x10", "D=1e3"}, 1, "../system/bin/", "",
         note + "D=0x10 is not a whole number of days: 1 is used\n" + note +
             "D=1e3 is not a whole number of days: 1 is used\n"},
        {{"d=7"}, 7, "../system/bin/", "", ""},
        {{"D=3", "D=9"}, 9, "../system/bin/", "", ""},
        {{"Days=5", "-D=5", "Dx", "P", "Q=1", "--dry-run"}, 30, "../system/bin/", "",
         note + "argument 'Days=5' ignored\n" + note + "argument '-D=5' ignored\n" + note +
             "argument 'Dx' ignored\n" + note + "argument 'P' ignored\n" + note +
             "argument 'Q=1' ignored\n"},
        {{"P=/data/node", "p=/x/"}, 30, "/x/", "", ""},
        {{"P="}, 30, "", "", ""},
        {{"v", "Verbose"}, 30, "../system/bin/", "TEST v 1.0\nTEST v 1.0\n", ""},
        {{"D=99999999999"}, 2147483647, "../system/bin/", "",
         note + "D=99999999999 is not a whole number of days: 2147483647 is used\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> arguments = c.arguments;
        std::vector<char*> argv = {const_cast<char*>("TEST")};
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        AgeSettings settings;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        EXPECT_TRUE(parseAgeArguments(static_cast<int>(argv.size()), argv.data(), settings,
                                      {"TEST", "TEST v 1.0\n", stdout, stderr}));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
        EXPECT_EQ(settings.nDelDays, c.days);
        EXPECT_STREQ(settings.szBinPath, c.directory);
    }
    std::string tooLong = "P=" + std::string(1024, 'p');
    char* argv[] = {const_cast<char*>("TEST"), tooLong.data()};
    AgeSettings settings;
    EXPECT_FALSE(parseAgeArguments(2, argv, settings, {"TEST", "", stdout, stderr}));
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

}  // namespace
