// The processes that keep a file open, found in /proc: what a purge that
// waited in vain for its lease names, so that the operator knows whom to
// stop.  It only looks: a process whose entries this one may not read (those
// of another user, most often) is passed over without a word, and what it
// finds is a hint, since a process may open or close the file at any moment.
#pragma once

#include "file_io.hpp"

#include <sys/types.h>
#include <vector>

struct FileHolder {
    // How its descriptors on the file were opened: for writing where any was.
    enum class Access { Unknown, Reading, Writing };
    pid_t pid = 0;
    Access access = Access::Unknown;
    char name[64] = {};     // /proc/PID/comm
    char command[160] = {}; // /proc/PID/cmdline, its words joined by spaces, cut to fit
};

struct FileHolders {
    bool looked = false;  // false: the file or /proc could not be looked at (error says why)
    int error = 0;
    std::vector<FileHolder> holders;  // by pid; this process is never among them
};

// The holders of the file open on fd.
FileHolders findFileHolders(FileIo& io, int fd);
