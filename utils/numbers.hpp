// Decimal numbers read from texts the way atoi reads them.
#pragma once

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <ctime>

// A record's age and a limit compare in whole 64-bit seconds: exact for
// every calendar time that mktime gives and for every int of days (INT_MAX
// days are 1.9e14 seconds), so neither overflows, and the answers are those
// of the floating-point difference.  No floating point comes in: a run
// judges each record twice (the copy, then the rewrite), and on i686 under
// qemu a lease-break signal arriving mid-comparison was seen to flip an x87
// comparison between the two.
inline int64_t ageOver(time_t now, time_t then)
{
    return static_cast<int64_t>(now) - static_cast<int64_t>(then);
}

inline int64_t limitSeconds(int days) { return int64_t{days} * 86400; }

// Leading blanks, a sign, digits up to the first non-digit, 0 without
// digits; a value beyond int saturates instead of overflowing.
inline int readInteger(const char* text)
{
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}
