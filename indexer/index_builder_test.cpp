#include "console.hpp"
#include "index_builder.hpp"
#include "key_hash.hpp"
#include "line_stream.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// A database in memory, handed out in reads of at most chunk bytes, or of 1
// to 7 bytes in turn when chunk is 0, so that blocks of the ring are used
// again by shorter ones; it can fail with EIO once failAt bytes were handed
// out.
class MemorySource : public ByteSource {
public:
    MemorySource(std::string bytes, size_t chunk, size_t failAt = std::string::npos)
        : bytes_(std::move(bytes)), chunk_(chunk), failAt_(failAt)
    {
    }
    long read(char* into, size_t size) override
    {
        if (at_ >= failAt_) {
            errno = EIO;
            return -1;
        }
        const size_t chunk = chunk_ != 0 ? chunk_ : ++reads_ % 7 + 1;
        size_t n = std::min({size, chunk, bytes_.size() - at_});
        if (failAt_ != std::string::npos)
            n = std::min(n, failAt_ - at_);
        std::memcpy(into, bytes_.data() + at_, n);
        at_ += n;
        return static_cast<long>(n);
    }

private:
    std::string bytes_;
    size_t chunk_;
    size_t failAt_;
    size_t at_ = 0;
    size_t reads_ = 0;
};

struct Entry {
    uint16_t hash;
    uint8_t step;
    bool operator==(const Entry&) const = default;
};

class EntryCollector : public RecordSink {
public:
    void record(uint16_t wHash, uint64_t distance, uint64_t offset, const char*) override
    {
        for (; distance > 255; distance -= 255)
            entries.push_back({0, 255});
        entries.push_back({wHash, static_cast<uint8_t>(distance)});
        offsets.push_back(offset);
    }
    std::vector<Entry> entries;
    std::vector<uint64_t> offsets;
};

EntryCollector build(const std::string& database, size_t chunk = 1 << 20, size_t block = 1 << 20,
                     ReadAhead readAhead = ReadAhead::Off)
{
    MemorySource source(database, chunk);
    LineStream stream(source, block, readAhead);
    EntryCollector collector;
    testing::internal::CaptureStdout();  // the spinner
    IDX_build(stream, collector, 1, 1);
    testing::internal::GetCapturedStdout();
    return collector;
}

TEST(IndexKeyHash, MatchesKnownKeys)
{
    const struct {
        const char* key;
        uint16_t hash;
    } cases[] = {
        {"", 0},          {"alpha", 0x32D4}, {"bravo", 0x32E8},
        {"&&", 0x2626},   {"a", 0x6100},     {"alpha\r", 0x32E1},
        {"\xFF\xFF\xFF", 0xFEFF},  // wraps at 16 bits, no carry folding
    };
    for (const auto& c : cases)
        EXPECT_EQ(IDX_keyHash(c.key), c.hash) << c.key;
}

// Every form of the key line hash gives what IDX_keyHash gives for the line
// once folded, wherever the line ends, holds a NUL or a capital, and however
// it lies against a vector step; the line is never changed.
TEST(IndexKeyHash, EveryFormHashesTheFoldedLine)
{
    std::vector<KeyLineHasher> hashers = {IDX_hashKeyLineBytes, IDX_keyLineHasher()};
#if defined(__x86_64__)
    hashers.push_back(IDX_hashKeyLineSse2);
#endif
    uint32_t seed = 54321;
    const char alphabet[] = "AZaz@[`{&\n\x80\xC9\xFFq7\0";
    for (int round = 0; round < 20000; ++round) {
        const size_t length = static_cast<size_t>(round) % 254;
        const size_t at = static_cast<size_t>(round / 254) % 16;
        std::string text(at + length + 16, 'x');  // what a vector form may read past the line
        for (char& c : text) {
            seed = seed * 1103515245u + 12345u;
            // Most lines hold no NUL, so that their hash runs to their end.
            c = alphabet[(seed >> 16) % (sizeof alphabet - (round % 4 == 0 ? 1 : 2))];
        }
        const std::string before = text;
        std::string folded = text.substr(at, length);
        STR_lower(folded.data());
        const uint16_t expected = IDX_keyHash(folded.c_str());
        for (KeyLineHasher hashLine : hashers)
            ASSERT_EQ(hashLine(text.data() + at, length), expected) << "round " << round;
        ASSERT_EQ(text, before);
    }
}

TEST(IndexEntry, IsLittleEndianWithZeroPad)
{
    const IndexEntryStruct entry = IDX_entry(0x32D4, 0x14);
    EXPECT_EQ(std::memcmp(entry.bytes, "\xD4\x32\x14\x00", 4), 0);
    EXPECT_EQ(IDX_entryHash(entry), 0x32D4);
    EXPECT_EQ(IDX_entryStep(entry), 0x14);
}

TEST(IndexReadLine, StoresAtMost253BytesAndDropsTheLf)
{
    const struct {
        std::string input;
        std::vector<std::pair<std::string, bool>> lines;
    } cases[] = {
        {"one\ntwo\n", {{"one", true}, {"two", true}, {"", false}}},
        {"cr\r\nlast", {{"cr\r", true}, {"last", false}}},
        {std::string(253, 'x') + "\n", {{std::string(253, 'x'), true}}},
        {std::string(300, 'y') + "\nz\n", {{std::string(253, 'y'), true}, {"z", true}}},
        {"\n\n", {{"", true}, {"", true}, {"", false}}},
    };
    for (const auto& c : cases) {
        for (size_t chunk : {size_t{1}, size_t{7}, size_t{1} << 20}) {
            MemorySource source(c.input, chunk);
            LineStream stream(source, 64);
            char buffer[256];
            for (const auto& [text, ended] : c.lines) {
                EXPECT_EQ(IDX_readLine(buffer, stream, 255), ended);
                EXPECT_EQ(std::string(buffer), text);
            }
        }
    }
}

TEST(IndexBuild, EntriesFollowTheRecords)
{
    const std::string longBody(590, 'b');  // "Alpha\n", body, "\n&&\n": Bravo at 600
    const struct {
        const char* name;
        std::string database;
        std::vector<Entry> entries;
    } cases[] = {
        {"worked example", "Alpha\nfirst line\n&&\nBravo\nsecond\n&&\n", {{0x32D4, 0}, {0x32E8, 20}}},
        {"continuations", "Alpha\n" + longBody + "\n&&\nBravo\n",
         {{0x32D4, 0}, {0, 255}, {0, 255}, {0x32E8, 90}}},
        {"empty file", "", {}},
        {"key without LF", "Alpha", {}},
        {"last key without LF", "Alpha\n&&\nBravo", {{0x32D4, 0}}},
        {"no final separator", "Alpha\nbody\n", {{0x32D4, 0}}},
        {"separator key is a record", "&&\n&&\nA\n", {{0x2626, 0}, {0x2626, 3}, {0x6100, 3}}},
        {"NUL after separator", std::string("A\n&&\0xy\nB\n", 10), {{0x6100, 0}, {0x6200, 8}}},
        {"NUL key separator", std::string("&&\0z\nB\n", 7), {{0x2626, 0}, {0x6200, 5}}},
        {"blank key", "A\n&&\n\nx\n&&\nB\n", {{0x6100, 0}, {0, 5}, {0x6200, 6}}},
        {"not separators", "A\n&& \n&&\r\n&&&\n&&\nB\n", {{0x6100, 0}, {0x6200, 17}}},
        {"CRLF is one record", "Alpha\r\nx\r\n&&\r\nBravo\r\n", {{0x32E1, 0}}},
        {"case folded, high bytes kept", "ABC\n&&\nabc\n&&\n\xC9\n",
         {{0x6162 + 0x6300, 0}, {0x6162 + 0x6300, 7}, {0xC900, 7}}},
        {"separator at end without LF", "A\nb\n&&", {{0x6100, 0}}},
        {"ampersand lines in body", "A\n&x\nx&&\n &&\n&&\nB\n", {{0x6100, 0}, {0x6200, 16}}},
        {"key begins with &&", "&&x\nb\n&&\nB\n", {{0x2626 + 0x7800, 0}, {0x6200, 9}}},
        {"separator first in body", "A\n&&\n&&\n", {{0x6100, 0}, {0x2626, 5}}},
        {"key of 253 bytes", std::string(253, 'K') + "\n&&\nB\n",
         {{static_cast<uint16_t>(0x6B6B * 126 + 0x6B00), 0}, {0, 255}, {0x6200, 2}}},
        {"longer key: its 253 first bytes hashed, every byte counted",
         std::string(253, 'k') + std::string(47, 'z') + "\n&&\nB\n",
         {{static_cast<uint16_t>(0x6B6B * 126 + 0x6B00), 0}, {0, 255}, {0x6200, 301 + 3 - 255}}},
        {"blank key, no body", "A\n&&\n\n&&\nB\n&&\nC\n", {{0x6100, 0}, {0, 5}, {0x6200, 4}, {0x6300, 5}}},
        // Blocks end inside key lines, and the blocks of the ring are used
        // again, with line ends of earlier records past the end of the data.
        {"short records", [] {
             std::string text;
             for (int i = 0; i < 40; ++i)
                 text += "K" + std::string(static_cast<size_t>(i % 7), 'y') + "\nb\n&&\n";
             return text;
         }(),
         [] {
             std::vector<Entry> entries;
             for (int i = 0; i < 40; ++i) {
                 const std::string key = "k" + std::string(static_cast<size_t>(i % 7), 'y');
                 entries.push_back({IDX_keyHash(key.c_str()), static_cast<uint8_t>(i ? 6 + (i - 1) % 7 + 1 : 0)});
             }
             return entries;
         }()},
    };
    // The first record is read before any block is, through the line
    // buffer; behind a record of nine bytes, a case meets the builder's path
    // through a block as well.
    const std::string plainRecord = "first\n&&\n";
    const Entry plainEntry = {IDX_keyHash("first"), 0};
    for (const auto& c : cases) {
        for (const bool behindARecord : {false, true}) {
            const std::string database = behindARecord ? plainRecord + c.database : c.database;
            std::vector<Entry> entries = c.entries;
            if (behindARecord) {
                if (!entries.empty())
                    entries[0].step = static_cast<uint8_t>(plainRecord.size());
                entries.insert(entries.begin(), plainEntry);
            }
            for (size_t chunk : {size_t{0}, size_t{1}, size_t{2}, size_t{3}, size_t{5}, size_t{1} << 20})
                for (ReadAhead readAhead : {ReadAhead::Off, ReadAhead::On})
                    for (size_t block : {size_t{16}, size_t{1} << 20})
                        EXPECT_EQ(build(database, chunk, block, readAhead).entries, entries)
                            << c.name << " chunk " << chunk << " block " << block << " read ahead "
                            << (readAhead == ReadAhead::On) << " behind " << behindARecord;
        }
    }
}

// A record of 65,536 bytes or more is carried by continuation entries, so
// that summing the steps still gives every key line's offset.
TEST(IndexBuild, StepsSumToKeyOffsetsBeyondSixteenBits)
{
    for (size_t body : {size_t{255}, size_t{65530}, size_t{65536}, size_t{200000}}) {
        const std::string database =
            "A\n" + std::string(body, 'x') + "\n&&\nB\n" + std::string(10, 'y') + "\n&&\nC\n";
        const EntryCollector built = build(database, 4093, 4096);
        uint64_t sum = 0;
        size_t record = 0;
        for (size_t i = 0; i < built.entries.size(); ++i) {
            sum += built.entries[i].step;
            if (built.entries[i].hash != 0) {
                ASSERT_LT(record, built.offsets.size());
                EXPECT_EQ(sum, built.offsets[record]) << "body " << body;
                EXPECT_EQ(database.substr(static_cast<size_t>(sum), 1),
                          std::string(1, static_cast<char>('A' + record)));
                ++record;
            }
        }
        EXPECT_EQ(record, 3u);
    }
}

// Every form of the separator scan finds the same line, wherever it stands
// in a vector step and whatever surrounds it.
TEST(IndexScan, EveryFormFindsTheSameLine)
{
    std::vector<AmpersandLineFinder> finders = {findAmpersandLineBytes};
#if defined(__x86_64__)
    finders.push_back(findAmpersandLineSse2);
    if (__builtin_cpu_supports("avx2"))
        finders.push_back(findAmpersandLineAvx2);
#endif
    uint32_t seed = 12345;
    const char alphabet[] = "&&&\n\nab\0";
    for (int round = 0; round < 20000; ++round) {
        std::string text(static_cast<size_t>(1 + round % 150), 'x');
        for (char& c : text) {
            seed = seed * 1103515245u + 12345u;
            c = alphabet[(seed >> 16) % (sizeof alphabet - 1)];
        }
        const size_t from = static_cast<size_t>(1 + round % 3);
        if (from >= text.size())
            continue;
        const char* begin = text.data() + from;
        const char* end = text.data() + text.size();
        const char* expected = findAmpersandLineBytes(begin, end);
        for (AmpersandLineFinder find : finders)
            ASSERT_EQ(find(begin, end), expected) << "round " << round;
    }
}

// A failed read ends the stream where it happened, read ahead or not: the
// records before it are built, and the error is kept.
TEST(IndexBuild, ReadErrorIsNotAnEndOfFile)
{
    const std::string database = "A\n&&\nB\n&&\nC\n&&\n";
    const struct {
        size_t failAt;
        std::vector<Entry> entries;
    } cases[] = {
        {0, {}},
        {3, {{0x6100, 0}}},
        {8, {{0x6100, 0}, {0x6200, 5}}},
        {std::string::npos, {{0x6100, 0}, {0x6200, 5}, {0x6300, 5}}},
    };
    for (const auto& c : cases) {
        for (ReadAhead readAhead : {ReadAhead::Off, ReadAhead::On}) {
            MemorySource source(database, 2, c.failAt);
            LineStream stream(source, 16, readAhead);
            EntryCollector collector;
            IDX_build(stream, collector, 1, 1);
            const bool fails = c.failAt != std::string::npos;
            EXPECT_EQ(stream.failed(), fails) << c.failAt;
            EXPECT_EQ(stream.error(), fails ? EIO : 0) << c.failAt;
            EXPECT_EQ(collector.entries, c.entries) << c.failAt;
        }
    }
}

}  // namespace
