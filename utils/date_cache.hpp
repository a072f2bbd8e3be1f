// Remembers the calendar time of the dates a run has already converted.
// mktime reads the time zone file again on every call when TZ is unset, and
// the zone does not change during a run, so each distinct date is converted
// once.  The tables are fixed in size, so memory stays constant however many
// distinct dates a file holds: a full table is emptied and starts again.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <ctime>

template <typename Key, size_t Slots>
class DateTable {
public:
    // The cached value of key, or nullptr.  hash spreads the keys.
    const time_t* find(const Key& key, size_t hash) const
    {
        for (size_t i = hash % Slots;; i = (i + 1) % Slots) {
            if (!slots_[i].used)
                return nullptr;
            if (slots_[i].key == key)
                return &slots_[i].value;
        }
    }

    void insert(const Key& key, size_t hash, time_t value)
    {
        // Kept at most three quarters full, so that a probe always ends.
        if (used_ >= Slots / 4 * 3) {
            slots_ = {};
            used_ = 0;
        }
        size_t i = hash % Slots;
        while (slots_[i].used)
            i = (i + 1) % Slots;
        slots_[i] = {key, value, true};
        ++used_;
    }

private:
    struct Slot {
        Key key;
        time_t value;
        bool used;
    };
    std::array<Slot, Slots> slots_ = {};
    size_t used_ = 0;
};

class DateCache {
public:
    static constexpr size_t kTextSize = 12;

    // A date text field of 12 bytes, read up to its first NUL; a field that
    // holds no NUL is read as 12 characters, never past its end.
    time_t fromText(const char* field);

    // The date part of a packed date-time.
    time_t fromPacked(uint32_t dateTime);

private:
    using Text = std::array<char, kTextSize>;
    DateTable<Text, 4096> text_;
    DateTable<uint32_t, 4096> packed_;
};
