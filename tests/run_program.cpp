#include "run_program.hpp"

#include "test_files.hpp"

#include <cstdlib>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace {

std::vector<std::string> environmentFor(const RunOptions& options)
{
    std::vector<std::string> environment = {"PATH=/usr/bin:/bin", "TZ=" + options.tz, "LC_ALL=C"};
    if (options.frozenClock != 0) {
        environment.push_back(std::string("LD_PRELOAD=") + FAKETIME_LIBRARY);
        environment.push_back("FAKETIME_FMT=%s");
        environment.push_back("FAKETIME=" + std::to_string(options.frozenClock));
        environment.push_back("FAKETIME_DONT_FAKE_MONOTONIC=1");
        environment.push_back("FAKETIME_NO_CACHE=1");
        // A sanitized program sees libfaketime loaded before its runtime.
        environment.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    }
    return environment;
}

[[noreturn]] void execChild(const std::string& program, const std::vector<std::string>& arguments,
                            const RunOptions& options, int out, int err)
{
    if (dup2(out, 1) < 0 || dup2(err, 2) < 0 || chdir(options.directory.c_str()) != 0)
        _exit(126);
    if (options.unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        _exit(126);
    std::vector<std::string> environment = environmentFor(options);
    std::vector<char*> argv = {const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
}

pid_t spawn(const std::string& program, const std::vector<std::string>& arguments,
            const RunOptions& options, int out, int err)
{
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0)
        execChild(program, arguments, options, out, err);
    return pid;
}

}  // namespace

RunResult waitProgram(pid_t pid)
{
    int raw = 0;
    if (waitpid(pid, &raw, 0) != pid)
        throw std::runtime_error("waitpid failed");
    RunResult result;
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
    const std::string outPath = capture / "out";
    const std::string errPath = capture / "err";
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0 || err < 0)
        throw std::runtime_error("cannot open the capture files");
    const pid_t pid = spawn(program, arguments, options, out, err);
    close(out);
    close(err);
    RunResult result = waitProgram(pid);
    result.out = readFile(outPath);
    result.err = readFile(errPath);
    return result;
}

pid_t startProgram(const std::string& program, const std::vector<std::string>& arguments,
                   const RunOptions& options)
{
    const int null = open("/dev/null", O_WRONLY);
    const pid_t pid = spawn(program, arguments, options, null, null);
    close(null);
    return pid;
}
