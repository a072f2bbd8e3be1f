// Dates as the node server stores them: the date text dd-Mon-yyyy and the
// packed 32-bit date-time.
#pragma once

#include <cstdint>
#include <ctime>

static_assert(sizeof(time_t) >= 8,
              "dates after 2038 need a 64-bit time_t: -D_TIME_BITS=64 -D_FILE_OFFSET_BITS=64");

// Calendar time of 00:00 local standard time of the day that the date text
// names; mktime's -1 where that time cannot be represented.
time_t DATE_hms(const char* pszDate);

// Writes the time text hhmm into Time (5 bytes) and the date text
// dd-Mon-yyyy into Date (12 bytes).
void DATE_dateTime_Long2Str(char* Date, char* Time, uint32_t DateTime);

// The three-letter name of a month index 0-11, as date texts hold it
// ("Fev" for February).
const char* DATE_monthName(int index);

// The day part of a packed date-time: two values with the same day part give
// the same date text.
constexpr uint32_t DATE_packedDay(uint32_t DateTime) { return DateTime & 0x1FFFFFu; }
