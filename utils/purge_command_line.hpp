// The command line of a purge program, read once: the words that begin with
// a dash, the same for every purge, and the letter words of the program's
// kind, told by their first letter in either case.  Reading prints nothing:
// what the words ask for (a version line, a note on a word that fits no
// option, a refusal) is kept in their order, and the run tells it.
#pragma once

#include "purge_kind.hpp"
#include "purge_settings.hpp"

#include <vector>

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

    LettersRead letters = LettersRead::Run;
    PurgeSettings settings;
    std::vector<LetterNote> notes;
};

PurgeCommand readCommandLine(const PurgeKind& kind, int argc, char* argv[]);
