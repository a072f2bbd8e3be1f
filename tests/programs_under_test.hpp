// The purge programs as the tests expect them: one row each, with the files
// a run keeps and leaves, the words it prints, and records of its file.
// Every harness takes them from here, so that a program's files and record
// size are written down once, apart from the product's own table that the
// tests check.
#pragma once

#include "purge_programs.hpp"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>

struct Day {
    int year, month, day;
};

// The UTC day that lies days before when.
Day dayBefore(time_t when, int days);
std::string dateText(Day day);

struct ProgramUnderTest {
    const char* name;
    const char* path;               // the built program
    const PurgeProgram* program;    // the product's row, for a run in the test's process
    const char* data;
    const char* backup;
    const char* mark;
    size_t recordSize;
    size_t dateOffset;    // of the 12-byte date text, or of the packed date-time
    bool mail;
    const char* noun;     // what the closing line counts; KELDRAN's counts nothing
    const char* version;  // the line of V and --version
    char limitLetter;     // the limit in days: B= (and P=) of mail, D= of the others
    char directoryLetter; // the data directory: D= of mail, P= of the others
    // How a failed open is named: of the data file, of the backup, of the
    // data file for its rewrite.
    const char* opens[3];
    // A record dated day, its other bytes made from seed; a mail record is a
    // bulletin, new, that may be deleted.
    std::string (*record)(Day day, uint32_t seed);
};

// A row for each purge of cmake/programs.cmake, in the list's order.
extern const std::span<const ProgramUnderTest> kProgramsUnderTest;

// The row of a program's name; the test fails on a name of no row.
const ProgramUnderTest& programUnderTest(const char* name);

// A record of the mail directory file, with its fields.
struct MailRecord {
    char type = 'B';
    char status = 'N';
    uint32_t number = 1;
    std::string date;           // 12-byte date field
    unsigned char noAutoDelete = 0;
};
std::string mailRecord(const MailRecord& fields);
