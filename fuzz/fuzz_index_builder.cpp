// Builds the index of arbitrary bytes, handed out in reads of an arbitrary
// size, and checks it against a byte-at-a-time reading of the same bytes:
// the same entries, and summing the steps gives each key line's offset.
#include "console.hpp"
#include "index_builder.hpp"
#include "line_stream.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

struct Entry {
    uint16_t hash;
    uint8_t step;
};

class MemorySource : public ByteSource {
public:
    MemorySource(const uint8_t* data, size_t size, size_t chunk) : data_(data), size_(size), chunk_(chunk) {}
    long read(char* into, size_t size) override
    {
        size_t n = size < chunk_ ? size : chunk_;
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const size_t chunk = size > 0 ? data[0] % 9 + 1 : 1;
    MemorySource source(data, size, chunk == 9 ? size + 1 : chunk);
    LineStream stream(source, 8);
    Collector built;
    IDX_spinInteractive(false);
    IDX_build(stream, built, 1, 1);
    std::fflush(stdout);

    const Collector expected = reference(data, size);
    if (built.entries.size() != expected.entries.size() || stream.failed())
        std::abort();
    for (size_t i = 0; i < built.entries.size(); ++i)
        if (built.entries[i].hash != expected.entries[i].hash ||
            built.entries[i].step != expected.entries[i].step)
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
    return 0;
}
