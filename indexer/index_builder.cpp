#include "index_builder.hpp"

#include "console.hpp"
#include "key_hash.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

IndexEntryStruct IDX_entry(uint16_t wHash, uint8_t byStep)
{
    return {{static_cast<uint8_t>(wHash & 0xFF), static_cast<uint8_t>(wHash >> 8), byStep, 0}};
}

uint16_t IDX_entryHash(const IndexEntryStruct& entry)
{
    return static_cast<uint16_t>(entry.bytes[0] | (entry.bytes[1] << 8));
}

uint8_t IDX_entryStep(const IndexEntryStruct& entry) { return entry.bytes[2]; }

bool IDX_readLine(char* pszBuffer, LineStream& stream, int nSize)
{
    return stream.readLine(pszBuffer, nSize);
}

namespace {
const char kSpinner[4] = {'|', '/', '-', '\\'};
int spinIndex = 0;
bool spinFlushes = true;
}  // namespace

// Called at the start of each run: the spinner starts again from its first
// character, as it does in a new process.
void IDX_spinInteractive(bool interactive)
{
    spinFlushes = interactive;
    spinIndex = 0;
}

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

// After a failure the entries are dropped: the index is abandoned anyway.
bool IndexWriter::flush()
{
    const size_t size = used_ * sizeof buffer_[0];
    used_ = 0;
    if (!failed_ && !writeAll(io_, fd_, buffer_, size)) {
        failed_ = true;
        errno_ = errno;
    }
    return !failed_;
}

namespace {
constexpr size_t kStoredLength = 253;

// The vector form is called directly where it can be, so that it is inlined.
inline __attribute__((always_inline)) uint16_t hash(KeyLineHasher hasher, const char* line, size_t length)
{
#if defined(__x86_64__)
    if (hasher == IDX_hashKeyLineSse2)
        return key_hash_detail::hashKeyLineSse2(line, length);
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
