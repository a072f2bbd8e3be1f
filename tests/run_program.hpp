// Runs a built program in a directory, with its clock frozen by libfaketime
// (or by frozen_clock) when asked, and collects its output and exit status.
// A cross build's programs run under its emulator.
#pragma once

#include <ctime>
#include <string>
#include <sys/types.h>
#include <vector>

struct RunOptions {
    std::string directory = ".";
    time_t frozenClock = 0;  // 0: the real clock
    std::string tz = "UTC";
    bool unprivileged = false;  // as nobody when the tests run as root, from a copy of the program
    int timeoutSeconds = 0;     // a run still going then is killed; 0: none
};

struct RunResult {
    int status = -1;  // exit status, or -1 when ended by a signal
    int signal = 0;
    bool timedOut = false;  // killed at the end of its timeout
    std::string out;
    std::string err;
};

RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const RunOptions& options = {});

// Starts a program with its output sent to /dev/null, as the user of the
// tests; the caller waits.
pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const RunOptions& options);

// The status of a started program, as runProgram reports it; one still
// running after timeoutSeconds (0: no end) is killed.
RunResult waitProgram(pid_t pid, int timeoutSeconds = 0);

// The shell words that run a program: its quoted path, after the emulator of
// a cross build.
std::string shellCommand(const std::string& program);
