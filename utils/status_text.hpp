// An exit status as a usage text and a manual page show it, for every
// program's table of statuses.
#pragma once

#include <cstdio>

// The number right-aligned in three columns, two blanks, the text, its
// further lines ("\n" in it) indented to it.
inline void printStatusLine(FILE* out, int status, const char* text)
{
    std::fprintf(out, "%3d  ", status);
    for (; *text != '\0'; ++text) {
        std::fputc(*text, out);
        if (*text == '\n')
            std::fputs("     ", out);
    }
    std::fputc('\n', out);
}
