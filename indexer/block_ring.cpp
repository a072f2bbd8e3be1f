#include "block_ring.hpp"

#include <cerrno>
#include <cstring>
#include <system_error>

// FileIo::read retries EINTR; -1 stays a failure, with its errno.
long FdSource::read(char* into, size_t size) { return static_cast<long>(io_.read(fd_, into, size)); }

BlockRing::BlockRing(ByteSource& source, size_t blockSize, ReadAhead readAhead)
    : source_(source), blockSize_(blockSize), slotSize_(kCarry + blockSize + kPadding),
      buffers_(std::make_unique_for_overwrite<char[]>(kSlots * slotSize_))
{
    if (readAhead == ReadAhead::Off)
        return;
    try {
        helper_ = std::thread(&BlockRing::readAhead, this);
    } catch (const std::system_error&) {
        // No thread to be had: the caller reads each block when it needs it,
        // which gives the same blocks.
    }
}

// The helper ends at the end of the data or at a failed read; a caller that
// stops before either (only a test does) stops it once its read returns.
BlockRing::~BlockRing()
{
    if (!helper_.joinable())
        return;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    freedOne_.notify_one();
    helper_.join();
}

BlockRing::Block BlockRing::readBlock(size_t block)
{
    char* into = slot(block);
    const long got = source_.read(into, blockSize_);
    if (got < 0)
        return {into, 0, true, errno};
    std::memset(into + got, 0, kPadding);
    return {into, static_cast<size_t>(got), false, 0};
}

// The other side is most often at work on the other core and about to be
// done: a short spin, which lets any thread that waits for this core go
// first, spares a sleep and a wake-up, and a wake-up can take milliseconds
// on a loaded machine.
template <class Ready>
void BlockRing::waitFor(std::condition_variable& signal, Ready ready)
{
    constexpr int kSpins = 2000;
    for (int spin = 0; spin < kSpins; ++spin) {
        if (ready())
            return;
        std::this_thread::yield();
    }
    std::unique_lock lock(mutex_);
    signal.wait(lock, ready);
}

// Block n goes into the slot of block n - kSlots, once the caller is done
// with that one.
void BlockRing::readAhead()
{
    for (size_t block = 0;; ++block) {
        waitFor(freedOne_, [&] { return stop_ || block - freed_ < kSlots; });
        if (stop_)
            return;
        const Block read = readBlock(block);
        {
            std::lock_guard lock(mutex_);
            blocks_[block % kSlots] = read;
            filled_ = block + 1;
        }
        filledOne_.notify_one();
        if (read.size == 0)
            return;
    }
}

BlockRing::Block BlockRing::next()
{
    if (ended_)
        return end_;
    Block block;
    if (helper_.joinable()) {
        waitFor(filledOne_, [&] { return filled_ > taken_; });
        block = blocks_[taken_ % kSlots];
        if (block.size > 0) {
            {
                std::lock_guard lock(mutex_);
                freed_ = taken_++;
            }
            freedOne_.notify_one();
        }
    } else {
        block = readBlock(taken_);
        if (block.size > 0)
            ++taken_;
    }
    if (block.size == 0) {
        ended_ = true;
        end_ = block;
    }
    return block;
}
