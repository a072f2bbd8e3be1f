// Runs a built program in a directory, with its clock frozen by libfaketime
// when asked, and collects its output and exit status.
#pragma once

#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

struct RunOptions {
    std::string directory = ".";
    time_t frozenClock = 0;  // 0: the real clock
    std::string tz = "UTC";
    bool unprivileged = false;  // as nobody when the tests run as root
};

struct RunResult {
    int status = -1;  // exit status, or -1 when ended by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const RunOptions& options = {});

// Starts a program with its output sent to /dev/null; the caller waits.
pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const RunOptions& options);

// The status of a started program, as runProgram reports it.
RunResult waitProgram(pid_t pid);
