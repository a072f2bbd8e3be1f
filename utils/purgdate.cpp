#include "purgdate.hpp"

#include "numbers.hpp"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

const char* const pszMonth[12] = {"Jan", "Fev", "Mar", "Apr", "May", "Jun",
                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// What a month field of 12 to 15 writes: three characters that are none of
// the table's names, so that reading the text back gives January.
const char kNoMonth[] = "???";

int clampToInt(long value)
{
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace

// The columns are fixed: day in 0-1, month name in 3-5, year from 7.  A text
// shorter than that is read only up to its terminator; a field that it does
// not reach counts as missing (month January, year 0).
time_t DATE_hms(const char* pszDate)
{
    struct tm tmDay;
    std::memset(&tmDay, 0, sizeof tmDay);
    tmDay.tm_isdst = 0;

    tmDay.tm_mday = readInteger(pszDate[0] == ' ' ? pszDate + 1 : pszDate);
    const size_t length = strnlen(pszDate, 8);
    if (length >= 6) {
        for (int i = 0; i < 12; ++i) {
            if (std::memcmp(pszDate + 3, pszMonth[i], 3) == 0) {
                tmDay.tm_mon = i;
                break;
            }
        }
    }
    const int year = length >= 8 ? readInteger(pszDate + 7) : 0;
    tmDay.tm_year = clampToInt(static_cast<long>(year) - 1900);
    return mktime(&tmDay);
}

const char* DATE_monthName(int index) { return pszMonth[index]; }

void DATE_dateTime_Long2Str(char* Date, char* Time, uint32_t DateTime)
{
    const unsigned hour = DateTime >> 27;
    const unsigned minute = (DateTime >> 21) & 0x3Fu;
    std::snprintf(Time, 5, "%02u%02u", hour, minute);

    const unsigned day = DateTime & 0x1Fu;
    const unsigned month = (DateTime >> 5) & 0x0Fu;
    const unsigned year = ((DateTime >> 9) & 0xFFFu) + 1980u;
    std::snprintf(Date, 12, "%2u-%3s-%4u", day, month < 12 ? pszMonth[month] : kNoMonth, year);
}
