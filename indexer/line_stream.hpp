// Block reader over a byte source, with what the index builder needs from a
// text database: the offset of the next byte, whole lines, and a fast skip
// over a record's body.
#pragma once

#include "block_ring.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <sys/types.h>
#include <vector>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

static_assert(sizeof(off_t) >= 8, "databases above 2 GiB need a 64-bit off_t: -D_FILE_OFFSET_BITS=64");

enum class BodyEnd { Separator, EndOfFile };

// The first line start q in [from, end - 1) whose line begins with "&&": q[-1]
// is an LF and q[0], q[1] are ampersands; null when there is none.  from[-1]
// must be readable.  The vector forms test many places at a time, so a
// database with an ampersand on every line costs no more than one without.
using AmpersandLineFinder = const char* (*)(const char* from, const char* end);
const char* findAmpersandLineBytes(const char* from, const char* end);
#if defined(__x86_64__)
const char* findAmpersandLineSse2(const char* from, const char* end);
const char* findAmpersandLineAvx2(const char* from, const char* end);
#endif
// The fastest form that the processor runs.
extern const AmpersandLineFinder findAmpersandLine;

class LineStream {
public:
    static constexpr size_t kDefaultBlock = size_t{1} << 20;

    explicit LineStream(ByteSource& source, size_t blockSize = kDefaultBlock,
                        ReadAhead readAhead = ReadAhead::Off);

    // Offset in the file of the next byte to be read.
    uint64_t offset() const { return base_ + pos_; }

    // Reads one line into buffer: at most size - 2 bytes are stored, the rest
    // of a longer line is dropped, and the LF is consumed but not stored.
    // True when the line ended with an LF; false at the end of the data.
    bool readLine(char* buffer, int size)
    {
        // Most lines lie whole in the buffer and fit.
        const char* from = data_ + pos_;
        const void* lf = available() > 0 ? std::memchr(from, '\n', available()) : nullptr;
        const size_t length = lf ? static_cast<size_t>(static_cast<const char*>(lf) - from) : 0;
        if (!lf || size < 2 || length > static_cast<size_t>(size - 2))
            return readLineAcrossBlocks(buffer, size);
        std::memcpy(buffer, from, length);
        buffer[length] = '\0';
        lineLength_ = length;
        pos_ += length + 1;
        return true;
    }

    enum class WalkEnd { AtKeyLine, InBody };

    // Walks the records that lie in the block from the current position, a
    // key line's start: visit(key, length, offset) for each key line that
    // lies whole in the block, LF included (length leaves the LF out).  The
    // walk goes on past a key line that is a separator, and past a body
    // ended by a plain "&&" line in the block.  It stops in the body, after
    // the key line, at a body that it cannot end so, and at the start of a
    // key line that runs on past the block.  At least BlockRing::kPadding
    // bytes after each key line can be read.
    template <class Visit>
    WalkEnd walkRecordsInBlock(Visit visit)
    {
        const char* const end = data_ + end_;
        const AmpersandLineFinder findSeparator = findSeparator_;
        const char* key = data_ + pos_;
        for (;;) {
            size_t length = 0;
            if (!wholeLine(key, end, length)) {
                pos_ = static_cast<size_t>(key - data_);
                return WalkEnd::AtKeyLine;
            }
            const char* next = isSeparatorLine(key, length) ? key + length + 1 : recordEnd(findSeparator, key, end);
            visit(key, length, base_ + static_cast<uint64_t>(key - data_));
            if (!next) {
                pos_ = static_cast<size_t>(key - data_) + length + 1;
                return WalkEnd::InBody;
            }
            key = next;
        }
    }

    // A stored line of length bytes is a separator when it is "&&", or "&&"
    // followed by a NUL byte.
    static bool isSeparatorLine(const char* line, size_t length)
    {
        return length >= 2 && line[0] == '&' && line[1] == '&' && (length == 2 || line[2] == '\0');
    }

    // The number of bytes that the last readLine stored.
    size_t lineLength() const { return lineLength_; }

    // From the start of a body line, skips to just after the record's
    // separator (a line that is "&&", or "&&" followed by a NUL byte), or to
    // the end of the data.  Only a line that begins with "&&" can end a body,
    // so the scan looks for ampersands, not for every line end.
    BodyEnd skipBody()
    {
        // Most bodies begin with a line that is not a separator and end with
        // an "&&" line that lies whole in the buffer.
        const char* base = data_;
        if (available() >= 3 && base[pos_] != '&') {
            const char* found = findSeparator_(base + pos_ + 1, base + end_);
            if (found && found + 2 < base + end_ && found[2] == '\n') {
                pos_ = static_cast<size_t>(found - base) + 3;
                return BodyEnd::Separator;
            }
        }
        return skipBodyAcrossBlocks();
    }

    // True once a read failed; the stream then behaves as at its end.
    bool failed() const { return failed_; }
    int error() const { return errno_; }

private:
    size_t available() const { return end_ - pos_; }

    // Whether the line from line on ends in the block, and its length.
    static bool wholeLine(const char* line, const char* end, size_t& length)
    {
        const auto left = static_cast<size_t>(end - line);
        size_t searched = 0;
#if defined(__x86_64__)
        // Most key lines are short: one vector finds their end, with no call.
        // The padding after the block keeps the load inside the buffer.
        unsigned lfs = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(line)), _mm_set1_epi8('\n'))));
        if (left < 16)
            lfs &= (1u << left) - 1;
        if (lfs != 0) {
            length = static_cast<size_t>(__builtin_ctz(lfs));
            return true;
        }
        searched = left < 16 ? left : 16;
#endif
        const void* lf = left > searched ? std::memchr(line + searched, '\n', left - searched) : nullptr;
        if (!lf)
            return false;
        length = static_cast<size_t>(static_cast<const char*>(lf) - line);
        return true;
    }

    // Just after the separator of the record whose key line begins at key,
    // lies whole in the block and is not a separator, when that separator is
    // a plain "&&" line in the block too; null otherwise.  No line begins
    // inside the key line, so the scan for a line that begins with "&&"
    // starts after the key's first byte: it need not wait for the key's line
    // end to be found.
    static const char* recordEnd(AmpersandLineFinder findSeparator, const char* key, const char* end)
    {
        const char* found = findSeparator(key + 1, end);
        return found && found + 2 < end && found[2] == '\n' ? found + 3 : nullptr;
    }

    bool readLineAcrossBlocks(char* buffer, int size);
    BodyEnd skipBodyAcrossBlocks();
    bool refill();
    bool ensure(size_t count);
    bool skipPastLineEnd();
    bool separatorAhead(BodyEnd& how);

    AmpersandLineFinder findSeparator_;
    BlockRing blocks_;
    // The bytes of the current block end at data_[end_ - 1]; from data_[0]
    // on, the few carried over from the block before lie in front of them,
    // so that data_[pos_ - 1] always holds the byte before pos_.  Before the
    // first byte of the file it holds an LF, since the file begins at a line
    // start.
    char* data_;
    char start_[1 + BlockRing::kPadding] = {'\n'};
    size_t pos_ = 1;
    size_t end_ = 1;
    uint64_t base_ = 0;  // offset of data_[0] plus one is that of data_[1]
    size_t lineLength_ = 0;
    bool atEnd_ = false;
    bool failed_ = false;
    int errno_ = 0;
};
