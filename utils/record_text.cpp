#include "record_text.hpp"

#include <cstring>

LineText& LineText::field(const void* field, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(field);
    const size_t length = strnlen(reinterpret_cast<const char*>(bytes), size);
    if (length == 0)
        put("-", 1);
    for (size_t i = 0; i < length; ++i) {
        char shown[5];
        const bool plain = bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\';
        const int width = plain ? std::snprintf(shown, sizeof shown, "%c", bytes[i])
                                : std::snprintf(shown, sizeof shown, "\\x%02X", bytes[i]);
        put(shown, static_cast<size_t>(width));
    }
    return *this;
}

LineText& LineText::text(const char* text)
{
    put(text, std::strlen(text));
    return *this;
}

// What does not fit is cut: the line is for reading.
void LineText::put(const char* bytes, size_t length)
{
    const size_t room = size_ - 1 - used_;
    const size_t taken = length < room ? length : room;
    std::memcpy(line_ + used_, bytes, taken);
    used_ += taken;
    line_[used_] = '\0';
}
