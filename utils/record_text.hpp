// Record fields as text for an operator's eyes, in the lines that --verbose
// shows of the records that a purge drops.
#pragma once

#include <cstddef>
#include <cstdio>

// The line that --verbose shows of a record of each file: its date and the
// fields that tell it, without the line end.
void describeMail(const unsigned char* record, char* line, size_t size);
void describeAnnouncement(const unsigned char* record, char* line, size_t size);
void describeReport(const unsigned char* record, char* line, size_t size);
void describeSpot(const unsigned char* record, char* line, size_t size);

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
