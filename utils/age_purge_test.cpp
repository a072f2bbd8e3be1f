#include "age_purge.hpp"
#include "record_text.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

#include <string>
#include <vector>

namespace {

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
