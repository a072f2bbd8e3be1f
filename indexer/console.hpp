// Console and string operations of an MS-DOS text console, on top of the
// standard streams and the terminal on descriptor 0.  Cursor handling is
// reduced to stubs: the cursor is always at column 1, row 1, and moving it
// does nothing.
#pragma once

// The C library's classes and conversion tables, read once for all 256 byte
// values: the program never changes its locale, so they stay the same, and a
// fold costs one table look-up per byte instead of two library calls.
struct CaseTables {
    char upper[256];
    char lower[256];
    CaseTables();
};
inline const CaseTables kCaseTables;

char* STR_reverse(char* psz);
char* STR_upper(char* psz);
char* STR_lower(char* psz);

void CON_moveTo(int column, int row);
int CON_column();
int CON_row();

int CON_putChar(int c);
int CON_putString(int ignored, const char* psz);
int CON_putCounted(int ignored, char* buffer, int length);

int CON_getChar();
int CON_keyWaiting();
int CON_readLine(char* buffer, const int* start, int size);
