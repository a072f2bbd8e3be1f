// The command line of a purge program, read once: the words that begin with
// a dash, the same for every purge, and the letter words of the program's
// kind, told by their first letter in either case.  Reading prints nothing:
// what the words ask for (a version line, a note on a word that fits no
// option, a refusal) is kept in their order, and the run tells it.
#pragma once

#include "purge_engine.hpp"
#include "purge_paths.hpp"
#include "purge_programs.hpp"

#include <vector>

// What a letter word sets.
struct PurgeSettings {
    int nDelDays = 30;     // the age purges' limit, D=
    int nBullDelete = 30;  // KELDRAN's limits: B= for the mail that is not private,
    int nPrivDelete = 30;  // P= for private mail
    char szBinPath[kDirectorySize] = "../system/bin/";
    char szMailPath[kPathSize] = "../mail/";
};

// What a letter word asks the run to tell, in the order of the words.
struct LetterNote {
    enum Kind {
        Version,   // V: the version line, on standard output
        Ignored,   // a word that fits no option
        BelowOne,  // a limit below 1, which counts as 1
        NotALimit, // a limit that is not a whole number: the last note
    } kind;
    const char* word;
};

struct PurgeCommand {
    enum class Asked { Run, Help, Version, Refused };
    Asked asked = Asked::Run;
    // The first dash word refused, and whether for its value (a wait).
    const char* refusedWord = nullptr;
    bool refusedWait = false;

    bool dryRun = false;
    bool quiet = false;
    bool verbose = false;
    bool check = false;  // reads the files and names their faults, writing nothing
    PurgeWaits waits;

    enum class Letters { Run, PathTooLong, Refused };
    Letters letters = Letters::Run;
    PurgeSettings settings;
    std::vector<LetterNote> notes;
};

PurgeCommand readCommandLine(PurgeKind kind, int argc, char* argv[]);

// The value of an option "X=value" whose first letter is letter in either
// case; null when the word is not that option.
const char* optionValue(const char* word, char letter);

// Copies a text into a buffer of size bytes; false when it does not fit.
bool copyText(char* buffer, size_t size, const char* text);
