// The blocks of a byte source, read in order into a small fixed ring of
// buffers, either on demand or ahead by one helper thread.
#pragma once

#include "file_io.hpp"

#include <atomic>
#include <condition_variable>
#include <memory>
#include <cstddef>
#include <mutex>
#include <thread>

// The disk behind a small interface, so that a test double can fail a read.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Bytes read (0 at the end), or -1 with errno set.
    virtual long read(char* into, size_t size) = 0;
};

// A descriptor read through io, so that a test's FileIo can fail a read.
// A BlockRing that reads ahead calls io from its helper thread while the
// caller makes other calls: io must then take calls from two threads at
// once, as the disk's own FileIo, which keeps no state, does.
class FdSource : public ByteSource {
public:
    FdSource(FileIo& io, int fd) : io_(io), fd_(fd) {}
    long read(char* into, size_t size) override;

private:
    FileIo& io_;
    int fd_;
};

enum class ReadAhead { Off, On };

class BlockRing {
public:
    static constexpr size_t kSlots = 4;
    // Room before each block for the few bytes that a reader carries over
    // from the block before, and readable bytes after it, so that a vector
    // load that starts inside the block never leaves the buffer.
    static constexpr size_t kCarry = 16;
    static constexpr size_t kPadding = 64;

    // Each block is one read of at most blockSize bytes.  With
    // ReadAhead::On a helper thread does the reads while the caller works
    // on the block it holds; when the thread cannot be started, the caller
    // reads on demand.
    BlockRing(ByteSource& source, size_t blockSize, ReadAhead readAhead);
    ~BlockRing();
    BlockRing(const BlockRing&) = delete;
    BlockRing& operator=(const BlockRing&) = delete;

    struct Block {
        char* data;   // kCarry writable bytes before, kPadding zeros after
        size_t size;  // 0 at the end of the data or after a failed read
        bool failed;  // the read failed with error
        int error;
    };
    // The next block in the order of the source.  The caller's previous
    // block may then be overwritten, except when the end is returned: the
    // end comes once all blocks before it were taken, and again on every
    // later call.
    Block next();

private:
    char* slot(size_t block) { return buffers_.get() + (block % kSlots) * slotSize_ + kCarry; }
    Block readBlock(size_t block);
    void readAhead();
    template <class Ready>
    void waitFor(std::condition_variable& signal, Ready ready);

    ByteSource& source_;
    size_t blockSize_;
    size_t slotSize_;
    // Left unwritten until the reads fill them, so that the pages are
    // first touched by the thread that reads.
    std::unique_ptr<char[]> buffers_;
    Block blocks_[kSlots] = {};
    size_t taken_ = 0;  // blocks handed to the caller; the caller holds the last
    bool ended_ = false;
    Block end_ = {};

    // Shared with the helper thread: changed under mutex_, and read without
    // it while a thread spins before it sleeps.
    std::mutex mutex_;
    std::condition_variable filledOne_;
    std::condition_variable freedOne_;
    std::atomic<size_t> filled_ = 0;  // blocks read, the end or a failure included
    std::atomic<size_t> freed_ = 0;   // blocks the caller is done with
    std::atomic<bool> stop_ = false;
    std::thread helper_;
};
