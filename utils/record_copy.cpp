#include "record_copy.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {
constexpr size_t kBlockBytes = size_t{1} << 20;
}  // namespace

RecordReader::RecordReader(FileIo& io, size_t recordSize)
    : io_(io), recordSize_(recordSize),
      buffer_(std::max<size_t>(1, kBlockBytes / recordSize) * recordSize)
{
}

void RecordReader::start(int fd, uint64_t from, uint64_t to)
{
    fd_ = fd;
    at_ = from;
    to_ = to;
    failed_ = false;
}

ssize_t RecordReader::next()
{
    const uint64_t left = to_ - at_;
    const size_t want = left < buffer_.size() ? static_cast<size_t>(left) : buffer_.size();
    size_t have = 0;
    while (have < want) {
        const ssize_t got =
            io_.pread(fd_, buffer_.data() + have, want - have, static_cast<off_t>(at_ + have));
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

void KeptRuns::add(uint64_t from, uint64_t to)
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

RecordCopier::RecordCopier(FileIo& io, size_t recordSize)
    : io_(io), recordSize_(recordSize), dataReader_(io, recordSize), backupReader_(io, recordSize)
{
    output_.reserve(kBlockBytes);
}

uint64_t RecordCopier::wholeLength(off_t size) const
{
    const auto bytes = static_cast<uint64_t>(size);
    return bytes - bytes % recordSize_;
}

bool RecordCopier::copy(int source, int backup, uint64_t end, PurgeRules& rules, time_t now,
                        CopyTally& tally)
{
    dataReader_.start(source, tally.copied, end);
    for (;;) {
        const ssize_t got = dataReader_.next();
        if (got <= 0)
            return got == 0;
        const unsigned char* records = dataReader_.data();
        for (size_t at = 0; at < static_cast<size_t>(got); at += recordSize_) {
            if (rules.keep(records + at, now)) {
                ++tally.kept;
                tally.keptLength += recordSize_;
                tally.runs.add(tally.copied + at, tally.copied + at + recordSize_);
            } else {
                ++tally.dropped;
                rules.dropped(records + at);
            }
        }
        if (backup >= 0 && !writeAll(io_, backup, records, static_cast<size_t>(got)))
            return false;
        tally.copied += static_cast<uint64_t>(got);
    }
}

Pass RecordCopier::rewrite(int source, int data, PurgeRules& rules, time_t now,
                           uint64_t backupLength, uint64_t keptLength, bool reportDropped)
{
    backupReader_.start(source, 0, backupLength);
    uint64_t written = 0;
    output_.clear();
    const auto flush = [&] {
        if (written + output_.size() > keptLength)
            return Pass::Mismatch;
        if (!writeAllAt(io_, data, output_.data(), output_.size(), static_cast<off_t>(written)))
            return Pass::Failed;
        written += output_.size();
        output_.clear();
        return Pass::Done;
    };
    for (;;) {
        const ssize_t got = backupReader_.next();
        if (got < 0)
            return Pass::Failed;
        if (got == 0)
            break;
        const unsigned char* records = backupReader_.data();
        for (size_t at = 0; at < static_cast<size_t>(got); at += recordSize_) {
            if (!rules.keep(records + at, now)) {
                if (reportDropped)
                    rules.dropped(records + at);
                continue;
            }
            output_.insert(output_.end(), records + at, records + at + recordSize_);
            if (output_.size() + recordSize_ > kBlockBytes)
                if (const Pass pass = flush(); pass != Pass::Done)
                    return pass;
        }
    }
    if (const Pass pass = flush(); pass != Pass::Done)
        return pass;
    return written == keptLength ? Pass::Done : Pass::Mismatch;
}

Pass RecordCopier::rewriteRuns(int backup, int data, const KeptRuns& runs, uint64_t keptLength)
{
    uint64_t written = 0;
    for (const KeptRuns::Run& run : runs.runs()) {
        const uint64_t length = run.to - run.from;
        if (written + length > keptLength)
            return Pass::Mismatch;
        if (!copyWithin(backup, data, run.from, length, written))
            return errno != 0 ? Pass::Failed : Pass::Mismatch;
        written += length;
    }
    return written == keptLength ? Pass::Done : Pass::Mismatch;
}

// A file system that cannot copy within the kernel gets the bytes through
// the program's buffer.  False with errno 0 when the backup ended early.
bool RecordCopier::copyWithin(int backup, int data, uint64_t from, uint64_t length, uint64_t to)
{
    while (length > 0) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(length, uint64_t{1} << 30));
        ssize_t copied = io_.copyFileRange(backup, static_cast<off_t>(from), data,
                                           static_cast<off_t>(to), chunk);
        if (copied < 0 &&
            (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
            dataReader_.start(backup, from, from + chunk);
            copied = dataReader_.next();
            if (copied > 0 && !writeAllAt(io_, data, dataReader_.data(),
                                          static_cast<size_t>(copied), static_cast<off_t>(to)))
                return false;
        }
        if (copied <= 0) {
            if (copied == 0)
                errno = 0;
            return false;
        }
        from += static_cast<uint64_t>(copied);
        to += static_cast<uint64_t>(copied);
        length -= static_cast<uint64_t>(copied);
    }
    return true;
}

bool RecordCopier::countKept(int backup, PurgeRules& rules, time_t now, uint64_t from, uint64_t to,
                             uint64_t& keptLength)
{
    backupReader_.start(backup, from, to);
    for (;;) {
        const ssize_t got = backupReader_.next();
        if (got <= 0)
            return got == 0;
        for (size_t at = 0; at < static_cast<size_t>(got); at += recordSize_)
            if (rules.keep(backupReader_.data() + at, now))
                keptLength += recordSize_;
    }
}

bool RecordCopier::sameStart(int data, int backup, uint64_t length, bool& same)
{
    dataReader_.start(data, 0, length);
    backupReader_.start(backup, 0, length);
    for (;;) {
        const ssize_t ours = dataReader_.next();
        const ssize_t theirs = backupReader_.next();
        if (ours < 0 || theirs < 0)
            return false;
        if (ours != theirs ||
            std::memcmp(dataReader_.data(), backupReader_.data(), static_cast<size_t>(ours)) != 0) {
            same = false;
            return true;
        }
        if (ours == 0) {
            same = true;
            return true;
        }
    }
}

namespace {
// Each byte of data is the backup's, or zero.
bool backupOrZero(const unsigned char* data, const unsigned char* backup, size_t length)
{
    for (size_t i = 0; i < length; ++i)
        if (data[i] != backup[i] && data[i] != 0)
            return false;
    return true;
}
}  // namespace

bool RecordCopier::truncatedPast(int data, int backup, uint64_t keptLength, uint64_t backupLength,
                                 bool& truncated)
{
    struct stat status;
    if (io_.fstat(data, status) != 0)
        return false;
    truncated = static_cast<uint64_t>(status.st_size) < backupLength;
    dataReader_.start(data, keptLength, backupLength);
    backupReader_.start(backup, keptLength, backupLength);
    while (!truncated) {
        const ssize_t ours = dataReader_.next();
        const ssize_t theirs = backupReader_.next();
        if (ours < 0 || theirs < 0)
            return false;
        if (ours == 0 && theirs == 0)
            break;
        const auto length = static_cast<size_t>(ours);
        truncated = ours != theirs ||
                    !backupOrZero(dataReader_.data(), backupReader_.data(), length);
    }
    return true;
}

Pass RecordCopier::restore(int backup, int data, uint64_t length)
{
    if (copyWithin(backup, data, 0, length, 0))
        return Pass::Done;
    return errno != 0 ? Pass::Failed : Pass::Mismatch;
}
