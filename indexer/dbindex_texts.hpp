// dbindex's texts that both its usage text and its manual page show, each
// written once: its exit statuses, its options and its synopsis.  The usage
// text is printed from these tables, and dbindex_manual makes the manual
// page's SYNOPSIS, OPTIONS and EXIT STATUS from them.
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

struct DbindexOption {
    const char* word;  // "--check"
    // Its sentences in the usage text's description; null for an option
    // that the synopsis tells enough of.
    const char* usage;
    const char* page;  // the manual page's paragraph, in roff
};

extern const std::span<const DbindexOption> kDbindexOptions;

// One line for each form of the command, after "dbindex": a bracketed word
// is optional, a word in capitals is an argument, "|" stands between two
// words of which one is given.
extern const std::span<const char* const> kDbindexSynopsis;

// "usage: dbindex ...", one line for each form.
void printDbindexSynopsis(FILE* out);
// The whole usage text of --help: the synopsis, what dbindex does, its
// options and its statuses.
void printDbindexUsage(FILE* out);
