// Decimal numbers read from texts the way atoi reads them.
#pragma once

#include <climits>
#include <cstdlib>

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
