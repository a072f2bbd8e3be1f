// What dbindex tells: its standard output, held in a file of its own with
// --quiet, and each error, told on standard output and again, with the path
// as the system saw it, on standard error.  The reports only report: what
// they say on standard error waits with the held output, and the run gives
// both back once, at its end (releaseOutput).
#pragma once

#include "console.hpp"
#include "dbindex_texts.hpp"

#include <climits>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <sys/types.h>

// With --quiet, standard output waits in a file of its own: a run that
// succeeds shows nothing, one that fails shows all of it, as without.
bool holdOutput();
bool holdingOutput();
// Puts standard output back, with what it held when show, then writes on
// standard error what the errors said meanwhile, so that the two come in
// the order they happened.
bool releaseOutput(bool show);

// Where an error's line goes: standard error, or while the output is held,
// a buffer that releaseOutput writes to it.
FILE* errors();

// A path as the system saw it, from the working directory.
struct SeenPath {
    explicit SeenPath(const char* path)
    {
        char directory[PATH_MAX];
        if (path[0] == '/' || !getcwd(directory, sizeof directory))
            std::snprintf(text, sizeof text, "%s", path);
        else if (std::strcmp(path, ".") == 0)
            std::snprintf(text, sizeof text, "%s", directory);
        else
            std::snprintf(text, sizeof text, "%s/%s", directory, path);
    }
    char text[2 * PATH_MAX];
};

// The error's line, on errors().
void tellError(const char* verb, const char* path, const char* reason);

// A path as the messages on standard output show it: upper-cased.
struct ShownPath {
    explicit ShownPath(const char* path)
    {
        std::snprintf(text, sizeof text, "%s", path);
        STR_upper(text);
    }
    char text[PATH_MAX + 8];
};

// The error of the failed open, or the kind of file that was refused.
int reportOpenFailure(const char* path, int status, mode_t notRegular = 0);
int reportIoFailure(const char* verb, const char* path, int error, int status,
                    const char* after = "");
