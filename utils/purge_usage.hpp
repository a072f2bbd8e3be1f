// What a purge program tells of itself: its version line, its usage text
// (the short one with a refusal, the whole one with --help), and the exit
// statuses of its kind, each from the program's row and the status table.
#pragma once

#include "purge_programs.hpp"

#include <array>
#include <cstdio>
#include <span>
#include <string>

void printVersionLine(const PurgeProgram& program, FILE* out);
void printUsage(const PurgeProgram& program, FILE* out, bool whole);

// The statuses that a program can give, a line each as the usage text shows
// them: the number right-aligned in three columns, two blanks, the text,
// its further lines indented to it.
void printStatuses(const PurgeProgram& program, FILE* out);
// The tables of those statuses, in their order: those of every purge, the
// kind's own, then those of --check.
std::array<std::span<const StatusMeaning>, 3> statusTables(const PurgeProgram& program);

// A text of the option tables with the program's names in place of @NAME@,
// @DATA@, @BACKUP@, @MARK@ and @RECORDS@.
std::string withNames(const char* text, const PurgeProgram& program);
