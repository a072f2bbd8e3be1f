// dbindex, run as a program in a temporary directory: output bytes, index
// bytes and exit status.
#include "run_program.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fcntl.h>
#include <map>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The mode of a run's directory: started by root, dbindex refuses one that
// others can write.
constexpr mode_t kOwnersOnly = 0755;

const std::string kBanner = "Halvik's Kavex DataBase indexation utility v2.0\n";
const std::string kWorkedExample = "Alpha\nfirst line\n&&\nBravo\nsecond\n&&\n";
const std::string kWorkedIndex("\xD4\x32\x00\x00\xE8\x32\x14\x00", 8);
const std::string kOneKeyIndex("\x00\x61\x00\x00", 4);  // of "A\n"

std::string creating(const std::string& index, const std::string& spinner = "")
{
    return kBanner + "\nCreating database index file " + index + " ... " + spinner + "Done.\n";
}

// What dbindex says of a file it could not open: on standard output, and
// on standard error with the file's path.
std::string unopened(const std::string& shown) { return kBanner + "*** Error : Enable to open " + shown + "\n"; }
std::string cannotOpen(const std::string& file, const std::string& why)
{
    return "dbindex: cannot open @/" + file + ": " + why + "\n";
}

std::string records(int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "key" + std::to_string(i) + "\nbody\n&&\n";
    return text;
}

struct Case {
    const char* name;
    std::map<std::string, std::string> files;  // see plant()
    std::vector<std::string> arguments;
    int status;
    std::string out;
    std::map<std::string, std::string> expected;  // files after the run; "GONE": none there
    std::string err = "";  // "@" stands for the directory of the run
};

// --check builds the index in memory and compares it with the one on disk.
const std::string kChecked = "Alpha\nfirst\n&&\nBravo\nsecond\n&&\nCharlie\n&&\n";
const std::string kCheckedIndex("\xD4\x32\x00\x00\xE8\x32\x0F\x00\x43\x96\x10\x00", 12);
const std::string kDisagrees = "dbindex: base.idx does not agree with base.ful\n";

std::string checking(const std::string& ending)
{
    return kBanner + "\nChecking database index file BASE.IDX ... " + ending;
}

// A --check of kChecked against index: the index is never changed, and a
// difference is told on both outputs.
Case check(const char* name, const std::string& index, int status, const std::string& ending)
{
    return {name, {{"base.ful", kChecked}, {"base.idx", index}}, {"--check", "Base"}, status, checking(ending),
            {{"base.idx", index}}, status == 0 ? "" : kDisagrees};
}

const std::string kSynopsis = "usage: dbindex [--quiet] NAME\n"
                              "       dbindex [--quiet] --check NAME\n"
                              "       dbindex --help | --version\n";

RunOptions in(const TempDir& dir)
{
    RunOptions options;
    options.directory = dir.path();
    return options;
}

// A message with "@" standing for the directory of the run.
std::string inDirectory(std::string text, const std::string& directory)
{
    if (const size_t at = text.find('@'); at != std::string::npos)
        text.replace(at, 1, directory);
    return text;
}

// A file of a case: "DIR" makes a directory, "FIFO" a FIFO, "->target" a
// symbolic link; any other value is the file's bytes.
void plant(const TempDir& dir, const std::string& name, const std::string& what)
{
    const std::string path = dir / name;
    if (what == "DIR") {
        makeDirectory(path);
        ASSERT_EQ(chmod(path.c_str(), kOwnersOnly), 0) << path;
    } else if (what == "FIFO") {
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0) << path;
    } else if (what.rfind("->", 0) == 0) {
        ASSERT_EQ(symlink(what.c_str() + 2, path.c_str()), 0) << path;
    } else {
        writeFile(path, what);
    }
}

// Runs dbindex; an open of a FIFO that still waits after ten seconds is let
// through by opening the FIFO's other end, and the run counts as one that
// waited: no run may wait on a FIFO.
RunResult runWithoutWaiting(const std::vector<std::string>& arguments, const RunOptions& options,
                            const std::vector<std::string>& fifos, bool& waited)
{
    std::atomic<bool> done = false;
    std::thread watchdog([&] {
        for (int tick = 0; tick < 1000 && !done; ++tick)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        waited = !done;
        for (const std::string& fifo : fifos)
            close(waited ? open(fifo.c_str(), O_RDWR | O_NONBLOCK) : -1);
    });
    const RunResult result = runProgram(DBINDEX_PATH, arguments, options);
    done = true;
    watchdog.join();
    return result;
}

TEST(DbindexProgram, OutputIndexAndStatus)
{
    const std::string full = std::string(252, 'n');
    const std::string longest = std::string(249, 'l');  // in a directory "d": NAME.idx of 253 bytes
    const Case cases[] = {
        {"worked example", {{"base.ful", kWorkedExample}}, {"Base.FUL"}, 0, creating("BASE.IDX"),
         {{"base.idx", kWorkedIndex}}},
        {"continuations", {{"base.ful", "Alpha\n" + std::string(590, 'b') + "\n&&\nBravo\n"}},
         {"base"}, 0, creating("BASE.IDX"),
         {{"base.idx", std::string("\xD4\x32\x00\x00\x00\x00\xFF\x00\x00\x00\xFF\x00\xE8\x32\x5A\x00", 16)}}},
        {"empty database", {{"base.ful", ""}}, {"base"}, 0, creating("BASE.IDX"), {{"base.idx", ""}}},
        {"key without LF", {{"base.ful", "Alpha"}}, {"base"}, 0, creating("BASE.IDX"), {{"base.idx", ""}}},
        {"cut at the first full stop", {{"data.ful", "A\n"}}, {"Data.Old.FUL", "ignored"}, 0,
         creating("DATA.IDX"), {{"data.idx", kOneKeyIndex}}, "dbindex: argument 'ignored' ignored\n"},
        {"whole path folded", {{"sub", "DIR"}, {"sub/base.ful", "A\n"}}, {"Sub/BASE"}, 0,
         creating("SUB/BASE.IDX"), {{"sub/base.idx", kOneKeyIndex}}},
        {"dot-dot gives an empty name", {{".ful", "A\n"}}, {"../elsewhere/base"}, 0, creating(".IDX"),
         {{".idx", kOneKeyIndex}}},
        {"50 records, one spinner character", {{"base.ful", records(50)}}, {"base"}, 0,
         creating("BASE.IDX", "|"), {}},
        {"101 records, two", {{"base.ful", records(101)}}, {"base"}, 0, creating("BASE.IDX", "|/"), {}},
        {"254 records, five", {{"base.ful", records(254)}}, {"base"}, 0, creating("BASE.IDX", "|/-\\|"), {}},
        {"no name", {}, {}, 1, kBanner + "\n*** Error : can't continue.\nYou must specified the database name\n", {},
         "dbindex: no database name was given\n"},
        {"missing directory", {}, {"Sub/BASE"}, 2, unopened("SUB/BASE.FUL"), {},
         cannotOpen("sub/base.ful", "No such file or directory")},
        {"missing database", {{"base.idx", "old"}}, {"Base"}, 2, unopened("BASE.FUL"), {{"base.idx", "old"}},
         cannotOpen("base.ful", "No such file or directory")},
        {"index cannot be opened", {{"base.ful", "A\n"}, {"base.idx", "DIR"}}, {"base"}, 3, unopened("BASE.IDX"),
         {}, cannotOpen("base.idx", "a directory, not a regular file")},
        {"a device index is not written", {{"base.ful", "A\n"}, {"base.idx", "->/dev/full"}}, {"base"}, 3,
         unopened("BASE.IDX"), {}, cannotOpen("base.idx", "a character device, not a regular file")},
        {"FIFO database", {{"base.ful", "FIFO"}, {"base.idx", "old"}}, {"base"}, 2, unopened("BASE.FUL"),
         {{"base.idx", "old"}}, cannotOpen("base.ful", "a FIFO, not a regular file")},
        {"FIFO index", {{"base.ful", "A\n"}, {"base.idx", "FIFO"}}, {"base"}, 3, unopened("BASE.IDX"),
         {{"base.idx.tmp", "GONE"}}, cannotOpen("base.idx", "a FIFO, not a regular file")},
        {"FIFO at the temporary index", {{"base.ful", "A\n"}, {"base.idx", "old"}, {"base.idx.tmp", "FIFO"}},
         {"base"}, 3, unopened("BASE.IDX.TMP"), {{"base.idx", "old"}},
         cannotOpen("base.idx.tmp", "a FIFO, not a regular file")},
        {"directory at the temporary index", {{"base.ful", "A\n"}, {"base.idx.tmp", "DIR"}}, {"base"}, 3,
         unopened("BASE.IDX.TMP"), {{"base.idx", "GONE"}},
         cannotOpen("base.idx.tmp", "a directory, not a regular file")},
        {"link at the temporary index", {{"base.ful", "A\n"}, {"base.idx.tmp", "->planted"}}, {"base"}, 3,
         unopened("BASE.IDX.TMP"), {{"planted", "GONE"}, {"base.idx", "GONE"}},
         cannotOpen("base.idx.tmp", "a symbolic link, not a regular file")},
        {"longest name, with what a killed run left", {{"d", "DIR"}, {"d/" + longest + ".ful", "A\n"},
          {"d/" + longest + ".i.tmp", "left by a killed run"}}, {"d/" + longest}, 0,
         creating("D/" + std::string(249, 'L') + ".IDX"),
         {{"d/" + longest + ".idx", kOneKeyIndex}, {"d/" + longest + ".i.tmp", "GONE"}}},
        {"name too long", {}, {std::string(256, 'n')}, 4,
         kBanner + "*** Error : database name too long: at most 255 characters, 251 once cut\n", {},
         "dbindex: the database name does not fit: " + std::string(256, 'n') + "\n"},
        {"cut name too long", {}, {full + ".ful"}, 4,
         kBanner + "*** Error : database name too long: at most 255 characters, 251 once cut\n", {},
         "dbindex: the database name does not fit: " + full + ".ful\n"},
        {"longest cut name", {}, {full.substr(1) + ".ful"}, 2, unopened(std::string(251, 'N') + ".FUL"), {},
         cannotOpen(full.substr(1) + ".ful", "No such file or directory")},
        {"directory database", {{"base.ful", "DIR"}, {"base.idx", "old"}}, {"base"}, 2, unopened("BASE.FUL"),
         {{"base.idx", "old"}}, cannotOpen("base.ful", "a directory, not a regular file")},
        // A regular file whose first bytes cannot be read.
        {"read error", {{"base.ful", "->/proc/self/mem"}, {"base.idx", "old"}}, {"base"}, 5,
         kBanner + "\nCreating database index file BASE.IDX ... \n*** Error : can't read BASE.FUL: "
                   "Input/output error; the index on disk is left as it was\n",
         {{"base.idx", "old"}, {"base.idx.tmp", "GONE"}}, "dbindex: cannot read @/base.ful: Input/output error\n"},
        {"quiet", {{"base.ful", kWorkedExample}}, {"--quiet", "base"}, 0, "", {{"base.idx", kWorkedIndex}}},
        {"quiet, and a failure shows all", {}, {"base", "--quiet"}, 2, unopened("BASE.FUL"), {},
         cannotOpen("base.ful", "No such file or directory")},
        {"version", {{"base.ful", "A\n"}}, {"base", "--version"}, 0, kBanner, {}},
        {"unknown option", {{"base.ful", "A\n"}}, {"--dryrun", "base"}, 9, "", {},
         "dbindex: unknown option --dryrun: no file was opened\n" + kSynopsis},
        check("check: matching", kCheckedIndex, 0, "agrees with the database (3 records).\n"),
        check("check: pad bytes are ignored", std::string("\xD4\x32\x00\x07\xE8\x32\x0F\x07\x43\x96\x10\x07", 12),
              0, "agrees with the database (3 records).\n"),
        check("check: stale, the database grew", kCheckedIndex.substr(0, 8), 8,
              "\n*** Error : the index ends before the record at offset 31, key line \"Charlie\"\n"),
        check("check: stale, the database shrank", kCheckedIndex + std::string("\x00\x61\x05\x00", 4), 8,
              "\n*** Error : the index holds entries after the last record (3 records)\n"),
        check("check: corrupted hash", std::string("\xD4\x32\x00\x00\xE8\x33\x0F\x00\x43\x96\x10\x00", 12), 8,
              "\n*** Error : the index differs from the database at the record at offset 15, key line \"Bravo\"\n"),
        check("check: corrupted step", std::string("\xD4\x32\x00\x00\xE8\x32\x0E\x00\x43\x96\x10\x00", 12), 8,
              "\n*** Error : the index differs from the database at the record at offset 15, key line \"Bravo\"\n"),
        check("check: torn last entry", kCheckedIndex + "\x01", 8,
              "\n*** Error : the index holds entries after the last record (3 records)\n"),
    };
    for (const Case& c : cases) {
        TempDir dir(kOwnersOnly);
        std::vector<std::string> fifos;
        for (const auto& [name, what] : c.files) {
            plant(dir, name, what);
            if (what == "FIFO")
                fifos.push_back(dir / name);
        }
        bool waited = false;
        const RunResult result = runWithoutWaiting(c.arguments, in(dir), fifos, waited);
        EXPECT_FALSE(waited) << c.name;
        EXPECT_EQ(result.status, c.status) << c.name;
        EXPECT_EQ(result.out, c.out) << c.name;
        EXPECT_EQ(result.err, inDirectory(c.err, dir.path())) << c.name;
        if (c.status == 9 || (!c.arguments.empty() && c.arguments.back() == "--version")) {
            EXPECT_FALSE(fileExists(dir / "base.idx")) << c.name;
        }
        for (const auto& [name, bytes] : c.expected) {
            struct stat there;
            if (bytes == "GONE")
                EXPECT_NE(lstat((dir / name).c_str(), &there), 0) << c.name << ": " << name;
            else
                EXPECT_EQ(readFile(dir / name), bytes) << c.name << ": " << name;
        }
    }
}

// The new index takes the old one's place whole: through a symbolic link,
// with the old one's mode, and what a killed run left behind is removed.
TEST(DbindexProgram, ReplacesTheIndexWhole)
{
    TempDir dir(kOwnersOnly);
    makeDirectory(dir / "real");
    writeFile(dir / "base.ful", kWorkedExample);
    writeFile(dir / "real/base.idx", "old");
    chmod((dir / "real/base.idx").c_str(), 0640);
    ASSERT_EQ(symlink("real/base.idx", (dir / "base.idx").c_str()), 0);
    writeFile(dir / "real/base.idx.tmp", "left by a killed run");
    const RunOptions options = in(dir);
    const RunResult result = runProgram(DBINDEX_PATH, {"base"}, options);
    EXPECT_EQ(result.status, 0) << result.out;
    struct stat link;
    ASSERT_EQ(lstat((dir / "base.idx").c_str(), &link), 0);
    EXPECT_TRUE(S_ISLNK(link.st_mode));
    EXPECT_EQ(readFile(dir / "real/base.idx"), kWorkedIndex);
    struct stat index;
    ASSERT_EQ(stat((dir / "real/base.idx").c_str(), &index), 0);
    EXPECT_EQ(index.st_mode & 07777, 0640u);
    EXPECT_FALSE(fileExists(dir / "real/base.idx.tmp"));

    // A first index takes the database's permission bits, never its set-id
    // or sticky bits.
    chmod((dir / "base.ful").c_str(), 07750);
    ASSERT_EQ(unlink((dir / "base.idx").c_str()), 0);
    EXPECT_EQ(runProgram(DBINDEX_PATH, {"base"}, options).status, 0);
    ASSERT_EQ(stat((dir / "base.idx").c_str(), &index), 0);
    EXPECT_EQ(index.st_mode & 07777, 0750u);
}

TEST(DbindexProgram, HelpTouchesNothing)
{
    TempDir dir(kOwnersOnly);
    const RunResult result = runProgram(DBINDEX_PATH, {"base", "--help"}, in(dir));
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out.rfind("usage: dbindex [--quiet] NAME\n", 0), 0u);
    EXPECT_FALSE(fileExists(dir / "base.idx"));
    EXPECT_NE(result.out.find("  6  the .idx file could not be written"), std::string::npos);
    EXPECT_NE(result.out.find(" 10  started by root"), std::string::npos);
    EXPECT_FALSE(fileExists(dir / "--help.idx"));
    EXPECT_FALSE(fileExists(dir / "-.idx"));
}

// A full standard output fails the run; with --quiet, a failure shows what
// was held before its error, on one stream as cron mails them.
TEST(DbindexProgram, StandardOutputFailsOrKeepsItsOrder)
{
    TempDir dir(kOwnersOnly);
    writeFile(dir / "base.ful", kWorkedExample);
    const std::string command = "cd '" + dir.path() + "' && " + shellCommand(DBINDEX_PATH) + " base >/dev/full";
    const int raw = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(raw));
    EXPECT_EQ(WEXITSTATUS(raw), 7);
    const std::string both = "cd '" + dir.path() + "' && " + shellCommand(DBINDEX_PATH) +
                             " --quiet nosuch >" + (dir / "both") + " 2>&1";
    EXPECT_EQ(WEXITSTATUS(std::system(both.c_str())), 2);
    EXPECT_EQ(readFile(dir / "both"), kBanner + "*** Error : Enable to open NOSUCH.FUL\ndbindex: cannot open " +
                                          dir.path() + "/nosuch.ful: No such file or directory\n");
}

// What dbindex writes, --check accepts; a key line out of printable ASCII is
// shown escaped.
TEST(DbindexCheck, AcceptsWhatABuildWrites)
{
    TempDir dir(kOwnersOnly);
    writeFile(dir / "base.ful", "K\xE9y\t1\n" + std::string(70000, 'x') + "\n&&\nnext\n&&\n");
    const RunOptions options = in(dir);
    ASSERT_EQ(runProgram(DBINDEX_PATH, {"base"}, options).status, 0);
    EXPECT_EQ(runProgram(DBINDEX_PATH, {"--check", "base"}, options).status, 0);
    std::string index = readFile(dir / "base.idx");
    index[0] = 'X';
    writeFile(dir / "base.idx", index);
    const RunResult result = runProgram(DBINDEX_PATH, {"--check", "base"}, options);
    EXPECT_EQ(result.status, 8);
    EXPECT_NE(result.out.find("offset 0, key line \"K\\xE9y\\x091\""), std::string::npos) << result.out;

    const RunResult missing = runProgram(DBINDEX_PATH, {"--check", "other"}, options);
    EXPECT_EQ(missing.status, 2);
    writeFile(dir / "other.ful", "A\n");
    EXPECT_EQ(runProgram(DBINDEX_PATH, {"--check", "other"}, options).status, 3);
    EXPECT_FALSE(fileExists(dir / "other.idx"));
    ASSERT_EQ(mkfifo((dir / "other.idx").c_str(), 0644), 0);
    bool waited = false;
    EXPECT_EQ(runWithoutWaiting({"--check", "other"}, options, {dir / "other.idx"}, waited).status, 3);
    EXPECT_FALSE(waited);
    EXPECT_EQ(runProgram(DBINDEX_PATH, {"--check"}, options).status, 1);
}

}  // namespace
