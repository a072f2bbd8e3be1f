// The paths of a purge's files, built from the directory text of the
// command line before anything is opened.
#pragma once

#include <cstddef>

constexpr size_t kPathSize = 256;        // a data, backup or message path
constexpr size_t kDirectorySize = 1024;  // a directory text from the command line
constexpr char kMarkSuffix[] = ".purging";

struct PurgePaths {
    char szBin[kPathSize];
    char szOld[kPathSize];
    char szMark[kPathSize + sizeof kMarkSuffix];
    char szDirectory[kPathSize];
};

// Builds the paths from a directory text: one that ends in a slash is a
// prefix, any other (an empty one too) is followed by a slash.  The backup
// is the data path with its last four characters replaced by ".old"; the
// mark is the data path with ".bin" replaced by ".purging".  False when a
// path does not fit.
bool buildPurgePaths(const char* directory, const char* dataFileName, PurgePaths& paths);
