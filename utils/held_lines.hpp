// Lines about the records that a run drops, which wait in a file of their
// own until the run has done what they tell: a run that stops before it
// changes anything shows none of them, and memory stays the same however
// many there are.
#pragma once

#include <cstdio>

// Where the rules of a run write, the same way for every program: the lines
// about the records that the run drops go to out (none with quiet; with
// verbose, one more for each record, with the reason it goes), notes and
// failures to err, each of those beginning with the program's name.
struct RulesOutput {
    const char* program;
    FILE* out;
    FILE* err;
    bool quiet;
    bool verbose;
};

// What rules made from a mark's line write: nothing on out.
inline RulesOutput silenced(const RulesOutput& output)
{
    return {output.program, output.out, output.err, true, false};
}

class HeldLines {
public:
    HeldLines() = default;
    HeldLines(const HeldLines&) = delete;
    HeldLines& operator=(const HeldLines&) = delete;
    ~HeldLines();

    // Holds one line (printf-like).  Without a file to hold them in, the
    // lines go to out at once.
    void add(FILE* out, const char* format, ...) __attribute__((format(printf, 3, 4)));

    // Writes the held lines to out; false, with errno set, when some were
    // lost.
    bool release(FILE* out);

private:
    FILE* file_ = nullptr;
    bool noFile_ = false;
};
