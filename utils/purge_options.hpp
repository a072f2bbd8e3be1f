// The options of the purges, each written once, as a row of a table: its
// word, its lines in the usage text, its paragraph in the manual page.  The
// usage text's synopsis and option list (purge_usage) and the manual page's
// SYNOPSIS and OPTIONS (man/purge_manual.cpp) are made from these rows: the
// letter options of each kind (PurgeKind::options), then the dash options
// that every purge shares.
#pragma once

#include <span>

// Where the synopsis shows an option: in brackets among a run's options;
// after the others, with a bar between them ("NAME --help | --version"); or,
// in the manual page only, on a line of its own with the kind's options that
// name the files and the dash options it takes ("NAME --check [P=directory]
// [--quiet] [--verbose]").
enum class InSynopsis { Run, Alone, OwnLine };

struct OptionText {
    // As the synopsis shows it: "B=days", "--lease-wait=SECONDS".
    const char* word;
    // The usage text's lines, after the word's column, "\n" where a line
    // breaks; null for an option that the usage text tells with another.
    const char* usage;
    // The manual page's paragraph, in roff.
    const char* page;
    // The usage text's word, where it is not word ("--help, --version").
    const char* usageWord = nullptr;
    InSynopsis synopsis = InSynopsis::Run;
    // On a line of its own: the dash options that it takes.
    std::span<const char* const> takes = {};
};

struct OptionTexts {
    std::span<const OptionText> options;
    int usageColumn;  // where the usage text's lines begin
};

// The options of every purge.
extern const OptionTexts kDashOptions;
