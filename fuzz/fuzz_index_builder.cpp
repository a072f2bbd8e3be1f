// Builds the index of arbitrary bytes, handed out in reads of an arbitrary
// size, read ahead or not, and checks it against a byte-at-a-time reading of
// the same bytes: the same entries, and summing the steps gives each key
// line's offset.  The index writer's bytes on disk are those entries too.
#include "console.hpp"
#include "index_builder.hpp"
#include "key_hash.hpp"
#include "line_stream.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

struct Entry {
    uint16_t hash;
    uint8_t step;
    bool operator==(const Entry&) const = default;
};

// Reads of at most chunk bytes, or of 1 to 7 bytes in turn when chunk is 0.
class MemorySource : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size, size_t chunk) : data_(data), size_(size), chunk_(chunk) {}
    long read(char* into, size_t size) override
    {
        const size_t chunk = chunk_ != 0 ? chunk_ : ++reads_ % 7 + 1;
        size_t n = size < chunk ? size : chunk;
        if (n > size_ - at_)
            n = size_ - at_;
        std::memcpy(into, data_ + at_, n);
        at_ += n;
        return static_cast<long>(n);
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t chunk_;
    size_t at_ = 0;
    size_t reads_ = 0;
};

class Collector : public RecordSink {
public:
    void record(uint16_t wHash, uint64_t distance, uint64_t offset, const char*) override
    {
        for (; distance > 255; distance -= 255)
            entries.push_back({0, 255});
        entries.push_back({wHash, static_cast<uint8_t>(distance)});
        keyOffsets.push_back(offset);
    }
    std::vector<Entry> entries;
    std::vector<uint64_t> keyOffsets;
};

// The line reader as a loop over single bytes: at most size - 2 bytes stored.
bool readLineByBytes(const uint8_t* data, size_t size, size_t& at, char* line)
{
    int count = 0;
    size_t stored = 0;
    while (at < size) {
        const uint8_t byte = data[at++];
        if (byte == '\n') {
            line[stored] = '\0';
            return true;
        }
        if (++count < 254)
            line[stored++] = static_cast<char>(byte);
    }
    line[stored] = '\0';
    return false;
}

Collector reference(const uint8_t* data, size_t size)
{
    Collector collector;
    size_t at = 0;
    uint64_t previous = 0;
    char line[256];
    for (;;) {
        const uint64_t position = at;
        const uint64_t distance = position - previous;
        previous = position;
        if (!readLineByBytes(data, size, at, line))
            break;
        STR_lower(line);
        collector.record(IDX_keyHash(line), distance, position, line);
        if (std::memcmp(line, "&&", 3) == 0)
            continue;
        while (readLineByBytes(data, size, at, line) && std::memcmp(line, "&&", 3) != 0) {
        }
    }
    return collector;
}

// The index that an IndexWriter writes, read back from a file in memory.
std::vector<uint8_t> writtenIndex(const uint8_t* data, size_t size, size_t chunk, ReadAhead readAhead)
{
    const int fd = memfd_create("index", 0);
    if (fd < 0)
        std::abort();
    MemorySource source(data, size, chunk);
    LineStream stream(source, 8, readAhead);
    FileIo io;
    IndexWriter writer(io, fd);
    IDX_build(stream, writer, 1, 1);
    const bool flushed = writer.flush();
    const off_t length = lseek(fd, 0, SEEK_CUR);
    if (!flushed || length < 0)
        std::abort();
    std::vector<uint8_t> bytes(static_cast<size_t>(length));
    if (pread(fd, bytes.data(), bytes.size(), 0) != length || close(fd) != 0)
        std::abort();
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t choice = size > 0 ? data[0] % 10 : 1;
    const size_t chunk = choice == 9 ? size + 1 : choice;
    const ReadAhead readAhead = size > 1 && data[1] % 4 == 0 ? ReadAhead::On : ReadAhead::Off;
    MemorySource source(data, size, chunk);
    LineStream stream(source, 8, readAhead);
    Collector built;
    IDX_spinInteractive(false);
    IDX_build(stream, built, 1, 1);
    std::fflush(stdout);

    const Collector expected = reference(data, size);
    if (built.entries != expected.entries || stream.failed())
        std::abort();
    // Summing the steps up to each key entry gives its key line's offset.
    uint64_t sum = 0;
    size_t key = 0;
    uint64_t remaining = 0;
    for (const Entry& entry : built.entries) {
        sum += entry.step;
        if (remaining == 0) {
            const uint64_t distance = built.keyOffsets[key] - (key ? built.keyOffsets[key - 1] : 0);
            remaining = IDX_entryCount(distance);
        }
        if (--remaining == 0 && sum != built.keyOffsets[key++])
            std::abort();
    }
    const std::vector<uint8_t> written = writtenIndex(data, size, chunk, readAhead);
    if (written.size() != 4 * expected.entries.size())
        std::abort();
    for (size_t i = 0; i < expected.entries.size(); ++i) {
        const IndexEntryStruct entry = IDX_entry(expected.entries[i].hash, expected.entries[i].step);
        if (std::memcmp(written.data() + 4 * i, entry.bytes, 4) != 0)
            std::abort();
    }
    return 0;
}
