#include "dbindex_run.hpp"
#include "failing_io.hpp"
#include "index_builder.hpp"
#include "programs_under_test.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// A run of dbindex in this process, in dir, on the database "base", with
// its output captured.
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

// Every call of a run that finds an old index and what a killed run left
// at the temporary name fails once in turn, the database's reads included.
// Two failures are harmless by design: the close of the killed run's file,
// only read, and fchown, which keeps the old owner where it is permitted.
// Any other gives the status of the file it concerns and is told on both
// outputs; the old index stays until the new one takes its place, which a
// later failure says.  The next run succeeds either way.
TEST(DbindexFaults, EachFailedCallIsToldAndLeavesAWholeIndex)
{
    const std::string newIndex("\x00\x61\x00\x00\x00\x62\x05\x00", 8), leftover = "killed run's";
    const auto plant = [&](const TempDir& dir) {
        writeFile(dir / "base.ful", "A\n&&\nB\n");
        writeFile(dir / "base.idx", "old");
        writeFile(dir / "base.idx.tmp", leftover);
    };
    std::vector<std::string> calls;  // of a run that fails none, in their order
    {
        TempDir dir(0755);  // started by root, dbindex refuses a directory others can write
        plant(dir);
        FailingIo counter;
        counter.before = [&](const std::string& call) { calls.push_back(call); };
        ASSERT_EQ(runIn(dir, counter).status, 0);
    }
    const auto first = [&](const std::string& call) {
        return static_cast<size_t>(std::find(calls.begin(), calls.end(), call) - calls.begin());
    };
    const size_t reading = first("read base.ful"), renamed = first("rename base.idx.tmp");
    ASSERT_LT(reading, renamed);
    ASSERT_LT(renamed, calls.size());
    for (size_t k = 0; k < calls.size(); ++k) {
        const std::string& call = calls[k];
        const std::string verb = call.substr(0, call.find(' ')), path = call.substr(verb.size() + 1);
        TempDir dir(0755);
        plant(dir);
        FailingIo io;
        io.failAt = static_cast<int>(k) + 1;
        const InProcessRun failed = runIn(dir, io);
        ASSERT_EQ(io.failed, call) << k;
        if (call == "fchown base.idx.tmp" || (call == "close base.idx.tmp" && k == first(call))) {
            EXPECT_EQ(failed.status, 0) << call;
            EXPECT_NE(failed.out.find("Done.\n"), std::string::npos) << call << "\n" << failed.out;
            EXPECT_EQ(failed.err, "") << call;
        } else {
            std::string shown = path, expected;
            std::transform(path.begin(), path.end(), shown.begin(),
                           [](unsigned char c) { return std::toupper(c); });
            int status = path == "base.ful" ? 5 : 6;
            if (k < reading) {
                status -= 3;
                expected = "Enable to open " + shown + "\n";
            } else if (k <= renamed) {
                expected = "can't " + (status == 5 ? verb + " BASE.FUL" : "write BASE.IDX") +
                           ": Input/output error; the index on disk is left as it was\n";
            } else {
                // Written and synced before its rename: only a failed sync
                // of the directory leaves the new index to a crash.
                expected = "BASE.IDX: Input/output error; the new index is in place";
                expected += path == "base.idx.tmp" ? "\n" : ", but a crash may undo that\n";
            }
            const size_t told = failed.out.find("*** Error : ");
            EXPECT_TRUE(told != std::string::npos && (told == 0 || failed.out[told - 1] == '\n')) << call;
            EXPECT_NE(failed.out.find(expected, told), std::string::npos) << call << "\n" << failed.out;
            EXPECT_EQ(failed.status, status) << call;
            EXPECT_EQ(failed.err.rfind("dbindex: ", 0), 0u) << call << "\n" << failed.err;
            // The killed run's file is removed only once it is locked.
            if (path == "base.idx.tmp" && k < first("unlink base.idx.tmp")) {
                EXPECT_EQ(readFile(dir / "base.idx.tmp"), leftover) << call;
            }
        }
        EXPECT_EQ(readFile(dir / "base.idx"), k > renamed || failed.status == 0 ? newIndex : "old") << call;
        FileIo disk;
        EXPECT_EQ(runIn(dir, disk, ReadAhead::On).status, 0) << call;
        EXPECT_EQ(readFile(dir / "base.idx"), newIndex) << call;
        EXPECT_FALSE(fileExists(dir / "base.idx.tmp")) << call;
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
