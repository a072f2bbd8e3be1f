#include "purge_engine.hpp"

#include "purge_mark.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <thread>
#include <vector>

// The system's text, then where the path led from the working directory,
// so that a run from the wrong directory says where it looked.
int reportFailedOpen(FILE* err, const char* program, const char* text, const char* path, int status)
{
    const int error = errno;
    std::fprintf(err, "%s: %s\n", text, std::strerror(error));
    char directory[4096];
    if (path[0] != '/' && getcwd(directory, sizeof directory))
        std::fprintf(err, "%s: %s/%s: %s\n", program, directory, path, std::strerror(error));
    else
        std::fprintf(err, "%s: %s: %s\n", program, path, std::strerror(error));
    return status;
}

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::duration;
using std::chrono::milliseconds;

constexpr size_t kBlockBytes = size_t{1} << 20;
const int kHeldSignals[] = {SIGINT, SIGTERM, SIGHUP};
// Without the lease the node may append between the last copy and the
// mark; a few more rounds take that in before the truncation.
constexpr int kTailRounds = 8;
constexpr size_t kMarkTextSize = 4096;  // three paths of 256 and the settings fit
constexpr milliseconds kLeaseBurst(10);
constexpr milliseconds kLeaseRest(2);

// When the node server first asked for the lease back: its open() of the
// data file waits from then on, until the lease is released or the kernel
// breaks it.
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

// How long the kernel lets the node wait before it breaks a lease.
int leaseBreakSeconds()
{
    int seconds = 45;
    if (FILE* setting = std::fopen("/proc/sys/fs/lease-break-time", "r")) {
        if (std::fscanf(setting, "%d", &seconds) != 1)
            seconds = 45;
        std::fclose(setting);
    }
    return seconds;
}

void sleepBriefly(milliseconds& pause, milliseconds longest)
{
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, longest);
}

Clock::time_point after(double seconds)
{
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(duration<double>(seconds));
}

// Reads the whole records of a range of a file, in large blocks at explicit
// offsets: the data file is never read through a shared file position.
class RecordReader {
public:
    RecordReader(FileIo& io, size_t recordSize)
        : io_(io), recordSize_(recordSize),
          buffer_(std::max<size_t>(1, kBlockBytes / recordSize) * recordSize)
    {
    }

    void start(int fd, uint64_t from, uint64_t to)
    {
        fd_ = fd;
        at_ = from;
        to_ = to;
        failed_ = false;
    }

    // Bytes of whole records at data(), 0 at the end, -1 on a read error.
    // A file shorter than the range ends it.
    ssize_t next()
    {
        const uint64_t left = to_ - at_;
        const size_t want = left < buffer_.size() ? static_cast<size_t>(left) : buffer_.size();
        size_t have = 0;
        while (have < want) {
            const ssize_t got = io_.pread(fd_, buffer_.data() + have, want - have,
                                          static_cast<off_t>(at_ + have));
            if (got < 0) {
                failed_ = true;
                return -1;
            }
            if (got == 0)
                break;
            have += static_cast<size_t>(got);
        }
        const size_t whole = have - have % recordSize_;
        at_ = whole < want ? to_ : at_ + whole;
        return static_cast<ssize_t>(whole);
    }

    const unsigned char* data() const { return buffer_.data(); }
    bool failed() const { return failed_; }

private:
    FileIo& io_;
    size_t recordSize_;
    std::vector<unsigned char> buffer_;
    int fd_ = -1;
    uint64_t at_ = 0;
    uint64_t to_ = 0;
    bool failed_ = false;
};

// Where the kept records lie in the backup, as the copy judged them: runs
// of records, merged where they touch.  The node writes its files in the
// order of their dates, so the kept records make one run or a few, which
// the rewrite copies without judging them again; a file with more runs
// than fit is judged again instead, so that memory stays the same.
class KeptRuns {
public:
    struct Run {
        uint64_t from;
        uint64_t to;
    };

    void add(uint64_t from, uint64_t to)
    {
        if (overflowed_)
            return;
        if (!runs_.empty() && runs_.back().to == from) {
            runs_.back().to = to;
        } else if (runs_.size() < kMaxRuns) {
            runs_.push_back({from, to});
        } else {
            overflowed_ = true;
            runs_.clear();
        }
    }

    bool usable() const { return !overflowed_; }
    const std::vector<Run>& runs() const { return runs_; }

private:
    static constexpr size_t kMaxRuns = 1024;
    std::vector<Run> runs_;
    bool overflowed_ = false;
};

enum class Lease { Held, KeptOpen, Refused };

enum class Pass { Done, Failed, Mismatch };

class Purge {
public:
    Purge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
          const PurgeContext& context)
        : program_(program), paths_(paths), rules_(rules), io_(context.io), out_(context.out),
          err_(context.err), dryRun_(context.dryRun), waits_(context.waits),
          judgementTime_(context.clock()), copier_(context.io, program.recordSize),
          purger_(context.io, program.recordSize)
    {
        output_.reserve(kBlockBytes);
    }

    ~Purge()
    {
        releaseLease();
        for (int fd : {data_, dryRunSource_, backup_, backupRead_, lock_})
            if (fd >= 0)
                io_.close(fd);
        releaseSignals();
    }

    int run();

private:
    int lockDirectory();
    void sayIfUnlocked();
    int openData();
    int recoverInterruptedRun();
    int readMark(PurgeMark& mark, MarkKind& kind);
    int forgetMark(const char* why);
    int completeRewrite(const PurgeMark& mark);
    int restoreWholeBackup();
    bool dataStillWhole(int backup, uint64_t length, bool& whole);
    bool countKept(int backup, PurgeRules& rules, uint64_t from, PurgeMark& mark);
    int copyToBackup();
    bool copyRange(uint64_t end);
    int takeLease();
    Lease requestLease();
    void releaseLease();
    int takeInTail();
    bool writeMark();
    Pass rewritePass(int source, PurgeRules& rules, const PurgeMark& mark, bool reportDropped);
    Pass rewriteFromRuns(int backup);
    bool copyWithin(int backup, uint64_t from, uint64_t length, uint64_t to);
    int finishRewrite();
    int showDryRun();
    int failUnchanged(const char* step, const char* path);
    void takeBackMark();
    int failCopy(const char* source);
    int failAfterTruncation(const char* step, const char* path);
    int failRecovery(const char* step, const char* path);
    bool syncDirectory();
    int reportOpen(const char* text, const char* path, int status);
    bool canCreate(const char* path);
    void giveDataMode(int fd, const char* path);
    bool closeChecked(int& fd);
    void holdSignals();
    void releaseSignals();
    uint64_t wholeLength(off_t size) const
    {
        const auto bytes = static_cast<uint64_t>(size);
        return bytes - bytes % program_.recordSize;
    }

    const PurgeProgram& program_;
    const PurgePaths& paths_;
    PurgeRules& rules_;
    FileIo& io_;
    FILE* out_;
    FILE* err_;
    bool dryRun_;
    PurgeWaits waits_;
    time_t judgementTime_;  // read once: every record of the run is judged against it

    RecordReader copier_;
    RecordReader purger_;
    std::vector<unsigned char> output_;
    int data_ = -1;          // the one descriptor of the data file
    int dryRunSource_ = -1;  // a dry run after an interrupted run shows the backup's purge
    int backup_ = -1;
    int backupRead_ = -1;    // -1: the backup is read back through backup_
    int lock_ = -1;
    int lockError_ = 0;
    bool dataWritable_ = false;
    mode_t dataMode_ = 0600;  // the data file's permissions, which the backup and the mark take
    int dataWriteError_ = 0;
    uint64_t copied_ = 0;      // whole records copied to the backup
    uint64_t keptLength_ = 0;  // of those, the bytes of the records that stay
    long kept_ = 0;            // and the records that stay and go
    long dropped_ = 0;
    KeptRuns keptRuns_;
    PurgeMark mark_;
    bool markWritten_ = false;
    bool filesRemain_ = false;  // message files that the run could not remove
    bool leaseHeld_ = false;
    bool signalsHeld_ = false;
    sigset_t savedMask_;
};

int Purge::reportOpen(const char* text, const char* path, int status)
{
    return reportFailedOpen(err_, program_.name, text, path, status);
}

// What a dry run asks where a real run would create or truncate a file.
bool Purge::canCreate(const char* path)
{
    if (io_.access(path, W_OK) == 0)
        return true;
    return errno == ENOENT && io_.access(paths_.szDirectory, W_OK | X_OK) == 0;
}

// The backup and the mark show no more than the data file does.  A file
// that is not a regular one (a device) is left as it is.
void Purge::giveDataMode(int fd, const char* path)
{
    struct stat file;
    const bool ok = io_.fstat(fd, file) == 0 &&
                    (!S_ISREG(file.st_mode) || (file.st_mode & 07777) == dataMode_ ||
                     io_.fchmod(fd, dataMode_) == 0);
    if (!ok)
        std::fprintf(err_, "%s: cannot give %s the mode of %s: %s\n", program_.name, path,
                     paths_.szBin, std::strerror(errno));
}

// Before the truncation the data file is as it was; a mark already left is
// taken back, since the backup is not needed.
int Purge::failUnchanged(const char* step, const char* path)
{
    std::fprintf(err_, "%s: %s %s: %s; %s unchanged\n", program_.name, step, path,
                 std::strerror(errno), paths_.szBin);
    takeBackMark();
    return kFailedDataUnchanged;
}

void Purge::takeBackMark()
{
    if (markWritten_ && io_.unlink(paths_.szMark) == 0)
        markWritten_ = false;
}

int Purge::failCopy(const char* source)
{
    return copier_.failed() ? failUnchanged("read", source) : failUnchanged("write", paths_.szOld);
}

int Purge::failRecovery(const char* step, const char* path)
{
    std::fprintf(err_, "%s: %s %s after an interrupted run: %s; the mark %s stays, and %s holds "
                       "every record that it had\n",
                 program_.name, step, path, std::strerror(errno), paths_.szMark, paths_.szOld);
    return kRecoveryFailed;
}

// After the truncation the kept records are written once more from the
// backup, as the next run would; where that fails too, the mark stays for
// the next run.
int Purge::failAfterTruncation(const char* step, const char* path)
{
    std::fprintf(err_, "%s: %s %s: %s\n", program_.name, step, path, std::strerror(errno));
    const int backup = backupRead_ >= 0 ? backupRead_ : backup_;
    if (data_ >= 0 && backup >= 0 && rewritePass(backup, rules_, mark_, false) == Pass::Done &&
        io_.fsync(data_) == 0 && closeChecked(data_)) {
        releaseLease();
        filesRemain_ = !rules_.afterRewrite(io_, false) || filesRemain_;
        if (io_.unlink(paths_.szMark) == 0 && syncDirectory()) {
            std::fprintf(err_, "%s: %s rebuilt from %s: the purge is complete\n", program_.name,
                         paths_.szBin, paths_.szOld);
            return kFailedDataRebuilt;
        }
    }
    std::fprintf(err_, "%s: the mark %s stays, and the next run completes the rewrite of %s "
                       "from %s\n",
                 program_.name, paths_.szMark, paths_.szBin, paths_.szOld);
    return kFailedRebuildPending;
}

// Through the descriptor of the lock, which is the directory's.
bool Purge::syncDirectory()
{
    return lock_ >= 0 ? io_.fsync(lock_) == 0 : ::syncDirectory(io_, paths_.szDirectory);
}

// Closes a descriptor of the run once, checked.
bool Purge::closeChecked(int& fd)
{
    const int was = fd;
    fd = -1;
    return was < 0 || io_.close(was) == 0;
}

// The directory, not the data file: the node never opens it, so the lock
// breaks no lease, and it leaves no file of its own among the node's.  The
// descriptor also syncs the directory's entries.
int Purge::lockDirectory()
{
    lock_ = io_.open(paths_.szDirectory, O_RDONLY | O_DIRECTORY);
    if (lock_ < 0) {
        lockError_ = errno;  // said once the data file is known to be there
        return kPurged;
    }
    const auto deadline = after(waits_.lockSeconds);
    for (milliseconds pause(10);; sleepBriefly(pause, milliseconds(200))) {
        if (io_.flock(lock_, LOCK_EX | LOCK_NB) == 0)
            return kPurged;
        if (errno != EWOULDBLOCK) {
            lockError_ = errno;
            return kPurged;
        }
        if (Clock::now() >= deadline) {
            std::fprintf(err_, "%s: another purge of %s held its lock for the %g s waited: "
                               "nothing was touched (--lock-wait=SECONDS waits longer)\n",
                         program_.name, paths_.szDirectory, waits_.lockSeconds);
            return kLockedByAnotherPurge;
        }
    }
}

void Purge::sayIfUnlocked()
{
    if (lockError_ != 0)
        std::fprintf(err_, "%s: cannot lock %s (%s): going on without the lock; no other purge "
                           "of that directory may run meanwhile\n",
                     program_.name, paths_.szDirectory, std::strerror(lockError_));
}

// Read and write, or read only: a data file that cannot be written still
// gets its complete backup before the failure is reported.
int Purge::openData()
{
    if (!dryRun_) {
        data_ = io_.open(paths_.szBin, O_RDWR);
        dataWritable_ = data_ >= 0;
        dataWriteError_ = errno;
    }
    if (data_ < 0)
        data_ = io_.open(paths_.szBin, O_RDONLY);
    if (data_ < 0)
        return reportOpen(program_.openDataFailure, paths_.szBin, kCannotOpenData);
    sayIfUnlocked();
    return kPurged;
}

int Purge::readMark(PurgeMark& mark, MarkKind& kind)
{
    const int fd = io_.open(paths_.szMark, O_RDONLY);
    if (fd < 0)
        return failRecovery("read", paths_.szMark);
    char text[kMarkTextSize];
    const ssize_t length = readFull(io_, fd, text, sizeof text);
    const int error = errno;
    if (io_.close(fd) != 0 || length < 0) {
        errno = length < 0 ? error : errno;
        return failRecovery("read", paths_.szMark);
    }
    kind = parseMark(text, static_cast<size_t>(length), program_.name, mark);
    return kPurged;
}

int Purge::recoverInterruptedRun()
{
    if (io_.access(paths_.szMark) != 0) {
        if (errno == ENOENT)
            return kPurged;
        // Not knowing whether a rewrite was interrupted, the run must not
        // overwrite the backup that may be the only whole copy.
        return failRecovery("look for", paths_.szMark);
    }
    if (dryRun_) {
        std::fprintf(out_, "%s: %s marks an interrupted run; a real run first completes its "
                           "rewrite of %s from %s\n",
                     program_.name, paths_.szMark, paths_.szBin, paths_.szOld);
        dryRunSource_ = io_.open(paths_.szOld, O_RDONLY);
        return dryRunSource_ < 0 ? failRecovery("open", paths_.szOld) : kPurged;
    }
    PurgeMark mark;
    MarkKind kind = MarkKind::Unreadable;
    if (const int status = readMark(mark, kind); status != kPurged)
        return status;
    if (!dataWritable_) {
        errno = dataWriteError_;
        return failRecovery("open", paths_.szBin);
    }
    switch (kind) {
    case MarkKind::Current:
        return completeRewrite(mark);
    case MarkKind::Empty:
        // The mark is on disk before the truncation, so a mark without its
        // text means that the data file was never touched.
        return forgetMark("stopped before it changed");
    case MarkKind::EarlierVersion:
        return restoreWholeBackup();
    case MarkKind::Unreadable:
        break;
    }
    std::fprintf(err_, "%s: %s is not a mark these tools write: nothing was touched; %s holds the "
                       "records of the run that left it\n",
                 program_.name, paths_.szMark, paths_.szOld);
    return kRecoveryFailed;
}

int Purge::forgetMark(const char* why)
{
    if (io_.unlink(paths_.szMark) != 0 || !syncDirectory())
        return failRecovery("remove", paths_.szMark);
    std::fprintf(out_, "%s: the interrupted run that left %s %s %s\n", program_.name,
                 paths_.szMark, why, paths_.szBin);
    return kPurged;
}

// Whether the data file still begins with the backup's records: the run
// that left the mark was stopped before its truncation, and what follows
// them was appended since.
bool Purge::dataStillWhole(int backup, uint64_t length, bool& whole)
{
    struct stat status;
    if (io_.fstat(data_, status) != 0)
        return false;
    whole = static_cast<uint64_t>(status.st_size) >= length;
    copier_.start(data_, 0, length);
    purger_.start(backup, 0, length);
    while (whole) {
        const ssize_t ours = copier_.next();
        const ssize_t theirs = purger_.next();
        if (ours < 0 || theirs < 0)
            return false;
        if (ours == 0 && theirs == 0)
            break;
        whole = ours == theirs && std::memcmp(copier_.data(), purger_.data(),
                                              static_cast<size_t>(ours)) == 0;
    }
    return true;
}

// Adds to the mark's kept length that of the records from from to its
// backup length: those that the run copied under its lease.
bool Purge::countKept(int backup, PurgeRules& rules, uint64_t from, PurgeMark& mark)
{
    const size_t size = program_.recordSize;
    purger_.start(backup, from, mark.backupLength);
    for (;;) {
        const ssize_t got = purger_.next();
        if (got <= 0)
            return got == 0;
        for (size_t at = 0; at < static_cast<size_t>(got); at += size)
            if (rules.keep(purger_.data() + at, static_cast<time_t>(mark.judgementTime)))
                mark.keptLength += size;
    }
}

// The run that left the mark truncated the data file to the kept length or
// was about to: its kept records are written again from the backup, judged
// as that run judged them, below the kept length only, so that every record
// appended beyond it stays.
int Purge::completeRewrite(const PurgeMark& mark)
{
    const int backup = io_.open(paths_.szOld, O_RDONLY);
    if (backup < 0)
        return failRecovery("open", paths_.szOld);
    backupRead_ = backup;  // closed with the run
    struct stat status;
    if (io_.fstat(backup, status) != 0)
        return failRecovery("fstat", paths_.szOld);
    if (static_cast<uint64_t>(status.st_size) < mark.backupLength) {
        errno = EIO;
        return failRecovery("read", paths_.szOld);
    }
    bool whole = false;
    if (!dataStillWhole(backup, mark.backupLength, whole))
        return failRecovery("compare", paths_.szBin);
    if (whole)
        return forgetMark("stopped before it changed");
    std::unique_ptr<PurgeRules> rules = rules_.fromSettings(mark.settings);
    if (!rules) {
        errno = EINVAL;
        return failRecovery("read the settings of", paths_.szMark);
    }
    PurgeMark full = mark;
    full.backupLength = wholeLength(status.st_size);
    if (!countKept(backup, *rules, mark.backupLength, full))
        return failRecovery("read", paths_.szOld);
    rules->prepare(io_);
    // The data file is half-rewritten already: it is rebuilt even when the
    // node keeps it open, since the rebuild writes only below the kept length.
    requestLease();
    holdSignals();
    const Pass pass = rewritePass(backup, *rules, full, true);
    releaseLease();
    if (pass != Pass::Done || io_.fsync(data_) != 0)
        return failRecovery("rewrite", paths_.szBin);
    filesRemain_ = !rules->afterRewrite(io_, false) || filesRemain_;
    if (io_.unlink(paths_.szMark) != 0 || !syncDirectory())
        return failRecovery("remove", paths_.szMark);
    releaseSignals();
    std::fprintf(out_, "%s: completed the rewrite of %s from %s after an interrupted run\n",
                 program_.name, paths_.szBin, paths_.szOld);
    return kPurged;
}

// A mark of an earlier version of these tools, which emptied the data file
// before rewriting it: the data file is restored from the backup, as that
// version did.
int Purge::restoreWholeBackup()
{
    const int backup = io_.open(paths_.szOld, O_RDONLY);
    if (backup < 0)
        return failRecovery("open", paths_.szOld);
    backupRead_ = backup;
    requestLease();
    holdSignals();
    bool ok = io_.ftruncate(data_, 0) == 0;
    copier_.start(backup, 0, UINT64_MAX);
    uint64_t at = 0;
    for (ssize_t got = 1; ok && (got = copier_.next()) != 0; at += static_cast<uint64_t>(got))
        ok = got > 0 && writeAllAt(io_, data_, copier_.data(), static_cast<size_t>(got),
                                   static_cast<off_t>(at));
    releaseLease();
    if (!ok || io_.fsync(data_) != 0)
        return failRecovery("restore", paths_.szBin);
    if (io_.unlink(paths_.szMark) != 0 || !syncDirectory())
        return failRecovery("remove", paths_.szMark);
    releaseSignals();
    std::fprintf(out_, "%s: restored %s from %s after an interrupted run\n", program_.name,
                 paths_.szBin, paths_.szOld);
    return kPurged;
}

// Copies the whole records from copied_ to end to the backup (nothing in a
// dry run), judging each: the kept ones are counted and their runs noted,
// the dropped ones shown to the rules.
bool Purge::copyRange(uint64_t end)
{
    const int source = dryRunSource_ >= 0 ? dryRunSource_ : data_;
    copier_.start(source, copied_, end);
    const size_t size = program_.recordSize;
    for (;;) {
        const ssize_t got = copier_.next();
        if (got <= 0)
            return got == 0;
        const unsigned char* records = copier_.data();
        for (size_t at = 0; at < static_cast<size_t>(got); at += size) {
            if (rules_.keep(records + at, judgementTime_)) {
                ++kept_;
                keptLength_ += size;
                keptRuns_.add(copied_ + at, copied_ + at + size);
            } else {
                ++dropped_;
                rules_.dropped(records + at);
            }
        }
        if (!dryRun_ && !writeAll(io_, backup_, records, static_cast<size_t>(got)))
            return false;
        copied_ += static_cast<uint64_t>(got);
    }
}

// The bulk of the copy, bounded by the length at its start: a node that
// appends faster than the copy runs cannot keep it going.
int Purge::copyToBackup()
{
    const int source = dryRunSource_ >= 0 ? dryRunSource_ : data_;
    const char* sourcePath = dryRunSource_ >= 0 ? paths_.szOld : paths_.szBin;
    struct stat status;
    if (io_.fstat(source, status) != 0)
        return failUnchanged("fstat", sourcePath);
    dataMode_ = status.st_mode & 07777;
    if (!copyRange(wholeLength(status.st_size)))
        return failCopy(sourcePath);
    if (dryRun_)
        return kPurged;
    giveDataMode(backup_, paths_.szOld);
    if (io_.fsync(backup_) != 0)
        return failUnchanged("fsync", paths_.szOld);
    return kPurged;
}

// A node that opens the file for each record leaves it closed only for
// moments between its records: the request is repeated without a pause for
// a burst, then rests a little, so that one of those moments is met.
Lease Purge::requestLease()
{
    catchLeaseBreaks();
    const auto deadline = after(waits_.leaseSeconds);
    for (;;) {
        const auto burstEnd = Clock::now() + kLeaseBurst;
        do {
            gBreakAsked = 0;
            if (io_.setLease(data_, F_WRLCK) == 0) {
                leaseHeld_ = true;
                return Lease::Held;
            }
            // EAGAIN: another process has the file open.
            if (errno != EAGAIN)
                return Lease::Refused;
        } while (Clock::now() < burstEnd);
        if (Clock::now() >= deadline)
            return Lease::KeptOpen;
        std::this_thread::sleep_for(kLeaseRest);
    }
}

int Purge::takeLease()
{
    switch (requestLease()) {
    case Lease::Held:
        return kPurged;
    case Lease::Refused:
        std::fprintf(err_, "%s: no lease on %s (%s): going on without it, so the node's open() "
                           "of the file does not wait while it is rewritten\n",
                     program_.name, paths_.szBin, std::strerror(errno));
        return kPurged;
    case Lease::KeptOpen:
        break;
    }
    if (!waits_.withoutLease) {
        std::fprintf(err_, "%s: %s is kept open by another process (the node server?): no lease "
                           "on it within %g s, so nothing was changed (--without-lease purges "
                           "all the same)\n",
                     program_.name, paths_.szBin, waits_.leaseSeconds);
        return kDataKeptOpen;
    }
    std::fprintf(err_, "%s: %s is kept open by another process: purging without the lease, as "
                       "asked; a record appended between the last copy and the truncation is "
                       "lost\n",
                 program_.name, paths_.szBin);
    return kPurged;
}

// A release that fails is no failure of the run: closing the descriptor
// ends the lease too.
void Purge::releaseLease()
{
    if (!leaseHeld_)
        return;
    leaseHeld_ = false;
    if (gBreakAsked != 0) {
        const double waited = secondsSinceBreakAsked();
        const int limit = leaseBreakSeconds();
        if (waited >= limit)
            std::fprintf(err_, "%s: the kernel broke the lease on %s after %d s: a reader may "
                               "have seen the file half-rewritten\n",
                         program_.name, paths_.szBin, limit);
    }
    io_.setLease(data_, F_UNLCK);
}

bool Purge::writeMark()
{
    mark_.backupLength = copied_;
    mark_.keptLength = keptLength_;
    mark_.judgementTime = judgementTime_;
    rules_.writeSettings(mark_.settings, sizeof mark_.settings);
    char text[kMarkTextSize];
    size_t length = 0;
    if (!formatMark(mark_, program_.name, paths_.szBin, paths_.szOld, text, sizeof text, length)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const int fd = io_.open(paths_.szMark, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0)
        return false;
    markWritten_ = true;
    giveDataMode(fd, paths_.szMark);
    bool ok = writeAll(io_, fd, text, length) && io_.fsync(fd) == 0;
    ok = io_.close(fd) == 0 && ok;
    // One sync of the directory makes the entries of the backup and the
    // mark durable together.
    return ok && syncDirectory();
}

// What the node appended since the bulk copy goes to the backup too,
// after the records that the mark counts: a later run finds where it ends
// by the backup's length.  Under the lease nothing can be appended, so one
// round takes it in; without it, rounds go on while the data file grows or
// ends in a record still being written.
int Purge::takeInTail()
{
    for (int round = 0;; ++round) {
        struct stat status;
        if (io_.fstat(data_, status) != 0)
            return failUnchanged("fstat", paths_.szBin);
        const uint64_t end = wholeLength(status.st_size);
        if (end < copied_) {
            std::fprintf(err_, "%s: %s was cut short by another process while it was copied: "
                               "not purged\n",
                         program_.name, paths_.szBin);
            takeBackMark();
            return kFailedDataUnchanged;
        }
        if (end > copied_) {
            if (!copyRange(end))
                return failCopy(paths_.szBin);
            if (io_.fsync(backup_) != 0)
                return failUnchanged("fsync", paths_.szOld);
        }
        if (leaseHeld_ || round == kTailRounds)
            break;
        if (io_.fstat(data_, status) != 0)
            return failUnchanged("fstat", paths_.szBin);
        if (static_cast<uint64_t>(status.st_size) == copied_)
            break;
    }
    mark_.backupLength = copied_;
    mark_.keptLength = keptLength_;
    return kPurged;
}

// Reads the records of the mark's backup length back from source, judges
// them at the mark's time, and writes the kept ones from the start of the
// data file, showing the rules the dropped ones when reportDropped.  Never a
// byte at or beyond the kept length: what lies there was appended by the
// node.
Pass Purge::rewritePass(int source, PurgeRules& rules, const PurgeMark& mark, bool reportDropped)
{
    purger_.start(source, 0, mark.backupLength);
    const size_t size = program_.recordSize;
    const auto now = static_cast<time_t>(mark.judgementTime);
    uint64_t written = 0;
    output_.clear();
    const auto flush = [&] {
        if (written + output_.size() > mark.keptLength)
            return Pass::Mismatch;
        if (!writeAllAt(io_, data_, output_.data(), output_.size(), static_cast<off_t>(written)))
            return Pass::Failed;
        written += output_.size();
        output_.clear();
        return Pass::Done;
    };
    for (;;) {
        const ssize_t got = purger_.next();
        if (got < 0)
            return Pass::Failed;
        if (got == 0)
            break;
        const unsigned char* records = purger_.data();
        for (size_t at = 0; at < static_cast<size_t>(got); at += size) {
            if (!rules.keep(records + at, now)) {
                if (reportDropped)
                    rules.dropped(records + at);
                continue;
            }
            output_.insert(output_.end(), records + at, records + at + size);
            if (output_.size() + size > kBlockBytes)
                if (const Pass pass = flush(); pass != Pass::Done)
                    return pass;
        }
    }
    if (const Pass pass = flush(); pass != Pass::Done)
        return pass;
    return written == mark.keptLength ? Pass::Done : Pass::Mismatch;
}

// The kept runs found by the copy, copied within the kernel from the backup
// to the front of the data file.
Pass Purge::rewriteFromRuns(int backup)
{
    uint64_t written = 0;
    for (const KeptRuns::Run& run : keptRuns_.runs()) {
        const uint64_t length = run.to - run.from;
        if (written + length > mark_.keptLength)
            return Pass::Mismatch;
        if (!copyWithin(backup, run.from, length, written))
            return Pass::Failed;
        written += length;
    }
    return written == mark_.keptLength ? Pass::Done : Pass::Mismatch;
}

// A file system that cannot copy within the kernel gets the bytes through
// the program's buffer.
bool Purge::copyWithin(int backup, uint64_t from, uint64_t length, uint64_t to)
{
    while (length > 0) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length, uint64_t{1} << 30));
        ssize_t copied = io_.copyFileRange(backup, static_cast<off_t>(from), data_,
                                           static_cast<off_t>(to), chunk);
        if (copied < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                           errno == EOPNOTSUPP)) {
            purger_.start(backup, from, from + chunk);
            copied = purger_.next();
            if (copied > 0 && !writeAllAt(io_, data_, purger_.data(), static_cast<size_t>(copied),
                                          static_cast<off_t>(to)))
                return false;
        }
        if (copied <= 0) {
            errno = copied == 0 ? EIO : errno;  // the backup ended early
            return false;
        }
        from += static_cast<uint64_t>(copied);
        to += static_cast<uint64_t>(copied);
        length -= static_cast<uint64_t>(copied);
    }
    return true;
}

int Purge::finishRewrite()
{
    releaseLease();
    if (io_.fsync(data_) != 0)
        return failAfterTruncation("fsync", paths_.szBin);
    if (!closeChecked(data_))
        return failAfterTruncation("close", paths_.szBin);
    if (!closeChecked(backup_) || !closeChecked(backupRead_))
        return failAfterTruncation("close", paths_.szOld);
    filesRemain_ = !rules_.afterRewrite(io_, false) || filesRemain_;
    if (io_.unlink(paths_.szMark) != 0) {
        std::fprintf(err_,
                     "%s: remove %s: %s; %s is complete, and the next run finds it so and "
                     "purges as usual\n",
                     program_.name, paths_.szMark, std::strerror(errno), paths_.szBin);
        return kFailedRebuildPending;
    }
    markWritten_ = false;
    if (!syncDirectory()) {
        std::fprintf(err_, "%s: fsync %s: %s; %s is complete\n", program_.name,
                     paths_.szDirectory, std::strerror(errno), paths_.szBin);
        return kFailedRebuildPending;
    }
    return kPurged;
}

int Purge::run()
{
    if (const int status = lockDirectory(); status != kPurged)
        return status;
    if (const int status = openData(); status != kPurged)
        return status;
    if (const int status = recoverInterruptedRun(); status != kPurged)
        return status;
    if (!dryRun_) {
        // A new backup shows nothing to others until it has the data file's mode.
        backup_ = io_.open(paths_.szOld, O_RDWR | O_CREAT | O_TRUNC, 0600);
        if (backup_ < 0)
            return reportOpen(program_.openBackupFailure, paths_.szOld, kCannotOpenBackup);
    } else if (!canCreate(paths_.szOld)) {
        return reportOpen(program_.openBackupFailure, paths_.szOld, kCannotOpenBackup);
    }
    std::fprintf(out_, "Creating %s\n", program_.backupFileName);
    rules_.prepare(io_);
    if (const int status = copyToBackup(); status != kPurged)
        return status;

    if (dryRun_)
        return showDryRun();
    if (!dataWritable_) {
        errno = dataWriteError_;
        return reportOpen(program_.reopenDataFailure, paths_.szBin, kCannotReopenData);
    }
    if (program_.reopenBackupFailure) {
        backupRead_ = io_.open(paths_.szOld, O_RDONLY);
        if (backupRead_ < 0)
            return reportOpen(program_.reopenBackupFailure, paths_.szOld, kCannotOpenBackup);
    }
    // The mark's syncs come before the lease, so that the node does not wait
    // for them; from the mark on, a termination waits for the end.
    holdSignals();
    if (!writeMark())
        return failUnchanged("write", paths_.szMark);
    if (const int status = takeLease(); status != kPurged) {
        takeBackMark();
        return status;
    }
    if (const int status = takeInTail(); status != kPurged)
        return status;
    // A truncation that fails leaves the data file as it was, its trailing
    // part-record included.
    if (io_.ftruncate(data_, static_cast<off_t>(keptLength_)) != 0)
        return failUnchanged("truncate", paths_.szBin);
    const int backup = backupRead_ >= 0 ? backupRead_ : backup_;
    switch (keptRuns_.usable() ? rewriteFromRuns(backup) : rewritePass(backup, rules_, mark_, false)) {
    case Pass::Done:
        break;
    case Pass::Failed:
        return failAfterTruncation("rewrite", paths_.szBin);
    case Pass::Mismatch:
        errno = EINVAL;
        return failAfterTruncation("judge the records of", paths_.szOld);
    }
    if (const int status = finishRewrite(); status != kPurged)
        return status;
    releaseSignals();
    rules_.printSummary(out_, kept_, dropped_);
    return filesRemain_ ? kMessageFilesRemain : kPurged;
}

// What a real run would print, and where it would fail, with its status.
int Purge::showDryRun()
{
    if (io_.access(paths_.szBin, W_OK) != 0)
        return reportOpen(program_.reopenDataFailure, paths_.szBin, kCannotReopenData);
    rules_.printSummary(out_, kept_, dropped_);
    return rules_.afterRewrite(io_, true) ? kPurged : kMessageFilesRemain;
}

void Purge::holdSignals()
{
    if (signalsHeld_)
        return;
    sigset_t held;
    sigemptyset(&held);
    for (int signal : kHeldSignals)
        sigaddset(&held, signal);
    signalsHeld_ = sigprocmask(SIG_BLOCK, &held, &savedMask_) == 0;
}

// A signal that arrived meanwhile is delivered now and ends the program as
// it asks.
void Purge::releaseSignals()
{
    if (!signalsHeld_)
        return;
    signalsHeld_ = false;
    std::fflush(out_);
    sigprocmask(SIG_SETMASK, &savedMask_, nullptr);
}

}  // namespace

int runPurge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
             const PurgeContext& context)
{
    Purge purge(program, paths, rules, context);
    return purge.run();
}
