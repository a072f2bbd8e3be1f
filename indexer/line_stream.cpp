#include "line_stream.hpp"

#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {
bool beginsAmpersandLine(const char* q) { return q[-1] == '\n' && q[0] == '&' && q[1] == '&'; }
}  // namespace

const char* findAmpersandLineBytes(const char* q, const char* end)
{
    for (; q + 1 < end; ++q)
        if (beginsAmpersandLine(q))
            return q;
    return nullptr;
}

#if defined(__x86_64__)
namespace {
// Places where an LF is followed by an ampersand; the second ampersand is
// checked only at those, which are rare.
__attribute__((target("avx2"))) inline unsigned lineStartAmpersands(const char* q)
{
    const __m256i before = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q - 1));
    const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(q));
    return static_cast<unsigned>(_mm256_movemask_epi8(
        _mm256_and_si256(_mm256_cmpeq_epi8(before, _mm256_set1_epi8('\n')),
                         _mm256_cmpeq_epi8(first, _mm256_set1_epi8('&')))));
}
}  // namespace

__attribute__((target("avx2"))) const char* findAmpersandLineAvx2(const char* q, const char* end)
{
    for (; q + 65 <= end; q += 64) {
        const uint64_t mask = lineStartAmpersands(q) | uint64_t{lineStartAmpersands(q + 32)} << 32;
        for (uint64_t left = mask; left != 0; left &= left - 1) {
            const char* candidate = q + __builtin_ctzll(left);
            if (candidate[1] == '&')
                return candidate;
        }
    }
    return findAmpersandLineBytes(q, end);
}

const char* findAmpersandLineSse2(const char* q, const char* end)
{
    const __m128i lf = _mm_set1_epi8('\n');
    const __m128i amp = _mm_set1_epi8('&');
    for (; q + 17 <= end; q += 16) {
        const __m128i before = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q - 1));
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i second = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
        const __m128i hit = _mm_and_si128(
            _mm_and_si128(_mm_cmpeq_epi8(before, lf), _mm_cmpeq_epi8(first, amp)),
            _mm_cmpeq_epi8(second, amp));
        const auto mask = static_cast<unsigned>(_mm_movemask_epi8(hit));
        if (mask != 0)
            return q + __builtin_ctz(mask);
    }
    return findAmpersandLineBytes(q, end);
}

// The features are read here, during static initialisation, so the check
// is initialised first.
const AmpersandLineFinder findAmpersandLine = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? findAmpersandLineAvx2 : findAmpersandLineSse2;
}();
#else
const AmpersandLineFinder findAmpersandLine = findAmpersandLineBytes;
#endif

LineStream::LineStream(ByteSource& source, size_t blockSize, ReadAhead readAhead)
    : findSeparator_(findAmpersandLine), blocks_(source, blockSize, readAhead), data_(start_)
{
    base_ = static_cast<uint64_t>(-1);  // data_[1] is offset 0
}

// Puts the byte before pos_ and the unread tail in front of the next block.
// The tail is at most the two bytes of a lookahead, so it fits the room that
// the ring keeps before each block.
bool LineStream::refill()
{
    if (atEnd_)
        return false;
    const size_t keep = end_ - (pos_ - 1);
    char carried[BlockRing::kCarry];
    std::memcpy(carried, data_ + pos_ - 1, keep);
    const BlockRing::Block block = blocks_.next();
    if (block.size == 0) {
        atEnd_ = true;
        failed_ = block.failed;
        errno_ = block.error;
        return false;
    }
    base_ += pos_ - 1;
    data_ = block.data - keep;
    std::memcpy(data_, carried, keep);
    pos_ = 1;
    end_ = keep + block.size;
    return true;
}

bool LineStream::ensure(size_t count)
{
    while (available() < count)
        if (!refill())
            return false;
    return true;
}

bool LineStream::readLineAcrossBlocks(char* buffer, int size)
{
    const size_t room = size > 2 ? static_cast<size_t>(size - 2) : 0;
    size_t stored = 0;
    for (;;) {
        if (available() == 0 && !refill()) {
            buffer[stored] = '\0';
            lineLength_ = stored;
            return false;
        }
        const char* from = data_ + pos_;
        const char* lf = static_cast<const char*>(std::memchr(from, '\n', available()));
        const size_t length = lf ? static_cast<size_t>(lf - from) : available();
        const size_t take = length < room - stored ? length : room - stored;
        std::memcpy(buffer + stored, from, take);
        stored += take;
        pos_ += length;
        if (lf) {
            ++pos_;
            buffer[stored] = '\0';
            lineLength_ = stored;
            return true;
        }
    }
}

bool LineStream::skipPastLineEnd()
{
    for (;;) {
        if (available() == 0 && !refill())
            return false;
        const char* from = data_ + pos_;
        const char* lf = static_cast<const char*>(std::memchr(from, '\n', available()));
        if (lf) {
            pos_ += static_cast<size_t>(lf - from) + 1;
            return true;
        }
        pos_ = end_;
    }
}

// At a line start: is this line a separator?  "&&" then LF, "&&" then NUL
// (whatever follows on the line), or "&&" as the last bytes of the data.
bool LineStream::separatorAhead(BodyEnd& how)
{
    const char* p = data_ + pos_;
    if (available() >= 2 && (p[0] != '&' || p[1] != '&'))
        return false;
    ensure(3);
    p = data_ + pos_;
    if (available() < 2 || p[0] != '&' || p[1] != '&')
        return false;
    if (available() == 2) {
        pos_ += 2;
        how = BodyEnd::EndOfFile;
        return true;
    }
    if (p[2] == '\n') {
        pos_ += 3;
        how = BodyEnd::Separator;
        return true;
    }
    if (p[2] == '\0') {
        how = skipPastLineEnd() ? BodyEnd::Separator : BodyEnd::EndOfFile;
        return true;
    }
    return false;
}


BodyEnd LineStream::skipBodyAcrossBlocks()
{
    BodyEnd how = BodyEnd::EndOfFile;
    for (;;) {
        if (separatorAhead(how))
            return how;
        if (available() == 0)
            return BodyEnd::EndOfFile;
        ++pos_;  // the current line is not a separator
        // Find the next line that begins with "&&"; the last byte of the
        // buffer may begin one, so it is kept for the next block.
        for (;;) {
            const char* base = data_;
            const char* found = findSeparator_(base + pos_, base + end_);
            if (found) {
                pos_ = static_cast<size_t>(found - base);
                break;
            }
            if (pos_ + 1 < end_)
                pos_ = end_ - 1;
            if (!refill()) {
                pos_ = end_;
                return BodyEnd::EndOfFile;
            }
        }
    }
}
