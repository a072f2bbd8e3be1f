#include "dbindex_run.hpp"
#include "failing_io.hpp"
#include "index_builder.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <iterator>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A run of dbindex in this process, in dir, on the database "base", with
// its output captured.
struct InProcessRun {
    int status;
    std::string out;
    std::string err;
};

InProcessRun runIn(const TempDir& dir, FileIo& io, ReadAhead readAhead = ReadAhead::Off)
{
    char here[4096];
    if (!getcwd(here, sizeof here) || chdir(dir.path().c_str()) != 0)
        throw std::runtime_error("cannot enter " + dir.path());
    std::string program = "dbindex";
    std::string name = "base";
    char* argv[] = {program.data(), name.data(), nullptr};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = runDbindex(2, argv, io, readAhead);
    InProcessRun run{status, testing::internal::GetCapturedStdout(), testing::internal::GetCapturedStderr()};
    if (chdir(here) != 0)
        throw std::runtime_error("cannot go back to " + std::string(here));
    return run;
}

// The calls of a run that finds an old index and what a killed run left at
// the temporary name, in their order, each failed in turn: the status the
// run gives, what it says, whether the new index took the old one's place,
// and whether a file stays at the temporary name.  The next run succeeds.
TEST(DbindexFaults, EachFailedCallIsToldAndLeavesAWholeIndex)
{
    const std::string kept = "; the index on disk is left as it was\n";
    const std::string writeFailed = "can't write BASE.IDX: Input/output error" + kept;
    const std::string tmp = "Enable to open BASE.IDX.TMP\n";
    const std::string inPlace = ": Input/output error; the new index is in place";
    const struct {
        const char* call;
        int status;
        std::string said;  // on standard output
        bool placed;
        bool temporaryStays;
    } calls[] = {
        {"open base.ful", 2, "Enable to open BASE.FUL\n", false, true},
        {"fstat base.ful", 2, "Enable to open BASE.FUL\n", false, true},
        {"lstat base.idx", 3, "Enable to open BASE.IDX\n", false, true},
        {"access base.idx", 3, "Enable to open BASE.IDX\n", false, true},
        {"open base.idx.tmp", 3, tmp, false, true},  // taken by the killed run's file
        {"lstat base.idx.tmp", 3, tmp, false, true},  // which is looked at,
        {"open base.idx.tmp", 3, tmp, false, true},   // opened to read,
        {"fstat base.idx.tmp", 3, tmp, false, true},
        {"flock base.idx.tmp", 3, tmp, false, true},  // locked: no run works on it,
        {"fstat base.idx.tmp", 3, tmp, false, true},
        {"lstat base.idx.tmp", 3, tmp, false, true},  // still there,
        {"unlink base.idx.tmp", 3, tmp, false, true},  // and removed
        {"close base.idx.tmp", 0, "Done.\n", true, false},  // only read: nothing lost
        {"open base.idx.tmp", 3, tmp, false, false},  // the new file, created
        {"flock base.idx.tmp", 3, tmp, false, true},
        {"fstat base.idx.tmp", 3, tmp, false, true},
        {"lstat base.idx.tmp", 3, tmp, false, true},
        {"read base.ful", 5, "can't read BASE.FUL: Input/output error" + kept, false, false},
        {"read base.ful", 5, "can't read BASE.FUL: Input/output error" + kept, false, false},
        {"write base.idx.tmp", 6, writeFailed, false, false},
        {"close base.ful", 5, "can't close BASE.FUL: Input/output error" + kept, false, false},
        {"fchown base.idx.tmp", 0, "Done.\n", true, false},  // the old owner, where permitted
        {"fchmod base.idx.tmp", 6, writeFailed, false, false},
        {"fsync base.idx.tmp", 6, writeFailed, false, false},
        {"rename base.idx.tmp", 6, writeFailed, false, false},
        {"close base.idx.tmp", 6, "can't close BASE.IDX" + inPlace + "\n", true, false},
        {"open .", 6, "can't sync the directory of BASE.IDX" + inPlace, true, false},
        {"fsync .", 6, "can't sync the directory of BASE.IDX" + inPlace, true, false},
        {"close .", 6, "can't sync the directory of BASE.IDX" + inPlace, true, false},
    };
    const std::string newIndex("\x00\x61\x00\x00\x00\x62\x05\x00", 8);
    const auto plant = [](const TempDir& dir) {
        writeFile(dir / "base.ful", "A\n&&\nB\n");
        writeFile(dir / "base.idx", "old");
        writeFile(dir / "base.idx.tmp", "left by a killed run");
    };
    FailingIo counter;
    {
        TempDir dir(0755);  // started by root, dbindex refuses a directory others can write
        plant(dir);
        ASSERT_EQ(runIn(dir, counter).status, 0);
    }
    ASSERT_EQ(counter.calls, static_cast<int>(std::size(calls)));
    for (int k = 1; k <= counter.calls; ++k) {
        const auto& c = calls[k - 1];
        TempDir dir(0755);
        plant(dir);
        FailingIo io;
        io.failAt = k;
        const InProcessRun failed = runIn(dir, io);
        EXPECT_EQ(io.failed, c.call) << k;
        EXPECT_EQ(failed.status, c.status) << c.call;
        EXPECT_NE(failed.out.find(c.said), std::string::npos) << c.call << "\n" << failed.out;
        EXPECT_EQ(failed.err.rfind("dbindex: ", 0) == 0, c.status != 0) << c.call << "\n" << failed.err;
        EXPECT_EQ(readFile(dir / "base.idx"), c.placed ? newIndex : "old") << c.call;
        EXPECT_EQ(fileExists(dir / "base.idx.tmp"), c.temporaryStays) << c.call;
        FileIo disk;
        EXPECT_EQ(runIn(dir, disk).status, 0) << c.call;
        EXPECT_EQ(readFile(dir / "base.idx"), newIndex) << c.call;
        EXPECT_FALSE(fileExists(dir / "base.idx.tmp")) << c.call;
    }
}

// A write that writes nothing ends the index with a failure, not a loop.
TEST(DbindexFaults, AWriteOfNothingFails)
{
    struct WritesNothing : FileIo {
        ssize_t write(int, const void*, size_t) override { return 0; }
    } io;
    IndexWriter writer(io, -1);
    writer.record(0x6100, 0, 0, nullptr);
    EXPECT_FALSE(writer.flush());
    EXPECT_TRUE(writer.failed());
}

}  // namespace
