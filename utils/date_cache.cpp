#include "date_cache.hpp"

#include "purgdate.hpp"

#include <cstring>

namespace {
size_t fnv1a(const char* bytes, size_t size)
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < size; ++i)
        hash = (hash ^ static_cast<unsigned char>(bytes[i])) * 16777619u;
    return hash;
}
}  // namespace

time_t DateCache::fromText(const char* field)
{
    Text key = {};
    std::memcpy(key.data(), field, strnlen(field, kTextSize));
    const size_t hash = fnv1a(key.data(), key.size());
    if (const time_t* known = text_.find(key, hash))
        return *known;
    char text[kTextSize + 1] = {};
    std::memcpy(text, key.data(), kTextSize);
    const time_t value = DATE_hms(text);
    text_.insert(key, hash, value);
    return value;
}

time_t DateCache::fromPacked(uint32_t dateTime)
{
    const uint32_t day = DATE_packedDay(dateTime);
    const size_t hash = (day * 2654435761u) >> 8;
    if (const time_t* known = packed_.find(day, hash))
        return *known;
    char szDate[16];
    char szTime[16];
    DATE_dateTime_Long2Str(szDate, szTime, day);
    const time_t value = DATE_hms(szDate);
    packed_.insert(day, hash, value);
    return value;
}
