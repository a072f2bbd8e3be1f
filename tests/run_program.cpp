#include "run_program.hpp"

#include "test_emulator.hpp"
#include "test_files.hpp"

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

bool emulated() { return kTestEmulator[0] != nullptr; }

// What a child executes, made before the fork: the child only execs.
struct Command {
    std::vector<std::string> words;        // argv; words[0] is the file executed
    std::vector<std::string> environment;  // envp
};

// The program's environment.  An emulator gets LD_PRELOAD as an option that
// sets it for the program alone: loaded into the emulator, a library of the
// target would only fail.
Command commandFor(const std::string& program, const std::vector<std::string>& arguments,
                   const RunOptions& options, const std::string& clockLibrary)
{
    Command command;
    command.environment = {"PATH=/usr/bin:/bin", "TZ=" + options.tz, "LC_ALL=C"};
    std::string preload;
    if (options.frozenClock != 0) {
        preload = "LD_PRELOAD=" + clockLibrary;
        command.environment.push_back("FAKETIME_FMT=%s");
        command.environment.push_back("FAKETIME=" + std::to_string(options.frozenClock));
        command.environment.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
        command.environment.push_back("FAKETIME_NO_CACHE=1");
        // A sanitized program sees libfaketime loaded before its runtime.
        command.environment.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    }
    for (const char* const* word = kTestEmulator; *word; ++word)
        command.words.emplace_back(*word);
    if (!preload.empty()) {
        if (emulated()) {
            command.words.emplace_back("-E");
            command.words.push_back(preload);
        } else {
            command.environment.push_back(preload);
        }
    }
    command.words.push_back(program);
    command.words.insert(command.words.end(), arguments.begin(), arguments.end());
    return command;
}

std::vector<char*> pointers(std::vector<std::string>& texts)
{
    std::vector<char*> result;
    for (std::string& text : texts)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// libfaketime names its shared memory and semaphore after the process; a
// program killed before its exit leaves them behind, and a later one that
// gets the same pid would then fail to start.  In the child, between fork
// and exec: async-signal-safe calls only.
void removeStaleClockState()
{
    char digits[24];
    char* first = digits + sizeof digits - 1;
    *first = '\0';
    for (long pid = getpid(); pid > 0; pid /= 10)
        *--first = static_cast<char>('0' + pid % 10);
    for (const char* prefix : {"/dev/shm/faketime_shm_", "/dev/shm/sem.faketime_sem_"}) {
        char path[64];
        stpcpy(stpcpy(path, prefix), first);
        unlink(path);
    }
}

[[noreturn]] void execChild(Command& command, const RunOptions& options, int out, int err)
{
    if (dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(options.directory.c_str()) != 0)
        _exit(126);
    if (options.frozenClock != 0)
        removeStaleClockState();
    if (options.unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        _exit(126);
    const std::vector<char*> argv = pointers(command.words);
    const std::vector<char*> envp = pointers(command.environment);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
}

pid_t spawn(Command command, const RunOptions& options, int out, int err)
{
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0)
        execChild(command, options, out, err);
    return pid;
}

// A copy of a file, with the permissions to run it, in a directory that every
// user can enter: an unprivileged run cannot reach a build tree that lies in
// a directory closed to others (a home, a mktemp -d).
std::string reachableCopy(const std::string& path, const TempDir& dir)
{
    const std::string copy = dir / path.substr(path.find_last_of('/') + 1);
    writeFile(copy, readFile(path));
    if (chmod(copy.c_str(), 0755) != 0)
        throw std::runtime_error("cannot make " + copy + " executable");
    return copy;
}

}  // namespace

RunResult waitProgram(pid_t pid, int timeoutSeconds)
{
    int raw = 0;
    RunResult result;
    for (int tick = 0;; ++tick) {
        const pid_t ended = waitpid(pid, &raw, timeoutSeconds > 0 ? WNOHANG : 0);
        if (ended == pid)
            break;
        if (ended < 0)
            throw std::runtime_error("waitpid failed");
        if (tick == timeoutSeconds * 100) {
            result.timedOut = true;
            kill(pid, SIGKILL);
        }
        usleep(10000);
    }
    if (WIFEXITED(raw))
        result.status = WEXITSTATUS(raw);
    else if (WIFSIGNALED(raw))
        result.signal = WTERMSIG(raw);
    return result;
}

RunResult runProgram(const std::string& program, const std::vector<std::string>& arguments,
                     const RunOptions& options)
{
    TempDir capture;
    std::string path = program;
    std::string clockLibrary = CLOCK_LIBRARY;
    if (options.unprivileged && geteuid() == 0) {
        path = reachableCopy(program, capture);
        if (options.frozenClock != 0)
            clockLibrary = reachableCopy(clockLibrary, capture);
    }
    const std::string outPath = capture / "out";
    const std::string errPath = capture / "err";
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0 || err < 0)
        throw std::runtime_error("cannot open the capture files");
    const pid_t pid = spawn(commandFor(path, arguments, options, clockLibrary), options, out, err);
    const bool outClosed = close(out) == 0;
    const bool closed = close(err) == 0 && outClosed;
    RunResult result = waitProgram(pid, options.timeoutSeconds);
    if (!closed)
        throw std::runtime_error("cannot close the capture files");
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const RunOptions& options)
{
    if (options.unprivileged)
        throw std::invalid_argument("startProgram runs as the user of the tests");
    const int null = open("/dev/null", O_WRONLY);
    if (null < 0)
        throw std::runtime_error("cannot open /dev/null");
    const pid_t pid = spawn(commandFor(program, arguments, options, CLOCK_LIBRARY), options, null, null);
    if (close(null) != 0)
        throw std::runtime_error("cannot close /dev/null");
    return pid;
}

std::string shellCommand(const std::string& program)
{
    std::string command;
    auto quote = [&command](const std::string& word) {
        command += '\'';
        for (char c : word)
            command += c == '\'' ? std::string("'\\''") : std::string(1, c);
        command += "' ";
    };
    for (const char* const* word = kTestEmulator; *word; ++word)
        quote(*word);
    quote(program);
    command.pop_back();
    return command;
}
