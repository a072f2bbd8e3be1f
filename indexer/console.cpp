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

// The byte goes through unsigned char: a byte of 0x80 or more must not reach
// the class tables as a negative index.
char* STR_upper(char* psz)
{
    for (char* p = psz; *p != '\0'; ++p) {
        const int c = static_cast<unsigned char>(*p);
        if (std::islower(c))
            *p = static_cast<char>(std::toupper(c));
    }
    return psz;
}

char* STR_lower(char* psz)
{
    for (char* p = psz; *p != '\0'; ++p) {
        const int c = static_cast<unsigned char>(*p);
        if (std::isupper(c))
            *p = static_cast<char>(std::tolower(c));
    }
    return psz;
}

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
