// Record fields as text for an operator's eyes, in the lines that --verbose
// shows of the records that a purge drops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

// The line that --verbose shows of a mail record: its date and the fields
// that tell it, without the line end.  Each age purge's own is in its row.
void describeMail(const unsigned char* record, char* line, size_t size);

// The oldest date whose records stay under a limit in days, judged at now
// as the purges judge it: the age counts from 00:00 local standard time of
// the date, and a record stays while its age is below limit times 86400
// seconds (keptAtLimit: not above it).  Written as "7-Nov-2026"; false
// where the date cannot be told.
bool oldestDateKept(time_t now, int days, bool keptAtLimit, char* text, size_t size);

// Why a record goes by its age, in whole days: "41 days old, limit 30",
// limitName before the limit ("P=" gives "limit P=30").  An age in the
// limit's own day that goes (keptAtLimit) is "over 30 days old".
void ageReason(int64_t age, const char* limitName, int days, bool keptAtLimit, char* text,
               size_t size);

// Appends to a line what a fixed text field holds: up to its first NUL and
// never past its size, a byte outside printable ASCII as \xNN, an empty
// field as "-".
class LineText {
public:
    LineText(char* line, size_t size) : line_(line), size_(size) { line_[0] = '\0'; }
    LineText& field(const void* field, size_t size);
    LineText& text(const char* text);

private:
    void put(const char* bytes, size_t length);

    char* line_;
    size_t size_;
    size_t used_ = 0;
};

// Why a date field names no day of the calendar, in the words of a finding;
// empty when it names one.
struct DateFault {
    DateFault() { why[0] = '\0'; }
    char why[160];
    bool found() const { return why[0] != '\0'; }
};

// A 12-byte date text as the node writes it: dd-Mon-yyyy and its NUL, a day
// below 10 after a blank (or a zero), a month name of the node's own.
DateFault textDateFault(const char* field);
// A packed date-time: a day of its month, a month index 0-11, an hour 0-23
// and a minute 0-59.
DateFault packedDateFault(uint32_t dateTime);
