// The exit statuses of dbindex, and what each one means, written once: its
// usage text and its manual page are made from this table.
#pragma once

#include <cstdio>
#include <span>

enum Status {
    kDone = 0,
    kNoName = 1,
    kCannotOpenDatabase = 2,
    kCannotOpenIndex = 3,
    kNameTooLong = 4,
    kReadFailed = 5,
    kWriteFailed = 6,
    kOutputFailed = 7,
    kIndexDiffers = 8,
    kUsageError = 9,
    kRefusedAsRoot = 10,
};

struct StatusText {
    Status status;
    const char* usage;  // as the usage text shows it: "\n" where its line breaks
    const char* page;   // the manual page's paragraph, in roff
};

extern const std::span<const StatusText> kDbindexStatuses;

// The usage text's lines of the statuses.
void printDbindexStatuses(FILE* out);
