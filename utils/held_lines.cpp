#include "held_lines.hpp"

#include <cerrno>
#include <cstdarg>

HeldLines::~HeldLines()
{
    if (file_)
        std::fclose(file_);
}

void HeldLines::add(FILE* out, const char* format, ...)
{
    if (!file_ && !noFile_) {
        file_ = std::tmpfile();
        noFile_ = !file_;
    }
    va_list arguments;
    va_start(arguments, format);
    std::vfprintf(file_ ? file_ : out, format, arguments);
    va_end(arguments);
}

bool HeldLines::release(FILE* out)
{
    if (!file_)
        return true;
    errno = 0;
    bool copied = std::fflush(file_) == 0 && std::fseek(file_, 0, SEEK_SET) == 0;
    char block[1 << 16];
    for (size_t got; copied && (got = std::fread(block, 1, sizeof block, file_)) > 0;)
        copied = std::fwrite(block, 1, got, out) == got;
    copied = copied && !std::ferror(file_);
    std::fclose(file_);
    file_ = nullptr;
    if (!copied && errno == 0)
        errno = EIO;
    return copied;
}
