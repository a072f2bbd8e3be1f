#include "index_builder.hpp"

#include "console.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

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

void IndexWriter::put(IndexEntryStruct entry)
{
    if (used_ == kEntries)
        flush();
    buffer_[used_++] = entry;
}

void IndexWriter::record(uint16_t wHash, uint64_t distance, uint64_t, const char*)
{
    while (distance > kContinuationStep) {
        put(IDX_entry(0, kContinuationStep));
        distance -= kContinuationStep;
    }
    put(IDX_entry(wHash, static_cast<uint8_t>(distance)));
}

bool IndexWriter::flush()
{
    const char* from = reinterpret_cast<const char*>(buffer_);
    size_t left = used_ * sizeof(IndexEntryStruct);
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

namespace {
// STR_lower and IDX_keyHash in one pass over the key line: the lower-case
// fold in place (folding to upper case first would change nothing), and the
// hash of the folded key up to its first NUL.
uint16_t foldAndHash(char* line)
{
    unsigned hash = 0;
    for (size_t i = 0;; i += 2) {
        const auto high = static_cast<unsigned char>(kCaseTables.lower[static_cast<unsigned char>(line[i])]);
        line[i] = static_cast<char>(high);
        if (high == 0)
            break;
        const auto low = static_cast<unsigned char>(kCaseTables.lower[static_cast<unsigned char>(line[i + 1])]);
        line[i + 1] = static_cast<char>(low);
        hash += high * 256u + low;
        if (low == 0)
            break;
    }
    return static_cast<uint16_t>(hash);
}

// The separator is compared over three bytes: two ampersands and the end of
// the stored line, so "&&" followed by a NUL byte is one as well.
bool isSeparator(const char* line) { return std::memcmp(line, "&&", 3) == 0; }
}  // namespace

void IDX_build(LineStream& database, RecordSink& sink, int column, int row)
{
    char line[256] = {};
    char key[256] = {};
    uint64_t previous = 0;
    int passes = 0;
    const bool keepLine = sink.wantsKeyLine();
    for (;;) {
        if (++passes == 51) {
            passes = 0;
            IDX_spin(column, row);
        }
        const uint64_t position = database.offset();
        const uint64_t distance = position - previous;
        previous = position;
        if (!IDX_readLine(line, database, 255))
            break;
        char* folded = line;
        if (keepLine) {
            std::memcpy(key, line, database.lineLength() + 1);
            folded = key;
        }
        sink.record(foldAndHash(folded), distance, position, line);
        if (!isSeparator(folded))
            database.skipBody();
    }
}
