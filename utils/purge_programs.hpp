// The purge programs, each declared once, as a row of one table: its
// name and files, its records and how their dates are read, its texts.
// Everything that differs between the programs is here; the rest is the
// purge of its kind.
#pragma once

#include "date_cache.hpp"
#include "purge_kind.hpp"
#include "record_text.hpp"

#include <cstddef>
#include <ctime>

struct PurgeProgram {
    const char* name;        // "VOSKIL"
    const PurgeKind& kind;
    const char* version;     // "1.0": the version line is "VOSKIL v 1.0"
    const char* fileStem;    // "announce": announce.bin, announce.old, announce.purging
    size_t recordSize;
    // The age purges' own: what the records are, for the usage text and the
    // manual page ("announcements"), and what the closing line counts.
    const char* recordsName;
    const char* countedAs;   // "spots": "MIRKOS completed : 4 spots left, 2 deleted."
    // Calendar time of the start of the record's date.
    time_t (*recordDay)(const unsigned char* record, DateCache& dates);
    // Why that date names no day of the calendar, for --check.
    DateFault (*dateFault)(const unsigned char* record);
    // The line that --verbose shows of a dropped record: its date and the
    // fields that tell it, without the line end.
    void (*describe)(const unsigned char* record, char* line, size_t size);
};

// The rows of the purges of cmake/programs.cmake (kKeldran for KELDRAN) and
// kPurgePrograms, the table of them in the list's order: written by the
// build from the list.
#include "purge_program_list.hpp"

// The row of a program's name; null for a name of no purge.
const PurgeProgram* findPurgeProgram(const char* name);

// A file name of the program: stem and suffix ("dx", ".old").
struct ProgramFileName {
    char text[64];
};
ProgramFileName programFile(const PurgeProgram& program, const char* suffix);

// KELDRAN reads its backup back through the descriptor it wrote it with:
// its data file is reopened, never its backup.
inline bool reopensBackup(const PurgeProgram& program)
{
    return openFailureName(program.kind, OpenStep::BackupForReading) != nullptr;
}
