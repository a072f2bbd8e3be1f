#include "line_stream.hpp"

#include <cerrno>
#include <cstring>
#include <unistd.h>

long FdSource::read(char* into, size_t size)
{
    for (;;) {
        const ssize_t got = ::read(fd_, into, size);
        if (got >= 0 || errno != EINTR)
            return static_cast<long>(got);
    }
}

// The buffer keeps room for a block plus the short tail of unread bytes that
// is carried over when a lookahead crosses the end of a block.
LineStream::LineStream(ByteSource& source, size_t blockSize)
    : source_(source), buffer_(blockSize + 512), blockSize_(blockSize)
{
    buffer_[0] = '\n';
    base_ = static_cast<uint64_t>(-1);  // buffer_[1] is offset 0
}

// Moves the byte before pos_ and the unread tail to the front of the buffer,
// then reads one block behind them.
bool LineStream::refill()
{
    if (atEnd_)
        return false;
    const size_t keep = pos_ - 1;
    if (keep > 0) {
        std::memmove(buffer_.data(), buffer_.data() + keep, end_ - keep);
        base_ += keep;
        pos_ -= keep;
        end_ -= keep;
    }
    const size_t room = buffer_.size() - end_;
    const long got = source_.read(buffer_.data() + end_, room < blockSize_ ? room : blockSize_);
    if (got <= 0) {
        atEnd_ = true;
        if (got < 0) {
            failed_ = true;
            errno_ = errno;
        }
        return false;
    }
    end_ += static_cast<size_t>(got);
    return true;
}

bool LineStream::ensure(size_t count)
{
    while (available() < count)
        if (!refill())
            return false;
    return true;
}

bool LineStream::readLine(char* buffer, int size)
{
    const size_t room = size > 2 ? static_cast<size_t>(size - 2) : 0;
    size_t stored = 0;
    for (;;) {
        if (available() == 0 && !refill()) {
            buffer[stored] = '\0';
            return false;
        }
        const char* from = buffer_.data() + pos_;
        const char* lf = static_cast<const char*>(std::memchr(from, '\n', available()));
        const size_t length = lf ? static_cast<size_t>(lf - from) : available();
        const size_t take = length < room - stored ? length : room - stored;
        std::memcpy(buffer + stored, from, take);
        stored += take;
        pos_ += length;
        if (lf) {
            ++pos_;
            buffer[stored] = '\0';
            return true;
        }
    }
}

bool LineStream::skipPastLineEnd()
{
    for (;;) {
        if (available() == 0 && !refill())
            return false;
        const char* from = buffer_.data() + pos_;
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
    ensure(3);
    const char* p = buffer_.data() + pos_;
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

BodyEnd LineStream::skipBody()
{
    BodyEnd how = BodyEnd::EndOfFile;
    for (;;) {
        if (separatorAhead(how))
            return how;
        if (available() == 0)
            return BodyEnd::EndOfFile;
        ++pos_;  // the current line is not a separator
        // Find the next ampersand that begins a line.
        for (;;) {
            if (available() == 0 && !refill())
                return BodyEnd::EndOfFile;
            const char* from = buffer_.data() + pos_;
            const char* amp = static_cast<const char*>(std::memchr(from, '&', available()));
            if (!amp) {
                pos_ = end_;
                continue;
            }
            pos_ += static_cast<size_t>(amp - from);
            if (amp[-1] == '\n')
                break;
            ++pos_;
        }
    }
}
