#include "purge_guards.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

Clock::time_point after(double seconds)
{
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

DirectoryLock::~DirectoryLock()
{
    if (fd_ >= 0)
        io_.close(fd_);
}

DirectoryLock::Outcome DirectoryLock::acquire(const char* directory, double waitSeconds,
                                              bool shared)
{
    fd_ = io_.open(directory, O_RDONLY | O_DIRECTORY);
    if (fd_ < 0) {
        error_ = errno;
        return Outcome::NoLock;
    }
    const auto deadline = after(waitSeconds);
    for (milliseconds pause(10);; pause = std::min(pause * 2, milliseconds(200))) {
        if (io_.flock(fd_, (shared ? LOCK_SH : LOCK_EX) | LOCK_NB) == 0)
            return Outcome::Locked;
        if (errno != EWOULDBLOCK) {
            error_ = errno;
            return Outcome::NoLock;
        }
        if (Clock::now() >= deadline)
            return Outcome::Busy;
        std::this_thread::sleep_for(pause);
    }
}

namespace {

// When the node server first asked for the lease back: its open() of the
// data file waits from then on, until the lease is released or the kernel
// breaks it.  The signal's state is the process's, as the signal is.
volatile sig_atomic_t gBreakAsked = 0;
timespec gBreakAskedAt;

void noteLeaseBreak(int)
{
    if (gBreakAsked == 0) {
        clock_gettime(CLOCK_MONOTONIC, &gBreakAskedAt);
        gBreakAsked = 1;
    }
}

// The break signal's default action would kill the program.
void catchLeaseBreaks()
{
    struct sigaction action = {};
    action.sa_handler = noteLeaseBreak;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGIO, &action, nullptr);
}

double secondsSinceBreakAsked()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec - gBreakAskedAt.tv_sec) +
           static_cast<double>(now.tv_nsec - gBreakAskedAt.tv_nsec) / 1e9;
}

constexpr milliseconds kLeaseBurst(10);
constexpr milliseconds kLeaseRest(2);

}  // namespace

// A node that opens the file for each record leaves it closed only for
// moments between its records: the request is repeated without a pause for
// a burst, then rests a little, so that one of those moments is met.
WriteLease::WriteLease(FileIo& io, int fd, double waitSeconds,
                       std::function<void(int seconds)> reportBroken)
    : io_(io), fd_(fd), reportBroken_(std::move(reportBroken)), outcome_(take(waitSeconds))
{
}

WriteLease::Outcome WriteLease::take(double waitSeconds)
{
    catchLeaseBreaks();
    const auto deadline = after(waitSeconds);
    for (;;) {
        const auto burstEnd = Clock::now() + kLeaseBurst;
        do {
            gBreakAsked = 0;
            if (io_.setLease(fd_, F_WRLCK) == 0)
                return Outcome::Held;
            // EAGAIN: another process has the file open.
            if (errno != EAGAIN) {
                error_ = errno;
                return Outcome::Refused;
            }
        } while (Clock::now() < burstEnd);
        if (Clock::now() >= deadline)
            return Outcome::KeptOpen;
        std::this_thread::sleep_for(kLeaseRest);
    }
}

WriteLease::~WriteLease()
{
    if (outcome_ != Outcome::Held)
        return;
    if (gBreakAsked != 0) {
        const double waited = secondsSinceBreakAsked();
        const int limit = leaseBreakSeconds();
        if (waited >= limit)
            reportBroken_(limit);
    }
    io_.setLease(fd_, F_UNLCK);
}

// How long the kernel lets the node wait before it breaks a lease.
int WriteLease::leaseBreakSeconds()
{
    int seconds = 45;
    const int fd = io_.open("/proc/sys/fs/lease-break-time", O_RDONLY);
    if (fd < 0)
        return seconds;
    char text[32] = {};
    const ssize_t length = readFull(io_, fd, text, sizeof text - 1);
    io_.close(fd);
    char* end = nullptr;
    const long value = length > 0 ? std::strtol(text, &end, 10) : 0;
    if (end != text && end != nullptr && value >= 0 && value < 86400)
        seconds = static_cast<int>(value);
    return seconds;
}

void HeldSignals::hold()
{
    if (held_)
        return;
    sigset_t held;
    sigemptyset(&held);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&held, signal);
    held_ = sigprocmask(SIG_BLOCK, &held, &saved_) == 0;
}

void HeldSignals::release()
{
    if (!held_)
        return;
    held_ = false;
    std::fflush(out_);
    sigprocmask(SIG_SETMASK, &saved_, nullptr);
}
