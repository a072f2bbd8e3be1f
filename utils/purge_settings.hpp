// What the words of a purge's command line set, as plain values that every
// layer below the command line takes: the letter words' limits and
// directories, and the dash words' waits.  The letter words are read by one
// parser, from argv and from a mark alike: a mark is read as strictly as a
// command line.
#pragma once

#include "purge_paths.hpp"

#include <cstddef>
#include <span>
#include <vector>

// What a letter word sets.
struct PurgeSettings {
    int nDelDays = 30;     // the age purges' limit, D=
    int nBullDelete = 30;  // KELDRAN's limits: B= for the mail that is not private,
    int nPrivDelete = 30;  // P= for private mail
    char szBinPath[kDirectorySize] = "../system/bin/";
    char szMailPath[kPathSize] = "../mail/";
};

// How long a run waits for what others hold.
struct PurgeWaits {
    double leaseSeconds = 5;    // for the node server to close the data file
    double lockSeconds = 600;   // for another purge of the same directory to end
    bool withoutLease = false;  // when the wait for the lease ends, purge all the same
};

// The letter words of a kind of purge, told by their first letter in either
// case, and those of its settings that a mark keeps, in their order.
enum class Setting { DelDays, BullDelete, PrivDelete, DataDirectory, MailPrefix };
struct LetterWord {
    char letter;
    Setting setting;
};
struct LetterWords {
    std::span<const LetterWord> letters;
    const char* inMark;  // "BPM": "B=30 P=14 M=../mail/"
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

enum class LettersRead { Run, PathTooLong, Refused };

// Reads one letter word into settings, its note (if any) added to notes.
LettersRead readLetterWord(const LetterWords& words, const char* word, PurgeSettings& settings,
                           std::vector<LetterNote>& notes);

// The settings of a mark, one line: the words of inMark, a blank between
// them; a directory or prefix runs to the end of the line, so that it may
// hold any byte.  Reading takes each word as a command line would, and
// fails on a word that it would refuse, ignore or note (but for a limit
// below 1, which counts as 1), and on a word of inMark that is missing.
void writeMarkSettings(const LetterWords& words, const PurgeSettings& settings, char* text,
                       size_t size);
bool readMarkSettings(const LetterWords& words, const char* text, PurgeSettings& settings);

// The value of an option "X=value" whose first letter is letter in either
// case; null when the word is not that option.
const char* optionValue(const char* word, char letter);

// Copies a text into a buffer of size bytes; false when it does not fit.
bool copyText(char* buffer, size_t size, const char* text);
