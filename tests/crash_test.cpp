// The tools beside a running node: a purge stopped at any instant loses
// nothing, a node that appends and reads while purges run loses no record
// and never sees a half-written file, two purges at once lose nothing, and
// dbindex never shows a partial index.
#include "node_server.hpp"
#include "programs_under_test.hpp"
#include "run_program.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kInstants = 16;
constexpr size_t kDataBytes = size_t{24} << 20;

// Half of the records are old; one mail record in 64 has a message file.
std::string makeRecords(const ProgramUnderTest& p, size_t bytes = kDataBytes)
{
    std::string records;
    records.reserve(bytes);
    for (int i = 0; records.size() + p.recordSize <= bytes; ++i)
        records += p.record(dayBefore(kTestNow, ((i % 2) ? 3 : 40) + i % 7), static_cast<uint32_t>(i));
    return records;
}

// The node's record number n, dated today: every purge keeps it.  Its
// number is in its first bytes (the mail's message number), so that each
// one differs from the others.
std::string freshRecord(const ProgramUnderTest& p, long n)
{
    const auto number = static_cast<uint32_t>(1000000 + n);
    std::string record = p.record(dayBefore(kTestNow, 0), number);
    if (!p.mail)
        for (int i = 0; i < 4; ++i)
            record[static_cast<size_t>(i)] = static_cast<char>((number >> (8 * i)) & 0xFF);
    return record;
}

// The node's first records, count of them, one after the other.
class FreshRecords {
public:
    explicit FreshRecords(const ProgramUnderTest& p) : program_(p) {}
    std::string first(long count)
    {
        extend(count);
        return bytes_.substr(0, static_cast<size_t>(count) * program_.recordSize);
    }
    // Whether text is the start of the node's records, a record cut short
    // at the end allowed: a look may come in the middle of an append.
    bool begins(const std::string& text, size_t from)
    {
        const size_t length = text.size() - from;
        extend(static_cast<long>(length / program_.recordSize + 1));
        return text.compare(from, length, bytes_, 0, length) == 0;
    }

private:
    void extend(long count)
    {
        for (; made_ < count; ++made_)
            bytes_ += freshRecord(program_, made_);
    }

    const ProgramUnderTest& program_;
    std::string bytes_;
    long made_ = 0;
};

void plant(const NodeTree& tree, const ProgramUnderTest& p, const std::string& records)
{
    writeFile(tree.data(p.data), records);
    if (p.mail)
        for (size_t i = 0; i * p.recordSize < records.size(); i += 64)
            writeFile(tree.message(static_cast<int32_t>(i)), "text");
}

std::vector<std::string> messagesLeft(const NodeTree& tree, const ProgramUnderTest& p, const std::string& records)
{
    std::vector<std::string> left;
    for (size_t i = 0; p.mail && i * p.recordSize < records.size(); i += 64)
        if (fileExists(tree.message(static_cast<int32_t>(i))))
            left.push_back(messageName(static_cast<int32_t>(i)));
    return left;
}

RunOptions frozen() { return {.frozenClock = kTestNow}; }

// A purge of the tree, with its limit of 20 days.
RunResult purge(const ProgramUnderTest& p, const NodeTree& tree, std::vector<std::string> options = {})
{
    std::vector<std::string> words = tree.arguments(p, 20);
    words.insert(words.end(), options.begin(), options.end());
    return runProgram(p.path, words, frozen());
}

// The node appending to the program's data file at perSecond records.
NodeProcess appending(const ProgramUnderTest& p, const NodeTree& tree, bool holdOpen = false, int perSecond = 200)
{
    return NodeProcess::appender(tree.data(p.data), [&p](long n) { return freshRecord(p, n); }, holdOpen,
                                 perSecond);
}

// Whether the data file holds base, then the node's first records, as many as it appended.
bool holdsThenNode(const NodeTree& tree, const ProgramUnderTest& p, const std::string& base, long appended)
{
    return readFile(tree.data(p.data)) == base + FreshRecords(p).first(appended);
}

struct Expected {
    std::string data;
    std::vector<std::string> messages;
    Clock::duration duration;
};

// The end state of an uninterrupted run, and the shorter of two run times:
// a slow first run on a busy machine would put the kills after the end.
Expected uninterrupted(const ProgramUnderTest& p, const std::string& records)
{
    Expected expected = {"", {}, Clock::duration::max()};
    for (int round = 0; round < 2; ++round) {
        NodeTree tree;
        plant(tree, p, records);
        const auto start = Clock::now();
        const RunResult result = purge(p, tree);
        expected.duration = std::min(expected.duration, Clock::now() - start);
        EXPECT_EQ(result.status, 0) << p.name << result.err;
        expected.data = readFile(tree.data(p.data));
        expected.messages = messagesLeft(tree, p, records);
    }
    return expected;
}

// Stops a run with signal after delay; returns how the run ended.
RunResult stopAfter(const ProgramUnderTest& p, const NodeTree& tree, Clock::duration delay, int signal)
{
    const pid_t pid = startProgram(p.path, tree.arguments(p, 20), frozen());
    std::this_thread::sleep_for(delay);
    kill(pid, signal);
    return waitProgram(pid);
}

// The node appends during the killed run, between it and the rerun, and
// during the rerun: each of its records is there at the end.
TEST(CrashSafety, KilledAtAnyInstantThenRerunLosesNothing)
{
    int killed = 0;
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        const std::string records = makeRecords(p);
        const Expected expected = uninterrupted(p, records);
        for (int i = 0; i < kInstants; ++i) {
            NodeTree tree;
            plant(tree, p, records);
            NodeProcess node = appending(p, tree);
            const auto delay = expected.duration * i / kInstants;
            const RunResult stopped = stopAfter(p, tree, delay, SIGKILL);
            killed += stopped.signal == SIGKILL;
            const std::string data = readFile(tree.data(p.data));
            const bool marked = fileExists(tree.data(p.mark));
            const bool backupWhole = fileExists(tree.data(p.backup)) &&
                                     readFile(tree.data(p.backup)).starts_with(records);
            // Every record is in the data file, or in the backup with the mark.
            EXPECT_TRUE(data.starts_with(records) || (backupWhole && marked) ||
                        (data.starts_with(expected.data) && !marked))
                << p.name << " killed after " << i << "/" << kInstants;

            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const RunResult rerun = purge(p, tree);
            node.stop();
            EXPECT_EQ(rerun.status, 0) << p.name << rerun.err;
            EXPECT_EQ(node.badLooks(), 0);
            EXPECT_GT(node.appended(), 0);
            EXPECT_TRUE(holdsThenNode(tree, p, expected.data, node.appended())) << p.name << " " << i;
            EXPECT_FALSE(fileExists(tree.data(p.mark)));
            EXPECT_EQ(messagesLeft(tree, p, records), expected.messages) << p.name << " " << i;
        }
    }
    std::printf("instants killed: %d of %d\n", killed, kInstants * 4);
    // Most kills land before the end of the run; the rest test a rerun
    // after a complete one.
    EXPECT_GE(killed, kInstants);
}

constexpr size_t kLiveBytes = size_t{1} << 20;
constexpr int kPurgesInARow = 20;

// What a look at the data file may find: the file as it was or as a purge
// left it, followed by the node's records; never a file half-rewritten.
std::function<bool(const std::string&)> wholeView(const ProgramUnderTest& p, const std::string& before,
                                                  const std::string& after)
{
    return [&p, before, after, fresh = FreshRecords(p)](const std::string& look) mutable {
        for (const std::string* base : {&before, &after})
            if (look.starts_with(*base) && fresh.begins(look, base->size()))
                return true;
        return false;
    };
}

// The node appends, opening the file for each record, at 200 records a
// second and as fast as it goes, and reads it meanwhile, while purges run
// one after the other.  As fast as it goes, the file grows by the hundred
// megabytes and each of the node's reads holds it open for a while: a purge
// may then find no moment to take its lease within its wait, and stops with
// status 10, changing nothing, as it must; most purges get their lease.
TEST(LiveNode, PurgesBesideAnAppendingNodeLoseNothing)
{
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        const std::string records = makeRecords(p, kLiveBytes);
        const std::string kept = uninterrupted(p, records).data;
        for (int perSecond : {200, 0}) {
            NodeTree tree;
            plant(tree, p, records);
            const std::string path = tree.data(p.data);
            NodeProcess reader = NodeProcess::reader(path, wholeView(p, records, kept));
            NodeProcess writer = appending(p, tree, false, perSecond);
            int purged = 0;
            for (int i = 0; i < kPurgesInARow; ++i) {
                const RunResult result = purge(p, tree);
                purged += result.status == 0;
                if (result.status != 0 && (perSecond != 0 || result.status != 10))
                    ADD_FAILURE() << p.name << " " << perSecond << "/s: " << result.err;
            }
            EXPECT_GE(purged, perSecond == 0 ? kPurgesInARow / 2 : kPurgesInARow) << p.name;
            writer.stop();
            reader.stop();
            EXPECT_EQ(writer.badLooks(), 0);
            EXPECT_TRUE(holdsThenNode(tree, p, kept, writer.appended()))
                << p.name << " at " << perSecond << "/s: " << writer.appended() << " appended";
            EXPECT_EQ(reader.badLooks(), 0) << p.name << " of " << reader.looks() << " looks";
            EXPECT_GT(reader.looks(), kPurgesInARow / 4);  // fewer under an emulator
            std::printf("%s, %d/s: %ld records appended over %d purges (%d with the lease), %ld looks\n",
                        p.name, perSecond, writer.appended(), kPurgesInARow, purged, reader.looks());
        }
    }
}

// A node that keeps the file open cannot let a lease be had: the purge
// stops after its wait, changes nothing, and names the node's process; a
// check, which takes no lease, runs.
TEST(LiveNode, ANodeThatKeepsTheFileOpenIsRefused)
{
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        const std::string records = makeRecords(p, kLiveBytes);
        NodeTree tree;
        plant(tree, p, records);
        NodeProcess writer = appending(p, tree, true);
        const RunResult result = purge(p, tree, {"--lease-wait=0.3"});
        // A dry run takes no lease: it does not wait for the node.
        const RunResult dry = purge(p, tree, {"--lease-wait=0.3", "--dry-run"});
        const std::string holder =
            "held open for writing by pid " + std::to_string(writer.pid()) + " (node_server)";
        // Nor does a check: beside the node it neither waits nor takes the
        // appends for damage (the mail here lacks most message files, which
        // is all that it finds).
        const RunResult check = purge(p, tree, {"--check"});
        writer.stop();
        EXPECT_EQ(check.status, p.mail ? 15 : 0) << p.name << check.err;
        for (const char* fault : {"part-record", "all zero", "no date", "date text", "packed", "ahead"})
            EXPECT_EQ(check.out.find(fault), std::string::npos) << p.name << ": " << fault << "\n" << check.out;
        EXPECT_EQ(dry.status, 0) << p.name << dry.err;
        EXPECT_EQ(result.status, 10) << p.name;
        EXPECT_NE(result.err.find("is kept open by another process"), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(holder), std::string::npos) << result.err;
        EXPECT_NE(result.err.find("KAVEX_NODE_UNIT"), std::string::npos) << result.err;
        EXPECT_TRUE(holdsThenNode(tree, p, records, writer.appended())) << p.name;
        EXPECT_FALSE(fileExists(tree.data(p.mark)));
    }
}

// The second of two purges started together waits for the first.
TEST(LiveNode, TwoPurgesAtOnceLoseNothing)
{
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        const std::string records = makeRecords(p, 4 * kLiveBytes);
        const std::string kept = uninterrupted(p, records).data;
        for (int apart : {0, 5, 20}) {
            NodeTree tree;
            plant(tree, p, records);
            NodeProcess writer = appending(p, tree);
            const pid_t first = startProgram(p.path, tree.arguments(p, 20), frozen());
            std::this_thread::sleep_for(std::chrono::milliseconds(apart));
            const pid_t second = startProgram(p.path, tree.arguments(p, 20), frozen());
            EXPECT_EQ(waitProgram(first).status, 0) << p.name;
            EXPECT_EQ(waitProgram(second).status, 0) << p.name;
            writer.stop();
            EXPECT_TRUE(holdsThenNode(tree, p, kept, writer.appended())) << p.name << " " << apart << " ms apart";
            EXPECT_FALSE(fileExists(tree.data(p.mark)));
        }
    }
}

// The index is replaced whole: a look during rebuilds, or after a kill at
// any instant, finds one of the two indexes whole.
TEST(CrashSafety, DbindexNeverShowsAPartialIndex)
{
    TempDir dir(0755);  // started by root, dbindex refuses a directory others can write
    const RunOptions inDir = {.directory = dir.path()};
    const auto run = [&] {
        const auto start = Clock::now();
        EXPECT_EQ(runProgram(DBINDEX_PATH, {"base"}, inDir).status, 0);
        return Clock::now() - start;
    };
    std::string versions[2];
    std::string indexes[2];
    for (int v = 0; v < 2; ++v) {
        for (int i = 0; versions[v].size() < (8u << 20); ++i)
            versions[v] += "Key" + std::to_string(v) + "-" + std::to_string(i) + "\n" +
                           std::string(static_cast<size_t>(20 + (i * 37 + v) % 300), 'b') + "\n&&\n";
        writeFile(dir / "base.ful", versions[v]);
        const double took = std::chrono::duration<double, std::milli>(run()).count();
        indexes[v] = readFile(dir / "base.idx");
        ASSERT_NE(indexes[v].size(), 0u);
        std::printf("dbindex of %zu bytes: %.0f ms\n", versions[v].size(), took);
    }
    ASSERT_NE(indexes[0], indexes[1]);
    // The shortest of three runs, so that most kills land before the end.
    const Clock::duration duration = std::min({run(), run(), run()});
    NodeProcess reader = NodeProcess::reader(dir / "base.idx", [&](const std::string& look) {
        return look == indexes[0] || look == indexes[1];
    });
    int killed = 0;
    for (int i = 0; i < 2 * kInstants; ++i) {
        // The database changes by a rename, as a whole.
        writeFile(dir / "next.ful", versions[i % 2]);
        ASSERT_EQ(std::rename((dir / "next.ful").c_str(), (dir / "base.ful").c_str()), 0);
        if (i % 2 == 0) {
            run();
            continue;
        }
        const pid_t pid = startProgram(DBINDEX_PATH, {"base"}, inDir);
        std::this_thread::sleep_for(duration * i / (2 * kInstants));
        kill(pid, SIGKILL);
        killed += waitProgram(pid).signal == SIGKILL;
        const std::string index = readFile(dir / "base.idx");
        EXPECT_TRUE(index == indexes[0] || index == indexes[1]) << "killed at " << i;
    }
    run();
    reader.stop();
    EXPECT_EQ(readFile(dir / "base.idx"), indexes[1]);
    EXPECT_FALSE(fileExists(dir / "base.idx.tmp"));
    EXPECT_EQ(reader.badLooks(), 0) << "of " << reader.looks() << " looks";
    EXPECT_GT(reader.looks(), kInstants);
    EXPECT_GE(killed, kInstants / 4);
}

// SIGTERM, SIGINT and SIGHUP wait while the data file is rewritten: the run
// ends with the data file as it was, or wholly rewritten, never half-written.
TEST(CrashSafety, TerminationSignalsNeverLeaveAHalfWrittenFile)
{
    const ProgramUnderTest& p = programUnderTest("MIRKOS");
    const std::string records = makeRecords(p);
    const Expected expected = uninterrupted(p, records);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    for (int i = 1; i < kInstants; ++i) {
        NodeTree tree;
        plant(tree, p, records);
        const int signal = signals[i % 3];
        const RunResult stopped = stopAfter(p, tree, expected.duration * i / kInstants, signal);
        const std::string data = readFile(tree.data(p.data));
        EXPECT_TRUE(data == records || data == expected.data) << "signal " << signal << " at " << i;
        EXPECT_FALSE(fileExists(tree.data(p.mark)));
        EXPECT_TRUE(stopped.signal == 0 || stopped.signal == signal) << stopped.signal;
    }
}

}  // namespace
