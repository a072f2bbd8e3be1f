// The check of an index on disk against its database: the index that a
// build would write, compared entry by entry, without writing anything.
#pragma once

#include "block_ring.hpp"
#include "index_builder.hpp"

#include <cstddef>
#include <cstdint>

// Compares the entries of each record with those of an index on disk,
// read in large blocks; remembers the first record whose entries differ.
class IndexChecker : public RecordSink {
public:
    explicit IndexChecker(ByteSource& index) : index_(index) {}
    void record(uint16_t wHash, uint64_t distance, uint64_t offset, const char* keyLine) override;
    bool wantsKeyLine() const override { return true; }

    enum class Verdict { Agrees, RecordDiffers, IndexEndsEarly, IndexRunsOn, ReadFailed };
    // Once the database was read: what the check found.
    Verdict finish();
    uint64_t records() const { return records_; }
    // The record that differs, or that the index ends before.
    uint64_t offset() const { return offset_; }
    const char* keyLine() const { return keyLine_; }
    int error() const { return errno_; }

private:
    // The next entry of the index on disk; false at its end or on an error.
    bool next(IndexEntryStruct& entry);

    ByteSource& index_;
    char buffer_[65536];
    size_t used_ = 0;
    size_t end_ = 0;
    bool atEnd_ = false;
    uint64_t records_ = 0;
    Verdict verdict_ = Verdict::Agrees;
    uint64_t offset_ = 0;
    char keyLine_[256] = {};
    int errno_ = 0;
};
