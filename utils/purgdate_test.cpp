#include "date_cache.hpp"
#include "purgdate.hpp"
#include "record_text.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Sets the time zone for one test and puts the old one back.
class DateTextTest : public testing::Test {
protected:
    void useZone(const char* zone)
    {
        setenv("TZ", zone, 1);
        tzset();
    }
    void TearDown() override
    {
        unsetenv("TZ");
        tzset();
    }
};

// What a date text reads as, and whether the check takes it for a day of
// the calendar in the node's form: a text that the purges read as another
// day than it names is damage.
TEST_F(DateTextTest, ReadsFixedColumnsToMidnightOfStandardTime)
{
    const struct {
        const char* text;
        time_t expected;
        bool aDay;
        const char* zone = "UTC";
    } cases[] = {
        {" 5-Jan-1999", utcTime(1999, 1, 5), true},
        {"05-Jan-1999", utcTime(1999, 1, 5), true},
        {"12-Fev-2003", utcTime(2003, 2, 12), true},
        {"12-Feb-2003", utcTime(2003, 1, 12), false},  // not in the table: January
        {"12-fev-2003", utcTime(2003, 1, 12), false},
        {" 0-Mar-2001", utcTime(2001, 2, 28), false},  // mktime normalises
        {"31-Apr-2001", utcTime(2001, 5, 1), false},
        {"29-Fev-2024", utcTime(2024, 2, 29), true},
        {"29-Fev-2100", utcTime(2100, 3, 1), false},
        {" 0-Jan-1980", utcTime(1979, 12, 31), false},
        {"31-Dec-2026", utcTime(2026, 12, 31), true},
        {"5-Jan-1999", utcTime(999, 1, 5), false},  // unpadded: month "an-", year 999
        {"12-Mar-2003xyz", utcTime(2003, 3, 12), false},
        // Around the end of a 32-bit time_t, 19 January 2038 03:14:07, in
        // seconds: a conversion of the test's own would overflow the same way.
        {"19-Jan-2038", 2147472000, true},
        {"20-Jan-2038", 2147558400, true},
        {" 1-Jan-2040", 2208988800, true},
        {"31-Dec-6075", 129572784000, true},
        // Midnight of standard time, summer or winter: in Paris, 23:00 UTC of
        // the day before, 01:00 by the clock while daylight saving is in force.
        {"15-Jul-2026", utcTime(2026, 7, 14, 23), true, "Europe/Paris"},
        {"15-Jan-2026", utcTime(2026, 1, 14, 23), true, "Europe/Paris"},
        {"15-Jul-2040", 2225919600, true, "Europe/Paris"},  // 2040-07-14 23:00 UTC, by the zone's rule
        {" 1-Aug-2025", utcTime(2025, 8, 1, 5), true, "America/New_York"},
    };
    for (const auto& c : cases) {
        useZone(c.zone);
        EXPECT_EQ(DATE_hms(c.text), c.expected) << c.text;
        char field[DateCache::kTextSize] = {};
        std::memcpy(field, c.text, std::min(std::strlen(c.text), sizeof field));
        EXPECT_EQ(!textDateFault(field).found(), c.aDay) << c.text << ": " << textDateFault(field).why;
    }
}

// A text shorter than its columns is read only up to its terminator; the
// bytes behind it are never looked at.
TEST_F(DateTextTest, ShortTextsStopAtTheirTerminator)
{
    useZone("UTC");
    const char* texts[] = {"", " ", "7", "12-Ma", "12-Mar", "12-Mar-", "12-Mar-2"};
    for (const char* text : texts) {
        const size_t size = std::strlen(text) + 1;
        char* exact = static_cast<char*>(std::malloc(size));  // the sanitizer sees any overread
        std::memcpy(exact, text, size);
        const time_t value = DATE_hms(exact);
        std::free(exact);
        EXPECT_EQ(value, DATE_hms(std::string(text).c_str())) << text;
    }
    EXPECT_EQ(DATE_hms("12-Mar-2"), utcTime(2, 3, 12));
}

TEST(PackedDateTime, WritesTimeAndDateTexts)
{
    const struct {
        uint32_t value;
        const char* date;
        const char* time;
        bool inRange;  // as the check judges the fields
    } cases[] = {
        {0, " 0-Jan-1980", "0000", false},
        {5u | 1u << 5 | 18u << 9 | 30u << 21 | 9u << 27, " 5-Fev-1998", "0930", true},
        {29u | 1u << 5 | 44u << 9 | 59u << 21 | 23u << 27, "29-Fev-2024", "2359", true},
        {29u | 1u << 5 | 46u << 9, "29-Fev-2026", "0000", false},
        {31u | 11u << 5 | 46u << 9 | 61u << 21 | 25u << 27, "31-Dec-2026", "2561", false},
        {1u | 12u << 5, " 1-?\?\?-1980", "0000", false},
        {1u | 15u << 5 | 4095u << 9, " 1-?\?\?-6075", "0000", false},
        {0xFFFFFFFFu, "31-?\?\?-6075", "3163", false},
    };
    for (const auto& c : cases) {
        char date[12];
        char time[5];
        DATE_dateTime_Long2Str(date, time, c.value);
        EXPECT_STREQ(date, c.date);
        EXPECT_STREQ(time, c.time);
        EXPECT_EQ(!packedDateFault(c.value).found(), c.inRange) << c.date << " " << c.time;
    }
}

// A packed date reads back as its day whatever its time, from the cache as
// from its text.
TEST_F(DateTextTest, CacheGivesWhatTheConversionGives)
{
    useZone("Europe/Paris");
    DateCache cache;
    const uint32_t day = 5u | 1u << 5 | 18u << 9;
    for (uint32_t hourMinute : {0u, 30u << 21 | 9u << 27, 0xFFE00000u}) {
        char date[12];
        char time[5];
        DATE_dateTime_Long2Str(date, time, day | hourMinute);
        EXPECT_EQ(DATE_hms(date), utcTime(1998, 2, 4, 23));
        EXPECT_EQ(cache.fromPacked(day | hourMinute), utcTime(1998, 2, 4, 23));
    }
    const char* fields[] = {"12-Fev-2003", " 5-Jul-2026", "bad", "", "31-Apr-2001"};
    for (int round = 0; round < 2; ++round)
        for (const char* field : fields) {
            char padded[12] = {};
            std::memcpy(padded, field, std::strlen(field));
            EXPECT_EQ(cache.fromText(padded), DATE_hms(field)) << field;
        }
    // A field without a terminator is read as its 12 characters.
    const char full[12] = {'1', '2', '-', 'M', 'a', 'r', '-', '2', '0', '0', '3', '9'};
    EXPECT_EQ(cache.fromText(full), DATE_hms("12-Mar-20039"));
}

}  // namespace
