// A purge stopped at any instant loses nothing: each program is killed at
// instants spread over its run, then run again with the same clock, and
// must end where an uninterrupted run ends.
#include "run_program.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

const time_t kNow = utcTime(2026, 12, 7, 12);
constexpr int kInstants = 16;
constexpr size_t kDataBytes = size_t{24} << 20;

struct Program {
    const char* name;
    const char* path;
    const char* data;
    const char* backup;
    const char* mark;
    size_t recordSize;
    bool mail;
};

const Program kPrograms[] = {
    {"KELDRAN", KELDRAN_PATH, "dirmes.bin", "dirmes.old", "dirmes.purging", 244, true},
    {"VOSKIL", VOSKIL_PATH, "announce.bin", "announce.old", "announce.purging", 128, false},
    {"TRABEN", TRABEN_PATH, "wwv.bin", "wwv.old", "wwv.purging", 128, false},
    {"MIRKOS", MIRKOS_PATH, "dx.bin", "dx.old", "dx.purging", 88, false},
};

// Half of the records are old; one mail record in 64 has a message file.
std::string makeRecords(const Program& p)
{
    std::string records;
    records.reserve(kDataBytes);
    for (int i = 0; records.size() + p.recordSize <= kDataBytes; ++i) {
        const int age = (i % 2) ? 3 : 40;
        const std::string date = dateTextDaysBefore(kNow, age + i % 7);
        if (p.mail) {
            records += mailRecord({'B', 'N', static_cast<uint32_t>(i), date, 0});
        } else if (p.recordSize == 128 && std::string(p.data) == "announce.bin") {
            const time_t day = kNow - static_cast<time_t>(age + i % 7) * 86400;
            struct tm broken;
            gmtime_r(&day, &broken);
            records += packedRecord(packedDateTime(broken.tm_year + 1900, broken.tm_mon + 1,
                                                   broken.tm_mday, 10, i % 60),
                                    i);
        } else {
            records += datedRecord(p.recordSize, p.recordSize == 128 ? 98 : 66, date, i);
        }
    }
    return records;
}

struct Tree {
    TempDir dir;
    std::string bin = dir / "bin";
    std::string mail = dir / "mail/";
    Tree()
    {
        makeDirectory(bin);
        makeDirectory(dir / "mail");
    }
};

std::string messageName(int number)
{
    char name[32];
    std::snprintf(name, sizeof name, "m%07d.msg", number);
    return name;
}

void plant(const Tree& tree, const Program& p, const std::string& records)
{
    writeFile(tree.bin + "/" + p.data, records);
    if (p.mail)
        for (size_t i = 0; i * 244 < records.size(); i += 64)
            writeFile(tree.mail + messageName(static_cast<int>(i)), "text");
}

std::vector<std::string> messagesLeft(const Tree& tree, const std::string& records)
{
    std::vector<std::string> left;
    for (size_t i = 0; i * 244 < records.size(); i += 64)
        if (fileExists(tree.mail + messageName(static_cast<int>(i))))
            left.push_back(messageName(static_cast<int>(i)));
    return left;
}

std::vector<std::string> arguments(const Program& p, const Tree& tree)
{
    if (p.mail)
        return {"D=" + tree.bin, "M=" + tree.mail, "B=20"};
    return {"P=" + tree.bin, "D=20"};
}

RunOptions frozen()
{
    RunOptions options;
    options.frozenClock = kNow;
    return options;
}

struct Expected {
    std::string data;
    std::vector<std::string> messages;
    Clock::duration duration;
};

// The end state of an uninterrupted run, and the shorter of two run times:
// a slow first run on a busy machine would put the kills after the end.
Expected uninterrupted(const Program& p, const std::string& records)
{
    Expected expected;
    for (int round = 0; round < 2; ++round) {
        Tree tree;
        plant(tree, p, records);
        const auto start = Clock::now();
        const RunResult result = runProgram(p.path, arguments(p, tree), frozen());
        const auto duration = Clock::now() - start;
        EXPECT_EQ(result.status, 0) << p.name << result.err;
        if (round == 0 || duration < expected.duration)
            expected.duration = duration;
        expected.data = readFile(tree.bin + "/" + p.data);
        expected.messages = messagesLeft(tree, records);
    }
    return expected;
}

// Stops a run with signal after delay; returns how the run ended.
RunResult stopAfter(const Program& p, const Tree& tree, Clock::duration delay, int signal)
{
    const pid_t pid = startProgram(p.path, arguments(p, tree), frozen());
    std::this_thread::sleep_for(delay);
    kill(pid, signal);
    return waitProgram(pid);
}

TEST(CrashSafety, KilledAtAnyInstantThenRerunLosesNothing)
{
    int killed = 0;
    for (const Program& p : kPrograms) {
        const std::string records = makeRecords(p);
        const Expected expected = uninterrupted(p, records);
        for (int i = 0; i < kInstants; ++i) {
            Tree tree;
            plant(tree, p, records);
            const auto delay = expected.duration * i / kInstants;
            const RunResult stopped = stopAfter(p, tree, delay, SIGKILL);
            killed += stopped.signal == SIGKILL;
            const std::string data = readFile(tree.bin + "/" + p.data);
            const bool marked = fileExists(tree.bin + "/" + p.mark);
            const bool backupWhole = fileExists(tree.bin + "/" + p.backup) &&
                                     readFile(tree.bin + "/" + p.backup) == records;
            // Every record is in the data file, or in the backup with the mark.
            EXPECT_TRUE(data == records || (backupWhole && marked) || (data == expected.data && !marked))
                << p.name << " killed after " << i << "/" << kInstants;

            const RunResult rerun = runProgram(p.path, arguments(p, tree), frozen());
            EXPECT_EQ(rerun.status, 0) << p.name << rerun.err;
            EXPECT_TRUE(readFile(tree.bin + "/" + p.data) == expected.data) << p.name << " " << i;
            EXPECT_FALSE(fileExists(tree.bin + "/" + p.mark));
            EXPECT_EQ(messagesLeft(tree, records), expected.messages) << p.name << " " << i;
        }
    }
    std::printf("instants killed: %d of %d\n", killed, kInstants * 4);
    // Most kills land before the end of the run; the rest test a rerun
    // after a complete one.
    EXPECT_GE(killed, kInstants);
}

// SIGTERM, SIGINT and SIGHUP wait while the data file is rewritten: the run
// ends with the data file as it was, or wholly rewritten, never half-written.
TEST(CrashSafety, TerminationSignalsNeverLeaveAHalfWrittenFile)
{
    const Program& p = kPrograms[3];
    const std::string records = makeRecords(p);
    const Expected expected = uninterrupted(p, records);
    const int signals[] = {SIGTERM, SIGINT, SIGHUP};
    for (int i = 1; i < kInstants; ++i) {
        Tree tree;
        plant(tree, p, records);
        const int signal = signals[i % 3];
        const RunResult stopped = stopAfter(p, tree, expected.duration * i / kInstants, signal);
        const std::string data = readFile(tree.bin + "/" + p.data);
        EXPECT_TRUE(data == records || data == expected.data) << "signal " << signal << " at " << i;
        EXPECT_FALSE(fileExists(tree.bin + "/" + p.mark));
        if (stopped.signal != 0) {
            EXPECT_EQ(stopped.signal, signal);
        }
    }
}

}  // namespace
