#include "date_cache.hpp"

#include "purgdate.hpp"

#include <cstring>

namespace {
size_t slotOf(const char* key, size_t size)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ static_cast<unsigned char>(key[i])) * 16777619u;
    return hash;
}
}  // namespace

time_t DateCache::fromText(const char* field)
{
    char key[kTextSize] = {};
    std::memcpy(key, field, strnlen(field, kTextSize));
    TextSlot& slot = text_[slotOf(key, kTextSize) % kSlots];
    if (!slot.used || std::memcmp(slot.key, key, kTextSize) != 0) {
        char text[kTextSize + 1] = {};
        std::memcpy(text, key, kTextSize);
        std::memcpy(slot.key, key, kTextSize);
        slot.value = DATE_hms(text);
        slot.used = true;
    }
    return slot.value;
}

time_t DateCache::fromPacked(uint32_t dateTime)
{
    const uint32_t day = DATE_packedDay(dateTime);
    // The top 12 bits of a multiplicative hash index the 4096 slots.
    static_assert(kSlots == 4096);
    PackedSlot& slot = packed_[(day * 2654435761u) >> 20];
    if (!slot.used || slot.key != day) {
        char szDate[16];
        char szTime[16];
        DATE_dateTime_Long2Str(szDate, szTime, day);
        slot.key = day;
        slot.value = DATE_hms(szDate);
        slot.used = true;
    }
    return slot.value;
}
