#include "purge_engine.hpp"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <vector>

bool buildPurgePaths(const char* directory, const char* dataFileName, PurgePaths& paths)
{
    const size_t length = std::strlen(directory);
    const bool prefix = length > 0 && directory[length - 1] == '/';
    const int built = std::snprintf(paths.szBin, sizeof paths.szBin, prefix ? "%s%s" : "%s/%s",
                                    directory, dataFileName);
    if (built < 0 || static_cast<size_t>(built) >= sizeof paths.szBin)
        return false;
    const size_t binLength = static_cast<size_t>(built);
    std::memcpy(paths.szOld, paths.szBin, binLength + 1);
    std::memcpy(paths.szOld + binLength - 4, ".old", 4);

    std::memcpy(paths.szMark, paths.szBin, binLength - 4);
    std::memcpy(paths.szMark + binLength - 4, kMarkSuffix, sizeof kMarkSuffix);

    // The directory of the files, for syncing their directory entries.
    const auto slash = static_cast<size_t>(std::strrchr(paths.szBin, '/') - paths.szBin);
    const size_t dirLength = slash == 0 ? 1 : slash;
    std::memcpy(paths.szDirectory, paths.szBin, dirLength);
    paths.szDirectory[dirLength] = '\0';
    return true;
}

namespace {

constexpr size_t kBlockBytes = size_t{1} << 20;
const int kHeldSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Reads whole records in large blocks.  A trailing fragment is kept for the
// next call, so that a record that is still being appended is read whole
// once it is complete; at the end of the data it is dropped.
class RecordReader {
public:
    RecordReader(FileIo& io, size_t recordSize)
        : io_(io), recordSize_(recordSize),
          buffer_((kBlockBytes / recordSize + 1) * recordSize)
    {
    }

    void start(int fd, uint64_t limit)
    {
        fd_ = fd;
        limit_ = limit;
        fragment_ = 0;
        fragmentAt_ = 0;
    }

    // Bytes of whole records at data(), 0 at the end, -1 on a read error.
    ssize_t next()
    {
        std::memmove(buffer_.data(), buffer_.data() + fragmentAt_, fragment_);
        size_t have = fragment_;
        while (have < recordSize_ && limit_ > 0) {
            const size_t room = buffer_.size() - have;
            const size_t want = room < limit_ ? room : static_cast<size_t>(limit_);
            const ssize_t got = io_.read(fd_, buffer_.data() + have, want);
            if (got < 0)
                return -1;
            if (got == 0)
                break;
            have += static_cast<size_t>(got);
            limit_ -= static_cast<uint64_t>(got);
        }
        const size_t whole = have - have % recordSize_;
        fragment_ = have - whole;
        fragmentAt_ = whole;
        return static_cast<ssize_t>(whole);
    }

    const unsigned char* data() const { return buffer_.data(); }

private:
    FileIo& io_;
    size_t recordSize_;
    std::vector<unsigned char> buffer_;
    int fd_ = -1;
    uint64_t limit_ = 0;
    size_t fragment_ = 0;
    size_t fragmentAt_ = 0;
};

class Purge {
public:
    Purge(const PurgeProgram& program, const PurgePaths& paths, PurgeRules& rules,
          const PurgeContext& context)
        : program_(program), paths_(paths), rules_(rules), io_(context.io), out_(context.out),
          err_(context.err), clock_(context.clock), dryRun_(context.dryRun),
          copier_(context.io, program.recordSize), purger_(context.io, program.recordSize)
    {
        output_.reserve(kBlockBytes);
    }

    ~Purge()
    {
        for (int fd : {dataRead_, dataWrite_, backup_, backupRead_})
            if (fd >= 0)
                io_.close(fd);
        releaseSignals();
    }

    int run();

private:
    int recoverInterruptedRun(const char*& source);
    bool restoreData();
    bool copyPass(bool& grew);
    int makeBackupDurable();
    bool writeMark();
    bool purgePass(int source, int target);
    int finishRewrite();
    int failUnchanged(const char* step, const char* path);
    int failCopy(const char* source);
    int failAfterTruncation(const char* step, const char* path);
    int reportOpen(const char* text, int status);
    bool closeChecked(int& fd);
    void holdSignals();
    void releaseSignals();

    const PurgeProgram& program_;
    const PurgePaths& paths_;
    PurgeRules& rules_;
    FileIo& io_;
    FILE* out_;
    FILE* err_;
    time_t (*clock_)();
    bool dryRun_;

    RecordReader copier_;
    RecordReader purger_;
    std::vector<unsigned char> output_;
    int dataRead_ = -1;
    int dataWrite_ = -1;
    int backup_ = -1;
    int backupRead_ = -1;  // -1: the backup is read back through backup_
    uint64_t copied_ = 0;
    long kept_ = 0;
    long dropped_ = 0;
    bool copyReadFailed_ = false;  // the last copy pass failed reading, not writing
    bool markWritten_ = false;
    bool signalsHeld_ = false;
    sigset_t savedMask_;
};

int Purge::reportOpen(const char* text, int status)
{
    std::fprintf(err_, "%s: %s\n", text, std::strerror(errno));
    return status;
}

// Before the truncation the data file is as it was; a mark already left is
// taken back, since the backup is not needed.
int Purge::failUnchanged(const char* step, const char* path)
{
    std::fprintf(err_, "%s -> %s %s: %s; %s unchanged\n", program_.name, step, path,
                 std::strerror(errno), paths_.szBin);
    if (markWritten_ && io_.unlink(paths_.szMark) == 0)
        markWritten_ = false;
    return kFailedDataUnchanged;
}

int Purge::failCopy(const char* source)
{
    return copyReadFailed_ ? failUnchanged("read", source) : failUnchanged("write", paths_.szOld);
}

int Purge::failAfterTruncation(const char* step, const char* path)
{
    std::fprintf(err_, "%s -> %s %s: %s\n", program_.name, step, path, std::strerror(errno));
    if (!restoreData()) {
        std::fprintf(err_, "%s -> %s could not be restored (%s); the next run restores it from %s\n",
                     program_.name, paths_.szBin, std::strerror(errno), paths_.szOld);
        return kFailedRestorePending;
    }
    if (io_.unlink(paths_.szMark) != 0 || !syncDirectory(io_, paths_.szDirectory)) {
        std::fprintf(err_, "%s -> %s restored from %s, but %s could not be removed (%s): the next run "
                     "restores it again\n",
                     program_.name, paths_.szBin, paths_.szOld, paths_.szMark, std::strerror(errno));
        return kFailedRestorePending;
    }
    std::fprintf(err_, "%s -> %s restored from %s\n", program_.name, paths_.szBin, paths_.szOld);
    return kFailedDataRestored;
}

// Closes a descriptor of the run once, checked.
bool Purge::closeChecked(int& fd)
{
    const int was = fd;
    fd = -1;
    return was < 0 || io_.close(was) == 0;
}

// Copies the whole records of the backup over the data file and syncs it.
bool Purge::restoreData()
{
    const int from = io_.open(paths_.szOld, O_RDONLY);
    if (from < 0)
        return false;
    const int to = io_.open(paths_.szBin, O_WRONLY | O_CREAT, 0666);
    if (to < 0) {
        const int error = errno;
        io_.close(from);
        errno = error;
        return false;
    }
    RecordReader reader(io_, program_.recordSize);
    reader.start(from, UINT64_MAX);
    bool ok = io_.ftruncate(to, 0) == 0;
    for (ssize_t got = 1; ok && (got = reader.next()) != 0;)
        ok = got > 0 && writeAll(io_, to, reader.data(), static_cast<size_t>(got));
    ok = ok && io_.fsync(to) == 0;
    int error = errno;
    for (int fd : {to, from}) {
        if (io_.close(fd) != 0 && ok) {
            ok = false;
            error = errno;
        }
    }
    errno = error;
    return ok;
}

int Purge::recoverInterruptedRun(const char*& source)
{
    if (io_.access(paths_.szMark) != 0) {
        if (errno == ENOENT)
            return kPurged;
        // Not knowing whether a rewrite was interrupted, the run must not
        // overwrite the backup that may be the only whole copy.
        std::fprintf(err_, "%s -> look for %s: %s\n", program_.name, paths_.szMark,
                     std::strerror(errno));
        return kRecoveryFailed;
    }
    if (dryRun_) {
        std::fprintf(out_, "%s: %s marks an interrupted run; a real run first restores %s from %s\n",
                     program_.name, paths_.szMark, paths_.szBin, paths_.szOld);
        source = paths_.szOld;
        return kPurged;
    }
    holdSignals();
    if (!restoreData() || io_.unlink(paths_.szMark) != 0 || !syncDirectory(io_, paths_.szDirectory)) {
        std::fprintf(err_, "%s -> restore %s from %s after an interrupted run: %s\n", program_.name,
                     paths_.szBin, paths_.szOld, std::strerror(errno));
        return kRecoveryFailed;
    }
    releaseSignals();
    std::fprintf(out_, "%s: restored %s from %s after an interrupted run\n", program_.name,
                 paths_.szBin, paths_.szOld);
    return kPurged;
}

// Copies the data file to the backup until the end of the data.  grew tells
// whether any record was added.
bool Purge::copyPass(bool& grew)
{
    grew = false;
    for (;;) {
        const ssize_t got = copier_.next();
        copyReadFailed_ = got < 0;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        if (!dryRun_ && !writeAll(io_, backup_, copier_.data(), static_cast<size_t>(got)))
            return false;
        copied_ += static_cast<uint64_t>(got);
        grew = true;
    }
}

bool Purge::writeMark()
{
    const int fd = io_.open(paths_.szMark, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (fd < 0)
        return false;
    markWritten_ = true;
    char text[3 * kPathSize];
    const int length = std::snprintf(text, sizeof text, "%s is rewriting %s from %s\n",
                                     program_.name, paths_.szBin, paths_.szOld);
    bool ok = writeAll(io_, fd, text, static_cast<size_t>(length)) && io_.fsync(fd) == 0;
    ok = io_.close(fd) == 0 && ok;
    return ok && syncDirectory(io_, paths_.szDirectory);
}

// Copies what the node server appended meanwhile, and syncs the backup, until
// a pass finds nothing new; then leaves the mark, and takes in what came
// during that too.  Only then is the data file truncated.
int Purge::makeBackupDurable()
{
    bool grew = true;
    while (grew) {
        if (io_.fsync(backup_) != 0)
            return failUnchanged("fsync", paths_.szOld);
        if (!copyPass(grew))
            return failCopy(paths_.szBin);
    }
    if (!syncDirectory(io_, paths_.szDirectory))
        return failUnchanged("fsync", paths_.szDirectory);
    holdSignals();
    if (!writeMark())
        return failUnchanged("write", paths_.szMark);
    if (!copyPass(grew))
        return failCopy(paths_.szBin);
    if (grew && io_.fsync(backup_) != 0)
        return failUnchanged("fsync", paths_.szOld);
    return kPurged;
}

// Reads the copied records back from source and writes the survivors to
// target (nothing in a dry run).  The clock is read once per block.
bool Purge::purgePass(int source, int target)
{
    if (io_.lseek(source, 0, SEEK_SET) != 0)
        return false;
    purger_.start(source, copied_);
    const size_t size = program_.recordSize;
    for (;;) {
        const ssize_t got = purger_.next();
        if (got < 0)
            return false;
        if (got == 0)
            break;
        const time_t now = clock_();
        const unsigned char* records = purger_.data();
        for (size_t at = 0; at < static_cast<size_t>(got); at += size) {
            if (!rules_.keep(records + at, now)) {
                ++dropped_;
                continue;
            }
            ++kept_;
            if (dryRun_)
                continue;
            output_.insert(output_.end(), records + at, records + at + size);
            if (output_.size() + size > kBlockBytes) {
                if (!writeAll(io_, target, output_.data(), output_.size()))
                    return false;
                output_.clear();
            }
        }
    }
    return dryRun_ || writeAll(io_, target, output_.data(), output_.size());
}

int Purge::finishRewrite()
{
    if (io_.fsync(dataWrite_) != 0)
        return failAfterTruncation("fsync", paths_.szBin);
    if (!closeChecked(dataWrite_) || !closeChecked(dataRead_))
        return failAfterTruncation("close", paths_.szBin);
    if (!closeChecked(backup_) || !closeChecked(backupRead_))
        return failAfterTruncation("close", paths_.szOld);
    rules_.afterRewrite(io_);
    if (io_.unlink(paths_.szMark) != 0) {
        std::fprintf(err_,
                     "%s -> remove %s: %s; %s is complete, and the next run restores it from %s "
                     "and purges again\n",
                     program_.name, paths_.szMark, std::strerror(errno), paths_.szBin, paths_.szOld);
        return kFailedRestorePending;
    }
    markWritten_ = false;
    if (!syncDirectory(io_, paths_.szDirectory)) {
        std::fprintf(err_,
                     "%s -> fsync %s: %s; %s is complete, and if the mark comes back after a "
                     "crash, the next run restores it from %s and purges again\n",
                     program_.name, paths_.szDirectory, std::strerror(errno), paths_.szBin,
                     paths_.szOld);
        return kFailedRestorePending;
    }
    return kPurged;
}

int Purge::run()
{
    const char* source = paths_.szBin;
    if (const int status = recoverInterruptedRun(source); status != kPurged)
        return status;

    dataRead_ = io_.open(source, O_RDONLY);
    if (dataRead_ < 0)
        return reportOpen(program_.openDataFailure, kCannotOpenData);
    if (!dryRun_) {
        backup_ = io_.open(paths_.szOld, O_RDWR | O_CREAT | O_TRUNC, 0666);
        if (backup_ < 0)
            return reportOpen(program_.openBackupFailure, kCannotOpenBackup);
    }
    std::fprintf(out_, "Creating %s\n", program_.backupFileName);

    copier_.start(dataRead_, UINT64_MAX);
    bool grew = false;
    if (!copyPass(grew))
        return failCopy(source);
    if (dryRun_) {
        if (!purgePass(dataRead_, -1))
            return failUnchanged("read", source);
        rules_.printSummary(out_, kept_, dropped_);
        return kPurged;
    }

    dataWrite_ = io_.open(paths_.szBin, O_WRONLY);
    if (dataWrite_ < 0)
        return reportOpen(program_.reopenDataFailure, kCannotReopenData);
    if (program_.reopenBackupFailure) {
        backupRead_ = io_.open(paths_.szOld, O_RDONLY);
        if (backupRead_ < 0)
            return reportOpen(program_.reopenBackupFailure, kCannotOpenBackup);
    }

    if (const int status = makeBackupDurable(); status != kPurged)
        return status;
    if (io_.ftruncate(dataWrite_, 0) != 0)
        return failAfterTruncation("truncate", paths_.szBin);
    if (!purgePass(backupRead_ >= 0 ? backupRead_ : backup_, dataWrite_))
        return failAfterTruncation("rewrite", paths_.szBin);
    if (const int status = finishRewrite(); status != kPurged)
        return status;
    std::fflush(out_);
    releaseSignals();
    rules_.printSummary(out_, kept_, dropped_);
    return kPurged;
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
