// Arbitrary date texts and packed date-times: no read outside a text or a
// field (each lives in a buffer of its exact size), fixed-width texts out.
#include "date_cache.hpp"
#include "purgdate.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("TZ", "Europe/Paris", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t length = strnlen(reinterpret_cast<const char*>(data), size < 16 ? size : 16);
    char* text = static_cast<char*>(std::malloc(length + 1));
    std::memcpy(text, data, length);
    text[length] = '\0';
    DATE_hms(text);
    std::free(text);

    if (size >= 12) {
        char* field = static_cast<char*>(std::malloc(12));  // no room for a terminator
        std::memcpy(field, data, 12);
        DateCache* cache = new DateCache;
        if (cache->fromText(field) != cache->fromText(field))
            std::abort();
        delete cache;
        std::free(field);
    }
    if (size >= 4) {
        uint32_t packed = 0;
        std::memcpy(&packed, data, 4);
        char* date = static_cast<char*>(std::malloc(12));
        char* time = static_cast<char*>(std::malloc(5));
        DATE_dateTime_Long2Str(date, time, packed);
        if (std::strlen(date) != 11 || std::strlen(time) != 4)
            std::abort();
        DATE_hms(date);
        std::free(date);
        std::free(time);
    }
    return 0;
}
