// Remembers the calendar time of the date texts a run has already converted.
// mktime reads the time zone file again on every call when TZ is unset, and
// the zone does not change during a run, so each distinct date is converted
// once.  The tables are direct-mapped and fixed in size: memory stays
// constant however many distinct dates a file holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

class DateCache {
public:
    static constexpr size_t kTextSize = 12;

    // A date text field of 12 bytes, read up to its first NUL; a field that
    // holds no NUL is read as 12 characters, never past its end.
    time_t fromText(const char* field);

    // The date part of a packed date-time.
    time_t fromPacked(uint32_t dateTime);

private:
    static constexpr size_t kSlots = 4096;

    struct TextSlot {
        char key[kTextSize];
        bool used;
        time_t value;
    };
    struct PackedSlot {
        uint32_t key;
        bool used;
        time_t value;
    };

    TextSlot text_[kSlots] = {};
    PackedSlot packed_[kSlots] = {};
};
