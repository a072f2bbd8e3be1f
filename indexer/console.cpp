#include "console.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

char* STR_reverse(char* psz)
{
    const size_t n = std::strlen(psz);
    for (size_t i = 0; i + 1 < n - i; ++i) {
        const char c = psz[i];
        psz[i] = psz[n - 1 - i];
        psz[n - 1 - i] = c;
    }
    return psz;
}

CaseTables::CaseTables()
{
    for (int c = 0; c < 256; ++c) {
        upper[c] = static_cast<char>(std::islower(c) ? std::toupper(c) : c);
        lower[c] = static_cast<char>(std::isupper(c) ? std::tolower(c) : c);
    }
}

namespace {

char* convert(char* psz, const char* table)
{
    for (char* p = psz; *p != '\0'; ++p)
        *p = table[static_cast<unsigned char>(*p)];
    return psz;
}

}  // namespace

char* STR_upper(char* psz) { return convert(psz, kCaseTables.upper); }

char* STR_lower(char* psz) { return convert(psz, kCaseTables.lower); }

void CON_moveTo(int, int) {}

int CON_column() { return 1; }

int CON_row() { return 1; }

int CON_putChar(int c)
{
    std::putchar(static_cast<unsigned char>(c));
    std::fflush(stdout);
    return c;
}

int CON_putString(int, const char* psz)
{
    std::fputs(psz, stdout);
    return std::fflush(stdout);
}

int CON_putCounted(int, char* buffer, int length)
{
    buffer[length] = '\0';
    std::fputs(buffer, stdout);
    std::putchar('\n');
    return std::fflush(stdout);
}

int CON_getChar() { return std::getchar(); }

// A descriptor that cannot answer (not a terminal, closed) has no key waiting.
int CON_keyWaiting()
{
    int waiting = 0;
    if (ioctl(0, FIONREAD, &waiting) != 0)
        return 0;
    return waiting;
}

// With nothing read (end of input or a failed read) the buffer holds an empty
// text at the start index, and nothing before it is touched.
int CON_readLine(char* buffer, const int* start, int size)
{
    const int room = size - *start;
    if (room <= 0)
        return '\r';
    const ssize_t got = read(0, buffer + *start, static_cast<size_t>(room));
    if (got <= 0)
        buffer[*start] = '\0';
    else
        buffer[*start + got - 1] = '\0';
    return '\r';
}
