// Dates and integers as the node server writes them into its records, for
// the sample tree of the demo and the files of the benchmark.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

inline struct tm daysAgo(int days)
{
    const time_t then = time(nullptr) - static_cast<time_t>(days) * 86400;
    struct tm local;
    localtime_r(&then, &local);
    return local;
}

// The date text dd-Mon-yyyy, with its terminator, of the day days ago.
inline void putDate(void* field, int days)
{
    static const char* const months[] = {"Jan", "Fev", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const struct tm day = daysAgo(days);
    char text[32];
    std::snprintf(text, sizeof text, "%2d-%s-%04d", day.tm_mday, months[day.tm_mon],
                  day.tm_year + 1900);
    std::memcpy(field, text, 12);
}

inline void putLE32(void* field, uint32_t value)
{
    auto* bytes = static_cast<unsigned char*>(field);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The packed date-time of the day days ago, at hour:minute.
inline uint32_t packedDaysAgo(int days, unsigned hour, unsigned minute)
{
    const struct tm day = daysAgo(days);
    return static_cast<uint32_t>(day.tm_mday) | static_cast<uint32_t>(day.tm_mon) << 5 |
           static_cast<uint32_t>(day.tm_year + 1900 - 1980) << 9 | minute << 21 | hour << 27;
}
