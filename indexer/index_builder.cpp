#include "index_builder.hpp"

#include "console.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#if defined(__x86_64__)
#include <emmintrin.h>
#endif

IndexEntryStruct IDX_entry(uint16_t wHash, uint8_t byStep)
{
    return {{static_cast<uint8_t>(wHash & 0xFF), static_cast<uint8_t>(wHash >> 8), byStep, 0}};
}

uint16_t IDX_entryHash(const IndexEntryStruct& entry)
{
    return static_cast<uint16_t>(entry.bytes[0] | (entry.bytes[1] << 8));
}

uint8_t IDX_entryStep(const IndexEntryStruct& entry) { return entry.bytes[2]; }

// Two bytes at a time: the first of a pair weighs 256, the second 1.
uint16_t IDX_keyHash(const char* pszKey)
{
    const auto* key = reinterpret_cast<const unsigned char*>(pszKey);
    unsigned hash = 0;
    for (; key[0] != '\0' && key[1] != '\0'; key += 2)
        hash += key[0] * 256u + key[1];
    if (key[0] != '\0')
        hash += key[0] * 256u;
    return static_cast<uint16_t>(hash);
}

bool IDX_readLine(char* pszBuffer, LineStream& stream, int nSize)
{
    return stream.readLine(pszBuffer, nSize);
}

namespace {
const char kSpinner[4] = {'|', '/', '-', '\\'};
int spinIndex = 0;
bool spinFlushes = true;
}  // namespace

void IDX_spinInteractive(bool interactive) { spinFlushes = interactive; }

void IDX_spin(int column, int row)
{
    CON_moveTo(column, row);
    if (spinFlushes)
        CON_putChar(kSpinner[spinIndex]);
    else
        std::putchar(kSpinner[spinIndex]);
    spinIndex = spinIndex > 2 ? 0 : spinIndex + 1;
}

uint64_t IDX_entryCount(uint64_t distance)
{
    return distance > kContinuationStep ? (distance - 1) / kContinuationStep + 1 : 1;
}

inline void IndexWriter::put(IndexEntryStruct entry)
{
    if (used_ == kEntries)
        flush();
    std::memcpy(&buffer_[used_++], entry.bytes, sizeof entry.bytes);
}

inline void IndexWriter::add(uint16_t wHash, uint64_t distance)
{
    while (distance > kContinuationStep) {
        put(IDX_entry(0, kContinuationStep));
        distance -= kContinuationStep;
    }
    put(IDX_entry(wHash, static_cast<uint8_t>(distance)));
}

void IndexWriter::record(uint16_t wHash, uint64_t distance, uint64_t, const char*) { add(wHash, distance); }

bool IndexWriter::flush()
{
    const char* from = reinterpret_cast<const char*>(buffer_);
    size_t left = used_ * sizeof buffer_[0];
    used_ = 0;
    while (left > 0 && !failed_) {
        const ssize_t wrote = write(fd_, from, left);
        if (wrote < 0) {
            if (errno == EINTR)
                continue;
            failed_ = true;
            errno_ = errno;
            break;
        }
        from += wrote;
        left -= static_cast<size_t>(wrote);
    }
    return !failed_;
}

bool IndexChecker::next(IndexEntryStruct& entry)
{
    while (end_ - used_ < sizeof entry) {
        if (atEnd_)
            return false;
        std::memmove(buffer_, buffer_ + used_, end_ - used_);
        end_ -= used_;
        used_ = 0;
        const long got = index_.read(buffer_ + end_, sizeof buffer_ - end_);
        if (got < 0) {
            errno_ = errno;
            verdict_ = Verdict::ReadFailed;
            atEnd_ = true;
            return false;
        }
        atEnd_ = got == 0;
        end_ += static_cast<size_t>(got);
    }
    std::memcpy(entry.bytes, buffer_ + used_, sizeof entry);
    used_ += sizeof entry;
    return true;
}

void IndexChecker::record(uint16_t wHash, uint64_t distance, uint64_t offset, const char* keyLine)
{
    if (verdict_ != Verdict::Agrees)
        return;
    ++records_;
    for (uint64_t left = distance;; left -= kContinuationStep) {
        const bool continuation = left > kContinuationStep;
        const uint16_t hash = continuation ? 0 : wHash;
        const auto step = static_cast<uint8_t>(continuation ? kContinuationStep : left);
        IndexEntryStruct entry;
        if (!next(entry) || IDX_entryHash(entry) != hash || IDX_entryStep(entry) != step) {
            if (verdict_ == Verdict::Agrees)
                verdict_ = atEnd_ && end_ - used_ < sizeof entry ? Verdict::IndexEndsEarly
                                                                  : Verdict::RecordDiffers;
            offset_ = offset;
            std::strncpy(keyLine_, keyLine, sizeof keyLine_ - 1);
            return;
        }
        if (!continuation)
            return;
    }
}

IndexChecker::Verdict IndexChecker::finish()
{
    IndexEntryStruct entry;
    if (verdict_ == Verdict::Agrees && (next(entry) || end_ != used_))
        verdict_ = Verdict::IndexRunsOn;
    return verdict_;
}

uint16_t IDX_hashKeyLineBytes(const char* line, size_t length)
{
    unsigned hash = 0;
    for (size_t i = 0; i < length; ++i) {
        const auto folded = static_cast<unsigned char>(kCaseTables.lower[static_cast<unsigned char>(line[i])]);
        if (folded == 0)
            break;
        hash += i % 2 == 0 ? folded * 256u : folded;
    }
    return static_cast<uint16_t>(hash);
}

#if defined(__x86_64__)
namespace {
// The number of leading bytes of a vector that belong to the key: those
// before the first NUL, and before the line's end, left bytes away.
unsigned keyBytes(unsigned nulMask, size_t left)
{
    const unsigned inLine = left < 16 ? static_cast<unsigned>(left) : 16;
    const unsigned beforeNul = nulMask != 0 ? static_cast<unsigned>(__builtin_ctz(nulMask)) : 16;
    return inLine < beforeNul ? inLine : beforeNul;
}

// Sixteen bytes of 0xFF, then sixteen of 0: the mask of the first n bytes
// of a vector starts at 16 - n.
const char kLeadingBytes[32] = {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1};

// Inlined where the builder calls it.  The bytes at even places weigh 256,
// those at odd places 1: their sums, of 253 bytes at most, fit in 32 bits
// each and come out as the halves of one 64-bit lane.
inline __attribute__((always_inline)) uint16_t hashKeyLineSse2(const char* line, size_t length)
{
    const __m128i zero = _mm_setzero_si128();
    __m128i sums = zero;
    for (size_t at = 0; at < length; at += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(line + at));
        const unsigned count =
            keyBytes(static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, zero))), length - at);
        const __m128i key = _mm_and_si128(
            bytes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kLeadingBytes + 16 - count)));
        // A to Z are the bytes less than 26 above 'A'; they get 0x20.
        const __m128i aboveA = _mm_sub_epi8(key, _mm_set1_epi8('A'));
        const __m128i upper = _mm_cmpeq_epi8(_mm_min_epu8(aboveA, _mm_set1_epi8(25)), aboveA);
        const __m128i folded = _mm_add_epi8(key, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
        const __m128i even = _mm_sad_epu8(_mm_and_si128(folded, _mm_set1_epi16(0xFF)), zero);
        const __m128i odd = _mm_sad_epu8(_mm_srli_epi16(folded, 8), zero);
        sums = _mm_add_epi64(sums, _mm_add_epi64(even, _mm_slli_epi64(odd, 32)));
        if (count < 16)
            break;
    }
    const auto both = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(sums, _mm_unpackhi_epi64(sums, sums))));
    return static_cast<uint16_t>((both & 0xFFFFFFFF) * 256u + (both >> 32));
}
}  // namespace

uint16_t IDX_hashKeyLineSse2(const char* line, size_t length) { return hashKeyLineSse2(line, length); }
#endif

#if defined(__x86_64__)
namespace {
// The vector form folds A-Z alone: it stands in for the byte loop only
// where the C library's case table does the same.
bool caseTableIsAsciiFold()
{
    for (int c = 0; c < 256; ++c) {
        const int folded = c >= 'A' && c <= 'Z' ? c + 0x20 : c;
        if (static_cast<unsigned char>(kCaseTables.lower[c]) != folded)
            return false;
    }
    return true;
}
}  // namespace
#endif

KeyLineHasher IDX_keyLineHasher()
{
#if defined(__x86_64__)
    if (caseTableIsAsciiFold())
        return IDX_hashKeyLineSse2;
#endif
    return IDX_hashKeyLineBytes;
}

namespace {
constexpr size_t kStoredLength = 253;

// The vector form is called directly where it can be, so that it is inlined.
inline __attribute__((always_inline)) uint16_t hash(KeyLineHasher hasher, const char* line, size_t length)
{
#if defined(__x86_64__)
    if (hasher == IDX_hashKeyLineSse2)
        return hashKeyLineSse2(line, length);
#endif
    return hasher(line, length);
}

// The loop of IDX_build; each record goes to record(hash, distance, offset,
// key line), which the index writer's form inlines.
template <class Record>
void buildIndex(LineStream& database, bool keepLine, Record record, int column, int row)
{
    const KeyLineHasher hashKeyLine = IDX_keyLineHasher();
    char line[256] = {};
    uint64_t previous = 0;
    int passes = 0;
    const auto pass = [&] {
        if (++passes == 51) {
            passes = 0;
            IDX_spin(column, row);
        }
    };
    // Most records are hashed and skipped where they lie in the block.
    const auto visit = [&](const char* key, size_t length, uint64_t position) {
        pass();
        record(hash(hashKeyLine, key, length < kStoredLength ? length : kStoredLength), position - previous,
               position, nullptr);
        previous = position;
    };
    for (;;) {
        if (!keepLine && database.walkRecordsInBlock(visit) == LineStream::WalkEnd::InBody) {
            database.skipBody();
            continue;
        }
        // A key line that runs on past the block, or that the sink keeps, is
        // read into the line buffer.
        pass();
        const uint64_t position = database.offset();
        const uint64_t distance = position - previous;
        previous = position;
        if (!IDX_readLine(line, database, 255))
            break;
        const size_t length = database.lineLength();
        record(hash(hashKeyLine, line, length), distance, position, keepLine ? line : nullptr);
        if (!LineStream::isSeparatorLine(line, length))
            database.skipBody();
    }
}
}  // namespace

void IDX_build(LineStream& database, RecordSink& sink, int column, int row)
{
    const auto record = [&](uint16_t wHash, uint64_t distance, uint64_t offset, const char* keyLine) {
        sink.record(wHash, distance, offset, keyLine);
    };
    buildIndex(database, sink.wantsKeyLine(), record, column, row);
}

void IDX_build(LineStream& database, IndexWriter& writer, int column, int row)
{
    const auto record = [&](uint16_t wHash, uint64_t distance, uint64_t, const char*) { writer.add(wHash, distance); };
    buildIndex(database, false, record, column, row);
}
