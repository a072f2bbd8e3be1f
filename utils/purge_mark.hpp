// The mark that a purge leaves beside the backup before it truncates the
// data file: what a later run needs to complete the rewrite if this one is
// stopped, by a kill or by a power cut.  It is a short text file, readable
// by an operator.
#pragma once

#include <cstddef>
#include <cstdint>

// What a mark says; its writer (the purge) and its reader (the recovery)
// both rest on this statement.
//
//  - No mark: no rewrite is under way, and the data file is whole.
//  - A mark without its text (empty, or zero bytes only): the run stopped
//    before the text was on disk.  The text is synced before the data file
//    is touched, so the data file was not.
//  - backupLength: the whole records copied to the backup before the lease.
//    The records that the node appended meanwhile were copied after them
//    under the lease, before the truncation, so the backup's own length
//    tells where all of them end.
//  - keptLength: the bytes of the records that stay among the first
//    backupLength; those copied under the lease are judged again.  Every
//    record is judged against judgementTime with settings, so that a later
//    run keeps exactly the records that this one kept.
//  - truncationDurable: false ("pending") until the data file's truncation
//    to the length of all the kept records is on disk; then true
//    ("durable"), written over the word in place and synced before the
//    lease is released.
//      durable: every byte past the kept length was appended by the node
//        after the truncation; the kept records are written again below it.
//      pending: the node appended nothing while the run held its lease, but
//        the truncation may not have reached the disk.  Where the data file
//        still holds, from the kept length to the backup's, the backup's
//        bytes or zeros (a truncation clears the rest of its last block),
//        it did not: the data file is restored from the backup below the
//        backup's length, keeping what lies beyond (appended once the power
//        came back).  Otherwise it did, and as for durable.
//    A mark of the version before this word (format 2) counts as pending.
struct PurgeMark {
    uint64_t backupLength = 0;
    uint64_t keptLength = 0;
    int64_t judgementTime = 0;
    bool truncationDurable = false;
    char settings[1400] = {};  // the limits (and KELDRAN's mail prefix) that judge the records
};

constexpr size_t kMarkTextSize = 4096;  // three escaped paths of 256 and the settings fit

// The text of a mark, and the offset of the word that the truncation's
// durability overwrites (kDurableWord over kPendingWord); false when
// it does not fit in size bytes.
bool formatMark(const PurgeMark& mark, const char* program, const char* data, const char* backup,
                char* text, size_t size, size_t& length, size_t& truncationAt);
constexpr char kDurableWord[] = "durable";
constexpr char kPendingWord[] = "pending";
static_assert(sizeof kDurableWord == sizeof kPendingWord);

enum class MarkKind {
    Current,     // a mark of this format, or of the one before it
    Empty,       // created, but stopped before its text was on disk: nothing was truncated
    Unreadable,  // torn, or not a mark that these tools write
};

MarkKind parseMark(const char* text, size_t length, PurgeMark& mark);
