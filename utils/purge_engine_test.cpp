#include "failing_io.hpp"
#include "programs_under_test.hpp"
#include "purge_engine.hpp"
#include "purge_mark.hpp"
#include "purge_run.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The two purges the engine is tried with: mail, with its message files,
// and records dated by a packed date-time.
const ProgramUnderTest& programOf(bool mail) { return programUnderTest(mail ? "KELDRAN" : "VOSKIL"); }

struct Outcome {
    int status;
    std::string data, backup, out, err;
    bool mark;
    std::set<std::string> messages;
};

class EngineTest : public testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    // Six mail records, numbered 40 to 45: old ones, a K, a protected one.
    static std::string mailDirectory()
    {
        std::string records;
        const int ages[] = {1, 40, 40, 2, 31, 0};
        for (uint32_t i = 0; i < 6; ++i)
            records += mailRecord({i % 2 ? 'P' : 'B', i == 3 ? 'K' : 'N', 40 + i,
                                   dateTextDaysBefore(kTestNow, ages[i]), i == 2});
        return records;
    }

    static std::string announcements()
    {
        std::string records;
        for (int i = 0; i < 9; ++i)
            records += programOf(false).record(dayBefore(kTestNow, 3 * i), static_cast<uint32_t>(i));
        return records;
    }

    static std::string records(bool mail) { return mail ? mailDirectory() : announcements(); }

    // A record that the node server appends during a run: dated today, so kept.
    static std::string fresh(bool mail, int n = 0)
    {
        return programOf(mail).record(dayBefore(kTestNow, 0), static_cast<uint32_t>(99 + n));
    }

    static std::string dataPath(const NodeTree& tree, bool mail) { return tree.data(programOf(mail).data); }

    static void plant(const NodeTree& tree, bool mail, const std::string& records)
    {
        writeFile(dataPath(tree, mail), records);
        if (mail)
            for (int i = 40; i < 46; ++i)
                writeFile(tree.message(i), "text");
    }

    static Outcome run(const NodeTree& tree, bool mail, FileIo& io, const char* option = nullptr)
    {
        const ProgramUnderTest& p = programOf(mail);
        std::vector<std::string> words = tree.arguments(p, mail ? 30 : 10);
        words.insert(words.end(), {"--lease-wait=0.05", "--lock-wait=0.05"});
        if (option)
            words.emplace_back(option);
        const InProcessRun run = runInProcess(p, words, io, testClock);
        const std::string backup = tree.data(p.backup);
        Outcome outcome = {run.status, readFile(tree.data(p.data)),
                           fileExists(backup) ? readFile(backup) : "(none)", run.out, run.err,
                           fileExists(tree.data(p.mark)), {}};
        for (int i = 40; i < 46; ++i)
            if (fileExists(tree.message(i)))
                outcome.messages.insert(std::to_string(i));
        return outcome;
    }

    // What a whole run keeps of the records.
    static std::string kept(bool mail, const std::string& records)
    {
        NodeTree tree;
        plant(tree, mail, records);
        FileIo io;
        return run(tree, mail, io).data;
    }

    // Fails every I/O call of a run in turn: each failed run exits non-zero
    // (but where the call's failure is allowed by design), and a normal run
    // then ends where an uninterrupted run ends.  From a plain start, the
    // data file, or the backup with the mark, holds every record meanwhile.
    // Where the node appends, it does so once in each tree, just before the
    // run's lease, so that the run takes the record in at its tail.
    static int sweep(bool mail, void (*prepare)(const NodeTree&, bool), bool nodeAppends = false)
    {
        const auto start = [&](const NodeTree& tree) {
            plant(tree, mail, records(mail));
            prepare(tree, mail);
        };
        NodeTree reference;
        start(reference);
        FailingIo counter;  // that fails no call
        bool appended = !nodeAppends;
        counter.before = appendBeforeLease(reference, mail, appended);
        const Outcome expected = run(reference, mail, counter);
        EXPECT_EQ(expected.status, kPurged) << expected.err;
        for (int k = 1; k <= counter.calls; ++k) {
            NodeTree tree;
            start(tree);
            const std::string planted = readFile(dataPath(tree, mail));
            appended = !nodeAppends;
            FailingIo io;
            io.failAt = k;
            io.before = appendBeforeLease(tree, mail, appended);
            const Outcome failed = run(tree, mail, io);
            if (allowedByDesign(io.failed, tree, failed, prepare != nothing)) {
                const bool leftMessage = io.failed.rfind("unlink " + tree.mail, 0) == 0;
                EXPECT_EQ(failed.status, leftMessage ? kMessageFilesRemain : kPurged) << io.failed;
                EXPECT_TRUE(failed.data == expected.data) << io.failed;
                continue;
            }
            EXPECT_NE(failed.status, kPurged) << io.failed;
            if (prepare == nothing) {
                const std::string whole = planted + (nodeAppends && appended ? fresh(mail) : "");
                const bool backupWhole = failed.backup == whole && failed.mark;
                const bool done = failed.data == expected.data && !failed.mark;
                EXPECT_TRUE(failed.data == whole || backupWhole || done) << io.failed << " status " << failed.status;
            }
            FailingIo real;  // that fails no call
            real.before = appendBeforeLease(tree, mail, appended);
            const Outcome after = run(tree, mail, real);
            EXPECT_EQ(after.status, kPurged) << io.failed << after.err;
            EXPECT_TRUE(after.data == expected.data) << io.failed;
            EXPECT_FALSE(after.mark) << io.failed;
            EXPECT_EQ(after.messages, expected.messages) << io.failed;
        }
        return counter.calls;
    }

    // The node's append of a fresh record, once, just before the run's lease.
    static std::function<void(const std::string&)> appendBeforeLease(const NodeTree& tree, bool mail,
                                                                     bool& appended)
    {
        return [path = dataPath(tree, mail), mail, &appended](const std::string& call) {
            if (appended || call != "lease " + path)
                return;
            appended = true;
            appendFresh(path, mail);
        };
    }

    // The node server's append: a fresh record, in one write.
    static void appendFresh(const std::string& path, bool mail)
    {
        const std::string record = fresh(mail);
        const int node = ::open(path.c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(node, 0);
        EXPECT_EQ(::write(node, record.data(), record.size()), static_cast<ssize_t>(record.size()));
        ::close(node);
    }

    // A message file that cannot be removed is named, and the purge goes on;
    // a mail directory that cannot be read leaves a removal to try for each
    // dropped message; without the lock, the lease or the data file's mode
    // on the backup and the mark, the run goes on, saying so.  The backup
    // that a recovery only read loses nothing when its close fails.
    static bool allowedByDesign(const std::string& call, const NodeTree& tree, const Outcome& outcome,
                                bool recovering)
    {
        const bool readBackup = recovering && outcome.status == kPurged &&
                                call.starts_with("close ") && call.ends_with(".old");
        const auto begins = [&](const std::string& name) { return call.rfind(name, 0) == 0; };
        const bool modeNotGiven = outcome.err.find("cannot give") != std::string::npos;
        return begins("unlink " + tree.mail) || begins("list ") || begins("flock ") ||
               begins("lease ") || begins("unlease ") || call == "open " + tree.bin ||
               call == "close " + tree.bin || readBackup || (modeNotGiven && (begins("fstat ") || begins("fchmod ")));
    }

    static void nothing(const NodeTree&, bool) {}

    // The files of a run stopped at its rewrite: the backup and the mark on
    // disk, the data file truncated to the kept length and half rewritten,
    // and a record that the node appended since.  The records that the run
    // took in under its lease are in the backup, past what the mark counts.
    static void stoppedMidRewrite(const NodeTree& tree, bool mail, const std::string& takenIn)
    {
        const std::string all = records(mail) + takenIn;
        const std::string keep = kept(mail, records(mail)) + takenIn;
        const size_t half = keep.size() / 2;
        writeFile(dataPath(tree, mail), keep.substr(0, half) + all.substr(half, keep.size() - half) + fresh(mail, 1));
        leaveMark(tree, mail, all, keep.size() - takenIn.size(), records(mail).size());
    }
    static void stoppedMidRewrite(const NodeTree& tree, bool mail) { stoppedMidRewrite(tree, mail, ""); }

    // The backup, and a mark that counts the records of its first
    // markedLength bytes (those after them were copied under the lease).
    static void leaveMark(const NodeTree& tree, bool mail, const std::string& backup, size_t keptLength,
                          size_t markedLength = std::string::npos)
    {
        writeFile(tree.data(programOf(mail).backup), backup);
        PurgeMark mark;
        mark.backupLength = std::min(markedLength, backup.size());
        mark.keptLength = keptLength;
        mark.judgementTime = kTestNow;
        std::snprintf(mark.settings, sizeof mark.settings, mail ? "B=30 P=30 M=%s/" : "D=10",
                      tree.mail.c_str());
        char text[4096];
        size_t length = 0;
        size_t wordAt = 0;
        ASSERT_TRUE(formatMark(mark, programOf(mail).name, "data", "backup", text, sizeof text,
                               length, wordAt));
        writeFile(tree.data(programOf(mail).mark), std::string(text, length));
    }
};

// A path in the mark's first line cannot add a field: a directory named
// with line ends and a mark's fields gives back the mark's own.
TEST(PurgeMarkText, PathsCannotAddFields)
{
    const std::string fields = "\nformat 3\nbackup 999\nkept 0\ntime 0\ntruncation durable\nsettings D=1\n";
    const size_t size = programOf(true).recordSize;
    PurgeMark mark;
    mark.backupLength = 2 * size;
    mark.keptLength = size;
    mark.judgementTime = 1796731200;
    std::strcpy(mark.settings, "B=30 P=30 M=../mail/\nkept 1\n");
    char text[kMarkTextSize];
    size_t length = 0;
    size_t wordAt = 0;
    const std::string path = "bin" + fields + "/" + programOf(true).data;
    ASSERT_TRUE(formatMark(mark, programOf(true).name, path.c_str(), "x.old", text, sizeof text, length, wordAt));
    EXPECT_EQ(std::string(text, length).find(fields), std::string::npos);
    EXPECT_EQ(std::string(text + wordAt, 7), "pending");
    PurgeMark read;
    ASSERT_EQ(parseMark(text, length, read), MarkKind::Current);
    EXPECT_EQ(read.backupLength, 2 * size);
    EXPECT_EQ(read.keptLength, size);
    EXPECT_EQ(read.judgementTime, 1796731200);
    EXPECT_FALSE(read.truncationDurable);
    EXPECT_STREQ(read.settings, mark.settings);
}

TEST(PurgePaths, DirectoryTextsGiveTheirPaths)
{
    const struct {
        const char* directory;
        const char* bin;
        const char* old;
        const char* mark;
        const char* parent;
    } cases[] = {
        {"../system/bin/", "../system/bin/ab.bin", "../system/bin/ab.old",
         "../system/bin/ab.purging", "../system/bin"},
        {"/data/node", "/data/node/ab.bin", "/data/node/ab.old", "/data/node/ab.purging",
         "/data/node"},
        {"", "/ab.bin", "/ab.old", "/ab.purging", "/"},
        {"rel", "rel/ab.bin", "rel/ab.old", "rel/ab.purging", "rel"},
    };
    for (const auto& c : cases) {
        PurgePaths paths;
        ASSERT_TRUE(buildPurgePaths(c.directory, "ab.bin", paths));
        EXPECT_STREQ(paths.szBin, c.bin);
        EXPECT_STREQ(paths.szOld, c.old);
        EXPECT_STREQ(paths.szMark, c.mark);
        EXPECT_STREQ(paths.szDirectory, c.parent);
    }
    PurgePaths paths;
    EXPECT_TRUE(buildPurgePaths(std::string(255 - 7, 'd').c_str(), "ab.bin", paths));
    EXPECT_FALSE(buildPurgePaths(std::string(255 - 6, 'd').c_str(), "ab.bin", paths));
}

// The sweep from a run stopped mid-rewrite fails the calls of a recovery:
// the power-cut harness cuts the first run only, and its reruns never see
// a call fail, so a recovery that went on past a failed call would pass it.
// The sweep beside a node that appends fails the copy of its record to the
// backup's tail and that copy's sync, which a run without appends never makes.
TEST_F(EngineTest, EveryFailedCallLosesNothing)
{
    int calls = 0;
    for (bool mail : {true, false}) {
        const int plain = sweep(mail, nothing);
        const int appending = sweep(mail, nothing, true);
        const int recovering = sweep(mail, stoppedMidRewrite);
        EXPECT_GT(plain, 25);
        EXPECT_GT(appending, plain);  // the tail's copy and its sync
        EXPECT_GT(recovering, 35);
        calls += plain + appending + recovering;
    }
    std::printf("faults injected: %d\n", calls);
}

// A run stopped mid-rewrite after it took in, under its lease, a record
// that the node appended before it: the mark counts the records before
// it, and the recovery judges it with them.  The power-cut harness lets the
// node append only once the lease is gone, so it never leaves such a mark.
TEST_F(EngineTest, RecoveryJudgesTheRecordsTakenInUnderTheLease)
{
    for (bool mail : {true, false}) {
        NodeTree tree;
        plant(tree, mail, records(mail));
        stoppedMidRewrite(tree, mail, fresh(mail, 0));
        FileIo io;
        const Outcome outcome = run(tree, mail, io);
        EXPECT_EQ(outcome.status, kPurged) << outcome.err;
        EXPECT_TRUE(outcome.data == kept(mail, records(mail)) + fresh(mail, 0) + fresh(mail, 1));
        EXPECT_FALSE(outcome.mark);
        EXPECT_EQ(outcome.out.rfind(std::string(programOf(mail).name) + ": completed the rewrite", 0), 0u)
            << outcome.out;
        if (mail) {
            // The interrupted run's dropped messages go in its recovery.
            EXPECT_EQ(outcome.messages, (std::set<std::string>{"40", "42", "45"}));
        }
    }
}

// A mark that cannot be read, or that says what no run writes, stops the
// run with status 8, touching nothing, and says what is wrong with it.
TEST_F(EngineTest, UnreadableMarksAreNeverActedOn)
{
    const struct {
        const char* name;
        std::function<void(const NodeTree&, bool, const std::string& mark)> prepare;
        const char* says;
    } cases[] = {
        {"another file", [](const NodeTree&, bool, const std::string& m) { writeFile(m, "something else\n"); },
         "cannot be read as a mark"},
        {"the format before the mark's fields",
         [](const NodeTree&, bool mail, const std::string& m) {
             writeFile(m, std::string(programOf(mail).name) + " is rewriting a from b\n");
         },
         "cannot be read as a mark"},
        {"a torn mark",
         [](const NodeTree& tree, bool mail, const std::string& m) {
             leaveMark(tree, mail, records(mail), kept(mail, records(mail)).size());
             const std::string text = readFile(m);
             writeFile(m, text.substr(0, text.find("kept") + 6));
         },
         "cannot be read as a mark"},
        {"more kept than copied",
         [](const NodeTree& tree, bool mail, const std::string&) {
             const size_t size = programOf(mail).recordSize;
             leaveMark(tree, mail, records(mail).substr(0, 2 * size), 3 * size);
         },
         "counts more bytes kept"},
        {"a backup shorter than the mark counts",
         [](const NodeTree& tree, bool mail, const std::string&) {
             leaveMark(tree, mail, records(mail), kept(mail, records(mail)).size());
             writeFile(tree.data(programOf(mail).backup), records(mail).substr(0, programOf(mail).recordSize));
         },
         "bytes of records in"},
        {"a kept length that its backup does not give",
         [](const NodeTree& tree, bool mail, const std::string&) {
             leaveMark(tree, mail, records(mail), kept(mail, records(mail)).size() - programOf(mail).recordSize);
         },
         "does not match its backup"},
        {"a limit that argv refuses: a letter O for a zero",
         [](const NodeTree& tree, bool mail, const std::string& m) {
             leaveMark(tree, mail, records(mail), kept(mail, records(mail)).size());
             std::string text = readFile(m);
             text[text.find('0', text.find("settings "))] = 'O';
             writeFile(m, text);
         },
         "holds settings that these tools cannot read"},
        {"a symbolic link",
         [](const NodeTree&, bool, const std::string& m) { ASSERT_EQ(symlink("/etc/passwd", m.c_str()), 0); },
         "is a symbolic link"},
        {"a FIFO", [](const NodeTree&, bool, const std::string& m) { ASSERT_EQ(mkfifo(m.c_str(), 0600), 0); },
         "is a FIFO, not a regular file"},
    };
    for (bool mail : {true, false}) {
        for (const auto& c : cases) {
            NodeTree tree;
            plant(tree, mail, records(mail));
            const ProgramUnderTest& p = programOf(mail);
            const std::string mark = tree.data(p.mark);
            c.prepare(tree, mail, mark);
            const std::string backup = fileExists(tree.data(p.backup)) ? readFile(tree.data(p.backup))
                                           : "(none)";
            FileIo io;
            const Outcome outcome = run(tree, mail, io);
            EXPECT_EQ(outcome.status, kRecoveryFailed) << c.name << outcome.err;
            EXPECT_TRUE(outcome.data == records(mail)) << c.name;
            EXPECT_TRUE(outcome.backup == backup) << c.name;
            EXPECT_EQ(outcome.messages.size(), mail ? 6u : 0u) << c.name;
            EXPECT_NE(outcome.err.find(c.says), std::string::npos) << c.name << ": " << outcome.err;
            EXPECT_NE(outcome.err.find("nothing was touched"), std::string::npos) << c.name;
        }
    }
}

TEST_F(EngineTest, DryRunChangesNothingAndPrintsTheSame)
{
    for (bool mail : {true, false}) {
        NodeTree real;
        NodeTree dry;
        plant(real, mail, records(mail));
        plant(dry, mail, records(mail));
        FileIo io;
        const Outcome done = run(real, mail, io);
        const Outcome shown = run(dry, mail, io, "--dry-run");
        EXPECT_EQ(shown.status, kPurged);
        const char* name = programOf(mail).name;
        EXPECT_EQ(shown.out, std::string(name) + ": a dry run: nothing will be changed\n" + done.out);
        EXPECT_EQ(shown.data, records(mail));
        EXPECT_EQ(shown.backup, "(none)");
        EXPECT_FALSE(shown.mark);
        EXPECT_EQ(shown.messages.size(), mail ? 6u : 0u);

        // With the mark of an interrupted run, a dry run says so and shows
        // the purge of the backup.
        NodeTree marked;
        plant(marked, mail, records(mail));
        stoppedMidRewrite(marked, mail);
        const std::string partial = readFile(dataPath(marked, mail));
        const Outcome recovering = run(marked, mail, io, "--dry-run");
        EXPECT_EQ(recovering.status, kPurged);
        EXPECT_NE(recovering.out.find("marks an interrupted run"), std::string::npos);
        EXPECT_NE(recovering.out.find(done.out), std::string::npos);
        EXPECT_EQ(recovering.data, partial);
        EXPECT_TRUE(recovering.mark);
    }
}

// The node server appends while a run works, and may hold the data file
// open, so it is rewritten in place: before the lease, the record is taken
// into the backup and judged; after the truncation (the lease lost, or none
// to be had) it lands beyond the kept length and stays.
TEST_F(EngineTest, RecordsAppendedDuringTheRunAreKept)
{
    for (bool mail : {true, false}) {
        for (const char* moment : {"lease ", "ftruncate "}) {
            const bool beforeLease = moment[0] == 'l';
            NodeTree tree;
            plant(tree, mail, records(mail));
            FailingIo io;
            // The test is the node and the run in one process: an open under
            // the run's lease would wait on itself.
            if (!beforeLease)
                io.refusals["lease "] = {EINVAL};
            const std::string path = dataPath(tree, mail);
            bool truncated = false;
            bool appended = false;
            io.before = [&](const std::string& call) {
                // Just before the lease, or at the first call after the truncation.
                const bool now = beforeLease ? call == "lease " + path : truncated;
                truncated = truncated || call == "ftruncate " + path;
                if (now && !appended) {
                    appended = true;
                    appendFresh(path, mail);
                }
            };
            struct stat before;
            struct stat after;
            ASSERT_EQ(stat(path.c_str(), &before), 0);
            const Outcome outcome = run(tree, mail, io);
            ASSERT_EQ(stat(path.c_str(), &after), 0);
            EXPECT_EQ(before.st_ino, after.st_ino) << moment;
            EXPECT_TRUE(appended) << moment;
            EXPECT_EQ(outcome.status, kPurged) << moment << outcome.err;
            EXPECT_TRUE(outcome.data == kept(mail, records(mail)) + fresh(mail)) << moment;
            EXPECT_TRUE(outcome.backup == records(mail) + (beforeLease ? fresh(mail) : "")) << moment;
        }
    }
}

// The lease, the lock, the truncation and the backup's reading back, each
// refused: what the run does.  The backup is opened for reading back before
// the data file is emptied, so a failure there leaves the data file whole.
TEST_F(EngineTest, EachRefusalHasItsOutcome)
{
    const struct {
        const char* name;
        const char* call;
        FailingIo::Refusal refusal;
        const char* option;
        int status;
        bool purged;
        const char* says;
    } cases[] = {
        {"the node keeps the file open", "lease ", {EAGAIN}, nullptr, kDataKeptOpen, false,
         "is kept open by another process"},
        {"kept open, purged all the same", "lease ", {EAGAIN}, "--without-lease", kPurged, true,
         "purging without the lease"},
        {"the node closes it in time", "lease ", {EAGAIN, 3}, nullptr, kPurged, true, ""},
        {"not the file's owner", "lease ", {EACCES}, nullptr, kPurged, true, "no lease on"},
        {"a file system without leases", "lease ", {EINVAL}, nullptr, kPurged, true, "no lease on"},
        {"another purge of the directory runs", "flock ", {EWOULDBLOCK}, nullptr,
         kLockedByAnotherPurge, false, "another purge of"},
        {"no locks on this file system", "flock ", {ENOLCK}, nullptr, kPurged, true, "cannot lock"},
        {"a truncation that fails", "ftruncate announce.bin", {EIO}, nullptr, kFailedDataUnchanged, false,
         "truncate"},
        {"the backup cannot be read back", "open announce.old", {EACCES, 1, 1}, nullptr, kCannotOpenBackup,
         false, "VOSKIL -> fopen in MAIN (fOldFile 2): Permission denied\n"},
    };
    for (const auto& c : cases) {
        NodeTree tree;
        // A trailing part-record stays with a data file that is not purged.
        const std::string planted = announcements() + "part";
        plant(tree, false, planted);
        FailingIo io;
        const std::string call = c.call;
        const size_t file = call.find(' ') + 1;  // the calls on a file name it by its path
        io.refusals[file < call.size() ? call.substr(0, file) + tree.data(call.substr(file)) : call] = c.refusal;
        const Outcome outcome = run(tree, false, io, c.option);
        EXPECT_EQ(outcome.status, c.status) << c.name << outcome.err;
        EXPECT_TRUE(outcome.data == (c.purged ? kept(false, announcements()) : planted)) << c.name;
        EXPECT_FALSE(outcome.mark) << c.name;
        EXPECT_NE(outcome.err.find(c.says), std::string::npos) << c.name << ": " << outcome.err;
        EXPECT_EQ(outcome.err.empty(), c.says[0] == '\0') << c.name << ": " << outcome.err;
        if (c.status == kCannotOpenBackup) {
            EXPECT_EQ(outcome.err.substr(0, outcome.err.find('\n') + 1), c.says);
        }
        if (c.status == kLockedByAnotherPurge) {
            EXPECT_EQ(outcome.backup, "(none)");
            EXPECT_EQ(outcome.out, "");
        }
    }
}

// A file put in the backup's place between its copy and its reading back
// (a link's target, say) never reaches the data file.
TEST_F(EngineTest, ABackupReplacedBeforeItIsReadBackStopsTheRun)
{
    NodeTree tree;
    plant(tree, false, announcements());
    const std::string backup = tree.data(programOf(false).backup);
    FailingIo io;
    int opens = 0;
    io.before = [&](const std::string& call) {
        if (call == "open " + backup && ++opens == 2) {
            writeFile(backup + ".other", std::string(programOf(false).recordSize, 'x'));
            ASSERT_EQ(rename((backup + ".other").c_str(), backup.c_str()), 0);
        }
    };
    const Outcome outcome = run(tree, false, io);
    EXPECT_EQ(outcome.status, kCannotOpenBackup);
    EXPECT_NE(outcome.err.find("was replaced by another file"), std::string::npos) << outcome.err;
    EXPECT_TRUE(outcome.data == announcements());
    EXPECT_FALSE(outcome.mark);
}

// Offsets past 2 GiB, in a sparse file of 2 GiB and a record: a 32-bit
// off_t could neither open it nor reach its last record.
TEST(FileIoOffsets, ReachPastTwoGiB)
{
    TempDir dir;
    const std::string path = dir / "big.bin";
    const std::string record(programUnderTest("VOSKIL").recordSize, 'r');
    const off_t last = off_t{1} << 31;
    const off_t size = last + static_cast<off_t>(record.size());
    FileIo io;
    int fd = io.open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(io.ftruncate(fd, last), 0) << std::strerror(errno);
    ASSERT_TRUE(writeAllAt(io, fd, record.data(), record.size(), last));
    ASSERT_EQ(io.close(fd), 0);

    fd = io.open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    struct stat status;
    ASSERT_EQ(io.fstat(fd, status), 0);
    EXPECT_EQ(status.st_size, size);
    std::string read(record.size() + 1, '\0');
    EXPECT_EQ(io.pread(fd, read.data(), read.size(), last), static_cast<ssize_t>(record.size()));
    EXPECT_EQ(read.substr(0, record.size()), record);
    EXPECT_EQ(io.close(fd), 0);
}

}  // namespace
