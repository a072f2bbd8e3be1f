// What a purge holds while it works: the lock of the data file's directory,
// the write lease on the data file, and the termination signals held off.
// Each is released when it goes out of scope (the signals may be released
// earlier, once the rewrite is done); each touches files only through FileIo.
// What a failure to get one means for the run is the protocol's to say.
#pragma once

#include "file_io.hpp"

#include <csignal>
#include <cstdio>
#include <functional>

// flock on the directory, not on the data file: the node never opens the
// directory, so the lock breaks no lease, and it leaves no file of its own
// among the node's.  The descriptor also syncs the directory's entries.
class DirectoryLock {
public:
    enum class Outcome { Locked, NoLock, Busy };

    explicit DirectoryLock(FileIo& io) : io_(io) {}
    DirectoryLock(const DirectoryLock&) = delete;
    DirectoryLock& operator=(const DirectoryLock&) = delete;
    ~DirectoryLock();

    // Tries again and again for waitSeconds while another purge holds it.
    // NoLock: the directory cannot be opened or locked here (error() says
    // why); the run may go on without it.
    // A shared lock (a check's) lets other shared ones be taken beside it.
    Outcome acquire(const char* directory, double waitSeconds, bool shared = false);
    int error() const { return error_; }
    // The directory's descriptor, -1 where it could not be opened.
    int fd() const { return fd_; }

private:
    FileIo& io_;
    int fd_ = -1;
    int error_ = 0;
};

// A write lease: the node's open() of the file, to read or to append, waits
// while it is held.  The kernel tells the holder with SIGIO when someone
// asks for the file, and breaks the lease after its lease-break time.  The
// lease is asked for when the guard is made, and released when it goes: a
// run holds it for one scope.
class WriteLease {
public:
    enum class Outcome { Held, KeptOpen, Refused };

    // Asks for the lease on fd for waitSeconds at most.  Refused: the system
    // gives none (error() says why).  KeptOpen: another process kept the
    // file open all that time.  reportBroken is told the kernel's
    // lease-break time when the kernel broke the lease before its release:
    // a reader may then have seen the file half-rewritten.
    WriteLease(FileIo& io, int fd, double waitSeconds, std::function<void(int seconds)> reportBroken);
    WriteLease(const WriteLease&) = delete;
    WriteLease& operator=(const WriteLease&) = delete;
    // The release.  One that fails is no failure of the run: closing the
    // descriptor ends the lease too.
    ~WriteLease();

    Outcome outcome() const { return outcome_; }
    bool held() const { return outcome_ == Outcome::Held; }
    int error() const { return error_; }

private:
    Outcome take(double waitSeconds);
    int leaseBreakSeconds();

    FileIo& io_;
    int fd_;
    std::function<void(int)> reportBroken_;
    int error_ = 0;
    Outcome outcome_;
};

// SIGINT, SIGTERM and SIGHUP wait while the data file is rewritten.  A
// signal that arrived meanwhile is delivered at the release and ends the
// program as it asks, once the lines written so far are out.
class HeldSignals {
public:
    explicit HeldSignals(FILE* out) : out_(out) {}
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
    ~HeldSignals() { release(); }

    void hold();
    void release();

private:
    FILE* out_;
    bool held_ = false;
    sigset_t saved_ = {};
};
