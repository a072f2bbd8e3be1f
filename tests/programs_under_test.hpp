// The purge programs as the tests expect them: one row each, with the files
// a run keeps and leaves, the words it prints, and records of its file.
// Every harness takes them from here, so that a program's files and record
// size are written down once, apart from the product's own table that the
// tests check.
#pragma once

#include "file_io.hpp"
#include "purge_programs.hpp"
#include "test_files.hpp"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <span>
#include <string>
#include <vector>

struct Day {
    int year, month, day;
};

// The frozen clock of the tests' runs, 7 December 2026 at 12:00 UTC, and
// a purge's clock that gives it.
extern const time_t kTestNow;
time_t testClock();

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

// The name that the node gives the file of a message, its number signed:
// "m0000042.msg", "m-000042.msg".
std::string messageName(int32_t number);

// A node tree: system/bin, mail, and run, where the programs start so that
// their default paths hold.  Only their owner may write them, as on a node:
// a run as root refuses a directory that others can write.
struct NodeTree {
    TempDir dir;
    std::string bin = dir / "system/bin";
    std::string mail = dir / "mail";
    NodeTree();
    std::string data(const std::string& name) const { return bin + "/" + name; }
    std::string message(int32_t number) const { return mail + "/" + messageName(number); }
    // A purge's words for this tree, with the letters of its row: its data
    // directory, the mail prefix of the mail purge, and its limit in days.
    std::vector<std::string> arguments(const ProgramUnderTest& p, int days) const;
};

// A run of a purge in the test's process, through the program's own entry,
// with the clock and disk given: its status and what it printed.
struct InProcessRun {
    int status;
    std::string out, err;
};
InProcessRun runInProcess(const ProgramUnderTest& p, std::vector<std::string> words, FileIo& io,
                          time_t (*clock)());
