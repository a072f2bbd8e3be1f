// The index of a text database: one 4-byte entry per record, holding the
// hash of its key line and its distance from the previous key line, with
// continuation entries for every further 255 bytes of distance.
#pragma once

#include "file_io.hpp"
#include "line_stream.hpp"

#include <cstddef>
#include <cstdint>

// Byte 0-1 wHash (little-endian), byte 2 byStep, byte 3 pad (written as 0).
struct IndexEntryStruct {
    uint8_t bytes[4];
};
static_assert(sizeof(IndexEntryStruct) == 4, "an index entry is 4 bytes on disk");

constexpr uint8_t kContinuationStep = 255;

IndexEntryStruct IDX_entry(uint16_t wHash, uint8_t byStep);
uint16_t IDX_entryHash(const IndexEntryStruct& entry);
uint8_t IDX_entryStep(const IndexEntryStruct& entry);

// Reads one line of at most size - 2 bytes; false at the end of the data.
bool IDX_readLine(char* pszBuffer, LineStream& stream, int nSize);

// Shows the next spinner character.  Interactive: each character is flushed
// at once; otherwise it waits in the output buffer.  Choosing starts the
// spinner at its first character.
void IDX_spin(int column, int row);
void IDX_spinInteractive(bool interactive);

// Receives the records as the builder finds them.  A distance is a 64-bit
// count: a record of 65,536 bytes or more is carried by enough continuation
// entries, never wrapped.
class RecordSink {
public:
    virtual ~RecordSink() = default;
    // keyLine is the line as read when wantsKeyLine(), else null.
    virtual void record(uint16_t wHash, uint64_t distance, uint64_t offset, const char* keyLine) = 0;
    virtual bool wantsKeyLine() const { return false; }
};

// The number of entries that a record of this distance takes: its
// continuation entries and its key entry.
uint64_t IDX_entryCount(uint64_t distance);

// Buffers the entries and writes them to a descriptor in large blocks.
class IndexWriter final : public RecordSink {
public:
    IndexWriter(FileIo& io, int fd) : io_(io), fd_(fd) {}
    void record(uint16_t wHash, uint64_t distance, uint64_t offset, const char* keyLine) override;
    bool flush();
    bool failed() const { return failed_; }
    int error() const { return errno_; }

private:
    // The builder puts the entries of each record without a call.
    friend void IDX_build(LineStream& database, IndexWriter& writer, int column, int row);
    void add(uint16_t wHash, uint64_t distance);
    void put(IndexEntryStruct entry);

    static constexpr size_t kEntries = 16384;
    FileIo& io_;
    int fd_;
    // The entries as they lie on disk, each kept in a 32-bit word rather
    // than in bytes: a store of bytes may alias anything, and would make the
    // builder's loop reload what it keeps in registers after every entry.
    uint32_t buffer_[kEntries];
    size_t used_ = 0;
    bool failed_ = false;
    int errno_ = 0;
};

// One pass over the database, record by record; the spinner moves every 51
// passes of the loop (the pass that meets the end of the data counts too).
void IDX_build(LineStream& database, RecordSink& sink, int column, int row);
// The same for the index writer, whose entries are then put without a call.
void IDX_build(LineStream& database, IndexWriter& writer, int column, int row);
