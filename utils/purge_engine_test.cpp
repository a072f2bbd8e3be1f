#include "age_purge.hpp"
#include "mail_purge.hpp"
#include "purge_engine.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const time_t kNow = utcTime(2026, 12, 7, 12);
time_t frozenClock() { return kNow; }

// Fails the call numbered failAt (from 1) with EIO, and remembers which it was.
class FailingIo : public FileIo {
public:
    int failAt = 0;
    int calls = 0;
    std::string failed;
    // Called on the first read that meets the end of path, once.
    std::string appendOnEnd;
    std::string appendBytes;

    int open(const char* path, int flags, mode_t mode) override
    {
        if (fails("open " + std::string(path)))
            return -1;
        const int fd = FileIo::open(path, flags, mode);
        if (fd >= 0)
            paths_[fd] = path;
        return fd;
    }
    ssize_t read(int fd, void* into, size_t size) override
    {
        if (fails("read " + paths_[fd]))
            return -1;
        const ssize_t got = FileIo::read(fd, into, size);
        if (got == 0 && paths_[fd] == appendOnEnd && !appendBytes.empty()) {
            const int node = ::open(appendOnEnd.c_str(), O_WRONLY | O_APPEND);
            EXPECT_EQ(::write(node, appendBytes.data(), appendBytes.size()),
                      static_cast<ssize_t>(appendBytes.size()));
            ::close(node);
            appendBytes.clear();
        }
        return got;
    }
    ssize_t write(int fd, const void* from, size_t size) override
    {
        return fails("write " + paths_[fd]) ? -1 : FileIo::write(fd, from, size);
    }
    off_t lseek(int fd, off_t offset, int whence) override
    {
        return fails("lseek " + paths_[fd]) ? -1 : FileIo::lseek(fd, offset, whence);
    }
    int fsync(int fd) override { return fails("fsync " + paths_[fd]) ? -1 : FileIo::fsync(fd); }
    int ftruncate(int fd, off_t length) override
    {
        return fails("ftruncate " + paths_[fd]) ? -1 : FileIo::ftruncate(fd, length);
    }
    int close(int fd) override
    {
        const std::string what = "close " + paths_[fd];
        paths_.erase(fd);
        const int result = FileIo::close(fd);  // the descriptor is gone either way
        return fails(what) ? -1 : result;
    }
    int unlink(const char* path) override
    {
        return fails("unlink " + std::string(path)) ? -1 : FileIo::unlink(path);
    }
    int access(const char* path) override
    {
        return fails("access " + std::string(path)) ? -1 : FileIo::access(path);
    }

private:
    bool fails(const std::string& what)
    {
        if (++calls != failAt)
            return false;
        failed = what;
        errno = EIO;
        return true;
    }
    std::map<int, std::string> paths_;
};

// A node tree with a mail directory file and its message files, or an
// announcement file.
struct Tree {
    TempDir dir;
    std::string bin = dir / "bin";
    std::string mail = dir / "mail/";
    Tree() { makeDirectory(bin); makeDirectory(dir / "mail"); }
    std::string data(const char* name) const { return bin + "/" + name; }
};

const PurgeProgram kMail = {"KELDRAN", "dirmes.bin", "dirmes.old", 244,
                            "open data", "open backup", "reopen data", nullptr};

time_t announcementDay(const unsigned char* record, DateCache& dates)
{
    uint32_t value = 0;
    std::memcpy(&value, record + 124, 4);
    return dates.fromPacked(value);
}
const AgeProgram kAnnounce = {{"VOSKIL", "announce.bin", "announce.old", 128, "open data",
                               "open backup", "reopen data", "reopen backup"},
                              "VOSKIL v 1.0\n", "VOSKIL completed : %ld left, %ld deleted.\n",
                              "announcements", announcementDay};

struct Outcome {
    int status;
    std::string data, backup, out;
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

    // Six mail records: old ones, a K, a protected one; three message files each.
    static std::string mailDirectory()
    {
        std::string records;
        const int ages[] = {1, 40, 40, 2, 31, 0};
        for (uint32_t i = 0; i < 6; ++i) {
            MailRecord r;
            r.number = 40 + i;
            r.type = i % 2 ? 'P' : 'B';
            r.status = i == 3 ? 'K' : 'N';
            r.noAutoDelete = i == 2;
            r.date = dateTextDaysBefore(kNow, ages[i]);
            records += mailRecord(r);
        }
        return records;
    }

    static std::string announcements()
    {
        std::string records;
        for (int i = 0; i < 9; ++i)
            records += packedRecord(packedDateTime(2026, 12, 7 - i * 3, 10, i), i);
        return records;
    }

    static void plant(const Tree& tree, bool mail, const std::string& records)
    {
        writeFile(tree.data(mail ? "dirmes.bin" : "announce.bin"), records);
        if (mail)
            for (int i = 40; i < 46; ++i)
                writeFile(tree.mail + "m00000" + std::to_string(i) + ".msg", "text");
    }

    static Outcome run(const Tree& tree, bool mail, FileIo& io, bool dryRun = false)
    {
        PurgePaths paths;
        EXPECT_TRUE(buildPurgePaths(tree.bin.c_str(), mail ? "dirmes.bin" : "announce.bin", paths));
        MailSettings settings;
        std::strcpy(settings.szMailPath, tree.mail.c_str());
        FILE* out = tmpfile();
        FILE* err = tmpfile();
        MailRules mailRules(settings, out);
        AgeRules ageRules(kAnnounce, 10);
        PurgeRules& rules = mail ? static_cast<PurgeRules&>(mailRules) : ageRules;
        const PurgeContext context = {io, out, err, frozenClock, dryRun};
        Outcome outcome;
        outcome.status = runPurge(mail ? kMail : kAnnounce.files, paths, rules, context);
        std::fflush(out);
        std::rewind(out);
        char buffer[4096];
        outcome.out.assign(buffer, std::fread(buffer, 1, sizeof buffer, out));
        std::fclose(out);
        std::fclose(err);
        outcome.data = readFile(paths.szBin);
        outcome.backup = fileExists(paths.szOld) ? readFile(paths.szOld) : "(none)";
        outcome.mark = fileExists(paths.szMark);
        for (int i = 40; i < 46; ++i)
            if (fileExists(tree.mail + "m00000" + std::to_string(i) + ".msg"))
                outcome.messages.insert(std::to_string(i));
        return outcome;
    }

    // Fails every I/O call of a run in turn: each failed run exits non-zero
    // (but where the call's failure is allowed by design), the data file and
    // the backup together still hold every record, and a normal run then
    // ends where an uninterrupted run ends.
    static int sweep(bool mail, const std::string& records, void (*prepare)(const Tree&))
    {
        Tree reference;
        plant(reference, mail, records);
        prepare(reference);
        FileIo real;
        const Outcome expected = run(reference, mail, real);
        EXPECT_EQ(expected.status, kPurged);

        FailingIo counter;
        {
            Tree tree;
            plant(tree, mail, records);
            prepare(tree);
            run(tree, mail, counter);
        }
        for (int k = 1; k <= counter.calls; ++k) {
            Tree tree;
            plant(tree, mail, records);
            prepare(tree);
            FailingIo io;
            io.failAt = k;
            const Outcome failed = run(tree, mail, io);
            // A message file that cannot be removed is passed over by design:
            // the run completes all the same.
            if (io.failed.rfind("unlink " + tree.mail, 0) == 0) {
                EXPECT_EQ(failed.status, kPurged);
                EXPECT_TRUE(failed.data == expected.data);
                continue;
            }
            EXPECT_NE(failed.status, kPurged) << io.failed;
            const bool dataWhole = failed.data == records;
            // Without the data file whole, the backup is, and the mark tells the
            // next run to restore it (unless the rewrite was already complete).
            const bool backupWhole =
                failed.backup == records && (failed.mark || failed.data == expected.data);
            EXPECT_TRUE(dataWhole || backupWhole) << io.failed << " status " << failed.status;
            const Outcome after = run(tree, mail, real);
            EXPECT_EQ(after.status, kPurged) << io.failed;
            EXPECT_TRUE(after.data == expected.data) << io.failed;
            // A rewrite that was complete is purged once more, from itself.
            const bool completed = failed.data == expected.data && !failed.mark;
            EXPECT_TRUE(after.backup == (completed ? expected.data : records)) << io.failed;
            EXPECT_FALSE(after.mark) << io.failed;
            EXPECT_EQ(after.messages, expected.messages) << io.failed;
        }
        return counter.calls;
    }
};

void nothing(const Tree&) {}

// The state a run leaves when it is stopped midway through the rewrite.
void interruptedMail(const Tree& tree)
{
    writeFile(tree.data("dirmes.old"), readFile(tree.data("dirmes.bin")));
    writeFile(tree.data("dirmes.purging"), "");
    writeFile(tree.data("dirmes.bin"), readFile(tree.data("dirmes.bin")).substr(0, 300));
}

void interruptedAnnounce(const Tree& tree)
{
    writeFile(tree.data("announce.old"), readFile(tree.data("announce.bin")));
    writeFile(tree.data("announce.purging"), "");
    writeFile(tree.data("announce.bin"), "");
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
        {"../system/bin/", "../system/bin/dx.bin", "../system/bin/dx.old",
         "../system/bin/dx.purging", "../system/bin"},
        {"/data/node", "/data/node/dx.bin", "/data/node/dx.old", "/data/node/dx.purging",
         "/data/node"},
        {"", "/dx.bin", "/dx.old", "/dx.purging", "/"},
        {"rel", "rel/dx.bin", "rel/dx.old", "rel/dx.purging", "rel"},
    };
    for (const auto& c : cases) {
        PurgePaths paths;
        ASSERT_TRUE(buildPurgePaths(c.directory, "dx.bin", paths));
        EXPECT_STREQ(paths.szBin, c.bin);
        EXPECT_STREQ(paths.szOld, c.old);
        EXPECT_STREQ(paths.szMark, c.mark);
        EXPECT_STREQ(paths.szDirectory, c.parent);
    }
    PurgePaths paths;
    EXPECT_TRUE(buildPurgePaths(std::string(255 - 7, 'd').c_str(), "dx.bin", paths));
    EXPECT_FALSE(buildPurgePaths(std::string(255 - 6, 'd').c_str(), "dx.bin", paths));
}

TEST_F(EngineTest, EveryFailedCallLosesNothing)
{
    const int mailCalls = sweep(true, mailDirectory(), nothing);
    const int announceCalls = sweep(false, announcements(), nothing);
    const int recoveryCalls = sweep(true, mailDirectory(), interruptedMail) +
                              sweep(false, announcements(), interruptedAnnounce);
    EXPECT_GT(mailCalls, 20);
    EXPECT_GT(announceCalls, 20);
    EXPECT_GT(recoveryCalls, 40);
    std::printf("faults injected: %d\n", mailCalls + announceCalls + recoveryCalls);
}

TEST_F(EngineTest, RecoveryRestoresThenPurges)
{
    Tree tree;
    plant(tree, true, mailDirectory());
    interruptedMail(tree);
    FileIo io;
    const Outcome outcome = run(tree, true, io);
    EXPECT_EQ(outcome.status, kPurged);
    EXPECT_EQ(outcome.backup, mailDirectory());
    EXPECT_FALSE(outcome.mark);
    EXPECT_EQ(outcome.out.substr(0, outcome.out.find('\n') + 1),
              "KELDRAN: restored " + tree.data("dirmes.bin") + " from " + tree.data("dirmes.old") +
                  " after an interrupted run\n");
}

TEST_F(EngineTest, DryRunChangesNothingAndPrintsTheSame)
{
    for (bool mail : {true, false}) {
        Tree real;
        Tree dry;
        const std::string records = mail ? mailDirectory() : announcements();
        plant(real, mail, records);
        plant(dry, mail, records);
        FileIo io;
        const Outcome done = run(real, mail, io);
        const Outcome shown = run(dry, mail, io, true);
        EXPECT_EQ(shown.status, kPurged);
        EXPECT_EQ(shown.out, done.out);
        EXPECT_EQ(shown.data, records);
        EXPECT_EQ(shown.backup, "(none)");
        EXPECT_FALSE(shown.mark);
        EXPECT_EQ(shown.messages.size(), mail ? 6u : 0u);

        // With the mark of an interrupted run, a dry run says so and shows
        // the purge of the backup.
        Tree marked;
        plant(marked, mail, records);
        (mail ? interruptedMail : interruptedAnnounce)(marked);
        const std::string partial = readFile(marked.data(mail ? "dirmes.bin" : "announce.bin"));
        const Outcome recovering = run(marked, mail, io, true);
        EXPECT_EQ(recovering.status, kPurged);
        EXPECT_NE(recovering.out.find("marks an interrupted run"), std::string::npos);
        EXPECT_NE(recovering.out.find(done.out), std::string::npos);
        EXPECT_EQ(recovering.data, partial);
        EXPECT_TRUE(recovering.mark);
    }
}

// Records that the node server appends while the backup is being made are
// copied too, before the data file is emptied.
TEST_F(EngineTest, RecordsAppendedDuringTheCopyAreKept)
{
    Tree tree;
    plant(tree, false, announcements());
    FailingIo io;
    io.appendOnEnd = tree.data("announce.bin");
    const std::string fresh = packedRecord(packedDateTime(2026, 12, 7), 99);
    io.appendBytes = fresh.substr(0, 100);  // half a record first: it waits for the rest
    const Outcome first = run(tree, false, io);
    EXPECT_EQ(first.status, kPurged);
    EXPECT_EQ(first.backup, announcements());

    Tree again;
    plant(again, false, announcements());
    FailingIo appending;
    appending.appendOnEnd = again.data("announce.bin");
    appending.appendBytes = fresh;
    const Outcome outcome = run(again, false, appending);
    EXPECT_EQ(outcome.status, kPurged);
    EXPECT_EQ(outcome.backup, announcements() + fresh);
    EXPECT_EQ(outcome.data.substr(outcome.data.size() - 128), fresh);
}

}  // namespace

namespace {

// Fails one open of the run, found by what it opens and how.
class FailingOpen : public FileIo {
public:
    FailingOpen(std::string path, int accessMode) : path_(std::move(path)), mode_(accessMode) {}
    int open(const char* path, int flags, mode_t mode) override
    {
        if (path_ == path && (flags & O_ACCMODE) == mode_) {
            errno = EACCES;
            return -1;
        }
        return FileIo::open(path, flags, mode);
    }

private:
    std::string path_;
    int mode_;
};

// The backup is opened for reading back before the data file is emptied: a
// failure there keeps its message and status and leaves the data file whole.
TEST_F(EngineTest, BackupThatCannotBeReadBackLeavesTheDataFile)
{
    Tree tree;
    plant(tree, false, announcements());
    FailingOpen io(tree.data("announce.old"), O_RDONLY);
    PurgePaths paths;
    ASSERT_TRUE(buildPurgePaths(tree.bin.c_str(), "announce.bin", paths));
    AgeRules rules(kAnnounce, 10);
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    const PurgeContext context = {io, out, err, frozenClock, false};
    EXPECT_EQ(runPurge(kAnnounce.files, paths, rules, context), kCannotOpenBackup);
    std::rewind(err);
    char message[256] = {};
    EXPECT_NE(std::fgets(message, sizeof message, err), nullptr);
    EXPECT_STREQ(message, "reopen backup: Permission denied\n");
    std::fclose(out);
    std::fclose(err);
    EXPECT_TRUE(readFile(paths.szBin) == announcements());
    EXPECT_FALSE(fileExists(paths.szMark));
}

// The data file is rewritten in place: the node server may hold it open.
TEST_F(EngineTest, DataFileKeepsItsInode)
{
    Tree tree;
    plant(tree, true, mailDirectory());
    struct stat before;
    struct stat after;
    ASSERT_EQ(stat(tree.data("dirmes.bin").c_str(), &before), 0);
    FileIo io;
    EXPECT_EQ(run(tree, true, io).status, kPurged);
    ASSERT_EQ(stat(tree.data("dirmes.bin").c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_LT(after.st_size, before.st_size);
}

// Offsets past 2 GiB, in a sparse file of 2 GiB and a record: a 32-bit
// off_t could neither open it nor seek to its last record.
TEST(FileIoOffsets, ReachPastTwoGiB)
{
    TempDir dir;
    const std::string path = dir / "big.bin";
    const off_t size = (off_t{1} << 31) + 128;
    FileIo io;
    int fd = io.open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    ASSERT_EQ(io.ftruncate(fd, size - 128), 0) << std::strerror(errno);
    ASSERT_EQ(io.lseek(fd, 0, SEEK_END), size - 128);
    ASSERT_TRUE(writeAll(io, fd, std::string(128, 'r').data(), 128));
    ASSERT_EQ(io.close(fd), 0);

    fd = io.open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    EXPECT_EQ(io.lseek(fd, -128, SEEK_END), size - 128);
    char record[129] = {};
    EXPECT_EQ(readFull(io, fd, record, sizeof record), 128);
    EXPECT_EQ(std::string(record, 128), std::string(128, 'r'));
    EXPECT_EQ(io.close(fd), 0);
}

}  // namespace
