// The records of a purge on their way: read in large blocks at explicit
// offsets, judged, copied to the backup and written back below the kept
// length.  Nothing here locks, leases or marks: it needs a FileIo alone.
#pragma once

#include "file_io.hpp"
#include "purge_rules.hpp"

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <vector>

// Reads the whole records of a range of a file, in large blocks at explicit
// offsets: the data file is never read through a shared file position.
class RecordReader {
public:
    RecordReader(FileIo& io, size_t recordSize);

    void start(int fd, uint64_t from, uint64_t to);
    // Bytes of whole records at data(), 0 at the end, -1 on a read error.
    // A file shorter than the range ends it.
    ssize_t next();
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

    void add(uint64_t from, uint64_t to);
    bool usable() const { return !overflowed_; }
    const std::vector<Run>& runs() const { return runs_; }

private:
    static constexpr size_t kMaxRuns = 1024;
    std::vector<Run> runs_;
    bool overflowed_ = false;
};

// What the copy to the backup found: the mark records its lengths.
struct CopyTally {
    uint64_t copied = 0;      // bytes of the whole records copied to the backup
    uint64_t keptLength = 0;  // of those, the bytes of the records that stay
    long kept = 0;            // and the records that stay and go
    long dropped = 0;
    KeptRuns runs;
};

// How a rewrite of the kept records ended.  Mismatch: the backup did not
// give the kept length that was counted (it was judged otherwise, or it
// ended early), and nothing was written at or past that length.
enum class Pass { Done, Failed, Mismatch };

class RecordCopier {
public:
    RecordCopier(FileIo& io, size_t recordSize);

    uint64_t wholeLength(off_t size) const;

    // Copies the whole records of source from tally.copied to end to backup
    // (to none where backup is -1: a dry run), judging each against now:
    // the kept ones are counted and their runs noted, the dropped ones shown
    // to the rules.  False on a failed read (readFailed()) or write.
    bool copy(int source, int backup, uint64_t end, PurgeRules& rules, time_t now,
              CopyTally& tally);
    bool readFailed() const { return dataReader_.failed(); }

    // Reads the records of source's [0, backupLength) back, judges them
    // against now and writes the kept ones from the start of data, showing
    // the rules the dropped ones when reportDropped.  Never a byte at or
    // past keptLength: what lies there was appended by the node.
    Pass rewrite(int source, int data, PurgeRules& rules, time_t now, uint64_t backupLength,
                 uint64_t keptLength, bool reportDropped);
    // The kept runs that the copy found, copied within the kernel from the
    // backup to the front of data, under the same guard.
    Pass rewriteRuns(int backup, int data, const KeptRuns& runs, uint64_t keptLength);

    // Adds to keptLength the bytes of the records of backup's [from, to)
    // that the rules keep at now.
    bool countKept(int backup, PurgeRules& rules, time_t now, uint64_t from, uint64_t to,
                   uint64_t& keptLength);
    // Whether data's first length bytes are backup's; false on a read error.
    bool sameStart(int data, int backup, uint64_t length, bool& same);
    // Whether data was truncated to keptLength: it is shorter than
    // backupLength, or holds between the two lengths bytes other than the
    // backup's or zeros (those of a truncation that cleared the rest of its
    // last block but never reached the disk).  False on a read error.
    bool truncatedPast(int data, int backup, uint64_t keptLength, uint64_t backupLength,
                       bool& truncated);
    // Writes backup's first length bytes over data's.
    Pass restore(int backup, int data, uint64_t length);

private:
    bool copyWithin(int backup, int data, uint64_t from, uint64_t length, uint64_t to);

    FileIo& io_;
    size_t recordSize_;
    RecordReader dataReader_;    // the data file, or the file a copy starts from
    RecordReader backupReader_;  // the backup, read back
    std::vector<unsigned char> output_;
};
