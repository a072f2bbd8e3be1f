// The mark that a purge leaves beside the backup before it truncates the
// data file: what a later run needs to complete the rewrite if this one is
// stopped.  It is a short text file, readable by an operator.
#pragma once

#include <cstddef>
#include <cstdint>

struct PurgeMark {
    // The whole records copied to the backup before the lease, and the bytes
    // of those that stay.  The records that the node appended meanwhile are
    // copied under the lease after them, before the truncation, so the
    // backup's own length tells where they end.
    uint64_t backupLength = 0;
    uint64_t keptLength = 0;
    int64_t judgementTime = 0;  // the one calendar time against which every record is judged
    char settings[1400] = {};   // the limits (and KELDRAN's mail prefix) that judge the records
};

constexpr size_t kMarkTextSize = 4096;  // three paths of 256 and the settings fit

// The text of a mark; false when it does not fit in size bytes.
bool formatMark(const PurgeMark& mark, const char* program, const char* data, const char* backup,
                char* text, size_t size, size_t& length);

enum class MarkKind {
    Current,         // a mark of this format
    Empty,           // created, but stopped before its text was on disk: nothing was truncated
    EarlierVersion,  // "NAME is rewriting ..." alone: the data file was emptied and rewritten
    Unreadable,
};

MarkKind parseMark(const char* text, size_t length, const char* program, PurgeMark& mark);
