// The four purge programs, run as programs in a temporary node tree with
// their clock frozen: what they keep, print, and exit with.
#include "programs_under_test.hpp"
#include "run_program.hpp"
#include "test_files.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// The node tree, with the runs of its tests.
struct Node : NodeTree {
    RunOptions at(time_t clock, const char* tz = "UTC") const
    {
        RunOptions options;
        options.directory = dir / "run";
        options.frozenClock = clock;
        options.tz = tz;
        return options;
    }
    // A run as nobody, to whom the data and mail directories then belong.
    RunOptions asNobody(time_t clock) const
    {
        if (geteuid() == 0) {
            EXPECT_EQ(chown(bin.c_str(), 65534, 65534), 0);
            EXPECT_EQ(chown(mail.c_str(), 65534, 65534), 0);
        }
        RunOptions options = at(clock);
        options.unprivileged = true;
        return options;
    }
};

const ProgramUnderTest& kKeldranTest = programUnderTest("KELDRAN");

std::string summary(const ProgramUnderTest& p, int left, int deleted)
{
    return std::string(p.name) + " completed : " + std::to_string(left) + " " + p.noun + " left, " +
           std::to_string(deleted) + " deleted.\n";
}

std::string creating(const ProgramUnderTest& p) { return std::string("Creating ") + p.backup + "\n"; }

// One old record, dropped by every limit used here, and one of today.
struct Planted {
    std::string old, today;
    Planted() = default;
    explicit Planted(const ProgramUnderTest& p) : old(p.record({2026, 1, 1}, 1)), today(p.record({2026, 12, 7}, 2)) {}
    std::string all() const { return old + today; }
};

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string dryRunLine(const std::string& program) { return program + ": a dry run: nothing will be changed\n"; }

// A dry run says what the real run says, between its own two lines, and
// ends with the same status.
void expectDryRunAlike(const RunResult& dry, const RunResult& real, const std::string& name,
                       const std::string& what)
{
    EXPECT_EQ(dry.status, real.status) << what;
    EXPECT_EQ(dry.out, dryRunLine(name) + real.out) << what;
    EXPECT_EQ(dry.err, real.err + name + ": a dry run: nothing was changed\n") << what;
}

struct AgeCase {
    const char* name;
    std::vector<Day> days;
    std::vector<bool> kept;
    std::vector<std::string> arguments;
    time_t clock;
    const char* tz = "UTC";
};

TEST(AgePurgePrograms, KeepRecordsYoungerThanTheLimit)
{
    const time_t dec7 = utcTime(2026, 12, 7);
    // 00:30 of 15 July by the Paris clock, in summer time: 22:30 UTC the day before.
    const time_t julyNight = utcTime(2026, 7, 14, 22, 30);
    const AgeCase cases[] = {
        {"exactly the limit is deleted", {{2026, 11, 7}, {2026, 11, 8}}, {false, true}, {"D=30"}, dec7},
        {"one second younger survives", {{2026, 11, 7}, {2026, 11, 8}}, {true, true}, {"D=30"}, dec7 - 1},
        {"default of 30 days", {{2026, 11, 7}, {2026, 11, 8}}, {false, true}, {}, dec7 + 43200},
        {"D=1 keeps today and later", {{2026, 12, 6}, {2026, 12, 7}, {2027, 1, 1}}, {false, true, true},
         {"D=1"}, dec7 + 86399},
        {"D=0 counts as 1", {{2026, 12, 6}, {2026, 12, 7}}, {false, true}, {"D=0", "x"}, dec7 + 5},
        {"later D= counts, d= too", {{2026, 12, 1}, {2026, 12, 2}}, {false, true}, {"D=1", "d=6"}, dec7},
        {"summer night: yesterday survives until 01:00", {{2026, 7, 14}, {2026, 7, 13}}, {true, false},
         {"D=1"}, julyNight, "Europe/Paris"},
        {"summer night: at 01:00 it is deleted", {{2026, 7, 14}}, {false}, {"D=1"}, julyNight + 1800,
         "Europe/Paris"},
        {"across a daylight-saving change", {{2026, 10, 20}, {2026, 10, 21}}, {false, true}, {"D=30"},
         utcTime(2026, 11, 18, 23), "Europe/Paris"},
        {"no overflow far beyond 24855 days", {{1980, 1, 1}, {2026, 12, 7}}, {true, true}, {"D=100000"}, dec7},
        {"after 2038: dated 2040 in 2039", {{2040, 1, 1}, {2039, 11, 16}, {2039, 11, 17}},
         {true, false, true}, {"D=30"}, utcTime(2039, 12, 16)},
        {"a data directory without its slash", {{2026, 10, 1}, {2026, 12, 7}}, {false, true},
         {"P=../system/bin"}, kTestNow},
        {"a data directory with its slash", {{2026, 10, 1}, {2026, 12, 7}}, {false, true},
         {"p=../system/bin/"}, kTestNow},
    };
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        if (p.mail)
            continue;
        for (const AgeCase& c : cases) {
            Node node;
            std::string records;
            std::string expected;
            int left = 0;
            for (size_t i = 0; i < c.days.size(); ++i) {
                const std::string record = p.record(c.days[i], static_cast<uint32_t>(i) + 5);
                records += record;
                if (c.kept[i]) {
                    expected += record;
                    ++left;
                }
            }
            // A trailing fragment is neither copied nor kept.
            writeFile(node.data(p.data), records + "frag");
            const RunResult result = runProgram(p.path, c.arguments, node.at(c.clock, c.tz));
            const std::string what = std::string(p.name) + ": " + c.name;
            EXPECT_EQ(result.status, 0) << what << result.err;
            EXPECT_EQ(result.out, creating(p) + summary(p, left, static_cast<int>(c.days.size()) - left))
                << what;
            EXPECT_TRUE(readFile(node.data(p.data)) == expected) << what;
            EXPECT_TRUE(readFile(node.data(p.backup)) == records) << what;
        }
    }
}

TEST(PurgePrograms, HelpAndDryRunChangeNothing)
{
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        Node node;
        const std::string records = Planted(p).all();
        writeFile(node.data(p.data), records);
        writeFile(node.message(1), "text");
        const RunResult help = runProgram(p.path, {std::string(1, p.limitLetter) + "=1", "--help"}, node.at(kTestNow));
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out.rfind(std::string("usage: ") + p.name, 0), 0u);
        EXPECT_NE(help.out.find("Exit status:"), std::string::npos);
        EXPECT_NE(help.out.find(".purging"), std::string::npos);
        // Its own statuses only: 13 is KELDRAN's.
        EXPECT_NE(help.out.find("\n 14  run as root"), std::string::npos);
        EXPECT_EQ(help.out.find("\n 13  ") != std::string::npos, p.mail) << p.name;
        if (p.mail) {
            EXPECT_NE(help.out.find("\n 13  the purge is complete, but some message files"), std::string::npos);
        }
        // --check's status comes after the kind's own, and its option is
        // listed, not put in the synopsis (that of a refusal too).
        EXPECT_LT(help.out.find("\n 14  run as root"), help.out.find("\n 15  with --check: damage was found"));
        EXPECT_NE(help.out.find("\n  --check               reads the data file"), std::string::npos);
        EXPECT_EQ(help.out.find("[--check]"), std::string::npos);

        // Each word of V's prints the version line.
        const RunResult dry = runProgram(p.path, {"--dry-run", "v", "Verbose"}, node.at(kTestNow));
        EXPECT_EQ(dry.status, 0);
        const std::string closing = p.mail ? "Deleting message #1 ...\nKELDRAN completed.\n" : summary(p, 1, 1);
        EXPECT_EQ(dry.out, dryRunLine(p.name) + p.version + p.version + creating(p) + closing) << p.name;
        EXPECT_TRUE(readFile(node.data(p.data)) == records);
        EXPECT_FALSE(fileExists(node.data(p.backup)));
        EXPECT_TRUE(fileExists(node.message(1))) << p.name;
    }
}

// --- KELDRAN ---------------------------------------------------------------

TEST(MailPurgeProgram, DropsAndRemovesTheMessageFiles)
{
    const time_t dec7 = utcTime(2026, 12, 7);
    struct Case {
        const char* name;
        std::vector<MailRecord> records;
        std::vector<bool> kept;
        std::vector<std::string> arguments;
        time_t clock;
        const char* tz = "UTC";
    };
    const std::string nov7 = dateText(2026, 11, 7);
    const Case cases[] = {
        {"exactly the limit stays", {{'B', 'N', 1, nov7, 0}}, {true}, {"B=30"}, dec7},
        {"a second more is dropped", {{'B', 'N', 1, nov7, 0}}, {false}, {"B=30"}, dec7 + 1},
        {"private by P=, others by B=",
         {{'P', 'N', 1, dateText(2026, 12, 1), 0}, {'p', 'N', 2, dateText(2026, 12, 1), 0},
          {'B', 'N', 3, dateText(2026, 12, 1), 0}},
         {false, true, true}, {"P=2", "b=9"}, dec7 + 3600},
        {"K goes, protected stays",
         {{'B', 'K', 4, dateText(2026, 12, 7), 0}, {'B', 'K', 5, dateText(2026, 12, 7), 1},
          {'B', 'N', 6, dateText(2000, 1, 1), 2}},
         {false, true, true}, {}, dec7 + 3600},
        {"limits below 1 count as 1", {{'B', 'N', 7, dateText(2026, 12, 6), 0}}, {false}, {"B=0", "P=-4"}, dec7 + 1},
        {"summer: standard midnight is 01:00", {{'B', 'N', 8, dateText(2026, 7, 14), 0}}, {true},
         {"B=1"}, utcTime(2026, 7, 14, 22, 59, 59), "Europe/Paris"},
        {"summer: a second after it", {{'B', 'N', 8, dateText(2026, 7, 14), 0}}, {false}, {"B=1"},
         utcTime(2026, 7, 14, 23, 0, 1), "Europe/Paris"},
        {"future date stays", {{'B', 'N', 9, dateText(2027, 6, 1), 0}}, {true}, {"B=1"}, dec7},
        {"numbers as signed 32 bits", {{'B', 'K', 2147483648u, nov7, 0}}, {false}, {}, dec7},
        {"after 2038: dated 2040 in 2039",
         {{'B', 'N', 10, dateText(2040, 1, 1), 0}, {'B', 'N', 11, dateText(2039, 11, 15), 0}},
         {true, false}, {"B=30"}, utcTime(2039, 12, 16)},
    };
    for (const Case& c : cases) {
        Node node;
        std::string records;
        std::string expected;
        std::string deleting;
        for (size_t i = 0; i < c.records.size(); ++i) {
            const std::string record = mailRecord(c.records[i]);
            records += record;
            writeFile(node.message(static_cast<int32_t>(c.records[i].number)), "text");
            if (c.kept[i])
                expected += record;
            else
                deleting += "Deleting message #" +
                            std::to_string(static_cast<int32_t>(c.records[i].number)) + " ...\n";
        }
        writeFile(node.data(kKeldranTest.data), records + "tail");
        const RunResult result = runProgram(kKeldranTest.path, c.arguments, node.at(c.clock, c.tz));
        EXPECT_EQ(result.status, 0) << c.name << result.err;
        EXPECT_EQ(result.out, creating(kKeldranTest) + deleting + "KELDRAN completed.\n") << c.name;
        EXPECT_TRUE(readFile(node.data(kKeldranTest.data)) == expected) << c.name;
        EXPECT_TRUE(readFile(node.data(kKeldranTest.backup)) == records) << c.name;
        for (size_t i = 0; i < c.records.size(); ++i)
            EXPECT_EQ(fileExists(node.message(static_cast<int32_t>(c.records[i].number))), c.kept[i]) << c.name;
    }
}

TEST(MailPurgeProgram, MailPrefixAsGiven)
{
    Node node;
    writeFile(node.data(kKeldranTest.data), mailRecord({'B', 'N', 42, dateText(2026, 1, 1), 0}));
    writeFile(node.message(42), "text");
    writeFile(node.dir / "mailm0000042.msg", "text");

    // M= is a prefix, used as given: without its slash it names another file.
    const RunResult run = runProgram(kKeldranTest.path, {"D=" + node.bin + "/", "M=" + node.mail}, node.at(kTestNow));
    EXPECT_EQ(run.status, 0);
    EXPECT_FALSE(fileExists(node.dir / "mailm0000042.msg"));
    EXPECT_TRUE(fileExists(node.message(42)));
    EXPECT_EQ(readFile(node.data(kKeldranTest.data)), "");
}

// A run that cannot open what it needs stops with the status of that open,
// which it names, with the path that the default led to; the data file and
// the message files stay, and a path that does not fit touches nothing.  A
// dry run, first in the same tree, checks what the real run would need and
// fails where it would.
TEST(PurgePrograms, FailedOpensAndTheirStatuses)
{
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        const std::string name = p.name;
        const std::string records = Planted(p).all();
        const struct {
            const char* name;
            std::function<void(const Node&)> prepare;
            bool asNobody;
            int status;
            const char* open;  // how the program names the failed open
            const char* file;  // that it tried
            const char* error;
            bool backupMade;
        } cases[] = {
            {"missing data file", [&](const Node& n) { unlink(n.data(p.data).c_str()); }, false, 1, p.opens[0],
             p.data, "No such file or directory", false},
            {"the backup cannot be created", [](const Node& n) { chmod(n.bin.c_str(), 0555); }, true, 2,
             p.opens[1], p.backup, "Permission denied", false},
            {"the data file cannot be written", [&](const Node& n) { chmod(n.data(p.data).c_str(), 0444); },
             true, 3, p.opens[2], p.data, "Permission denied", true},
            {"a backup reached through a link",
             [&](const Node& n) { ASSERT_EQ(symlink("/dev/full", n.data(p.backup).c_str()), 0); }, false, 2,
             p.opens[1], p.backup, "Too many levels of symbolic links", false},
        };
        for (const auto& c : cases) {
            Node node;
            writeFile(node.data(p.data), records);
            writeFile(node.message(1), "text");
            c.prepare(node);
            const RunOptions options = c.asNobody ? node.asNobody(kTestNow) : node.at(kTestNow);
            const RunResult dry = runProgram(p.path, {"--dry-run"}, options);
            const std::string what = name + ": " + c.name;
            const RunResult result = runProgram(p.path, {}, options);
            chmod(node.bin.c_str(), 0755);
            EXPECT_EQ(result.status, c.status) << what;
            EXPECT_EQ(result.err, name + " -> fopen in MAIN (" + c.open + "): " + c.error + "\n" + name + ": " +
                                      node.dir.path() + "/run/../system/bin/" + c.file + ": " + c.error + "\n")
                << what;
            EXPECT_EQ(result.out, c.backupMade ? creating(p) : "") << what;
            expectDryRunAlike(dry, result, name, what);
            if (c.status != 1) {
                EXPECT_TRUE(readFile(node.data(p.data)) == records) << what;
            } else {
                EXPECT_FALSE(fileExists(node.data(p.backup))) << what;
            }
            if (c.backupMade) {
                EXPECT_TRUE(readFile(node.data(p.backup)) == records) << what;
            }
            EXPECT_TRUE(fileExists(node.message(1))) << what;
        }
        Node node;
        writeFile(node.data(p.data), records);
        std::vector<std::vector<std::string>> tooLong = {{p.directoryLetter + std::string("=") + std::string(250, 'd')}};
        // The mail prefix must leave room for the longest message file name.
        if (p.mail)
            tooLong.push_back({"D=" + node.bin, "M=/" + std::string(240, 'm')});
        for (const std::vector<std::string>& words : tooLong) {
            const RunResult result = runProgram(p.path, words, node.at(kTestNow));
            EXPECT_EQ(result.status, 4) << name;
            EXPECT_EQ(result.err.rfind(name + ": path too long", 0), 0u) << result.err;
            EXPECT_TRUE(readFile(node.data(p.data)) == records) << name;
            EXPECT_FALSE(fileExists(node.data(p.backup))) << name;
        }
    }
}

// --- what an operator meets: mistakes, --quiet, --verbose, dry runs --------

// A mistyped option, a word with a single dash and a limit that is not a
// whole number are refused before anything is touched; a limit below 1
// counts as 1 and a bare word that fits no option is ignored, each with a
// note, and the purge runs as before.
TEST(OperatorUse, MistakesAreRefusedOrNoted)
{
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        const std::string name = p.name;
        const std::string limit(1, p.limitLetter);
        const std::string unknown = name + ": unknown option ";
        const auto notALimit = [&](const std::string& argument) {
            return name + ": '" + argument +
                   "' is not a limit in days (a whole number up to 2147483647): nothing was touched\nusage: ";
        };
        const struct {
            std::vector<std::string> arguments;
            int status;
            bool purged;
            std::string err;
        } cases[] = {
            {{"--dryrun"}, 12, false, unknown + "--dryrun: nothing was touched\nusage: "},
            {{"D=5", "--lease-wait=soon"}, 12, false, name + ": --lease-wait=soon: a wait is a number of seconds"},
            {{"--version"}, 0, false, ""},
            {{"help", "-n"}, 12, false, unknown + "-n: nothing was touched\nusage: "},
            {{"-h"}, 12, false, unknown + "-h: nothing was touched\nusage: "},
            {{"-dry-run"}, 12, false, unknown + "-dry-run: nothing was touched\nusage: "},
            {{limit + "=3O"}, 12, false, notALimit(limit + "=3O")},
            {{limit + "="}, 12, false, notALimit(limit + "=")},
            {{"--dry-run", "V", limit + "=/srv/kavex/system/bin"}, 12, false,
             notALimit(limit + "=/srv/kavex/system/bin")},
            {{limit + "=-5"}, 0, true, name + ": " + limit + "=-5 is below 1 day: 1 is used\n"},
            {{"help"}, 0, true, name + ": argument 'help' ignored\n"},
        };
        for (const auto& c : cases) {
            Node node;
            const Planted planted(p);
            writeFile(node.data(p.data), planted.all());
            const RunResult result = runProgram(p.path, c.arguments, node.at(kTestNow));
            const std::string what = name + " " + c.arguments.back();
            EXPECT_EQ(result.status, c.status) << what << result.err;
            EXPECT_TRUE(readFile(node.data(p.data)) == (c.purged ? planted.today : planted.all())) << what;
            EXPECT_EQ(fileExists(node.data(p.backup)), c.purged) << what;
            EXPECT_EQ(result.err.rfind(c.err, 0), 0u) << what << ": " << result.err;
            if (c.arguments[0] == "--version") {
                EXPECT_EQ(result.out, p.version);
            }
        }
    }
}

// --quiet prints nothing on success and reports a failure as always;
// --verbose shows each dropped record before the closing line; the backup
// takes the data file's mode.
TEST(OperatorUse, QuietVerboseAndTheBackupsMode)
{
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        const Planted planted(p);
        {
            Node node;
            writeFile(node.data(p.data), planted.all());
            chmod(node.data(p.data).c_str(), 0600);
            writeFile(node.data(p.backup), "an older backup");
            chmod(node.data(p.backup).c_str(), 0644);
            const RunResult quiet = runProgram(p.path, {"--quiet", "V"}, node.at(kTestNow));
            EXPECT_EQ(quiet.status, 0) << p.name << quiet.err;
            EXPECT_EQ(quiet.out, "") << p.name;
            EXPECT_EQ(quiet.err, "") << p.name;
            struct stat backup;
            ASSERT_EQ(stat(node.data(p.backup).c_str(), &backup), 0);
            EXPECT_EQ(backup.st_mode & 07777, 0600u) << p.name;
            EXPECT_TRUE(readFile(node.data(p.backup)) == planted.all()) << p.name << ": the older backup replaced";
            unlink(node.data(p.data).c_str());
            const RunResult failed = runProgram(p.path, {"--quiet"}, node.at(kTestNow));
            EXPECT_EQ(failed.status, 1);
            EXPECT_EQ(failed.err.rfind(std::string(p.name) + " -> fopen in MAIN (f", 0), 0u) << failed.err;
        }
        Node node;
        writeFile(node.data(p.data), planted.all());
        const RunResult verbose = runProgram(p.path, {"--verbose"}, node.at(kTestNow));
        EXPECT_EQ(verbose.status, 0) << p.name << verbose.err;
        // The oldest date that stays, for each limit, before the first record;
        // then the dropped record's date, the fields that tell it, and why it goes.
        const std::string head =
            creating(p) +
            (p.mail ? "Cut-off: private mail dated 8-Nov-2026 or later stays (P=30), other mail dated "
                      "8-Nov-2026 or later (B=30)\nDeleting message #1 ...\n"
                    : "Cut-off: records dated 8-Nov-2026 or later stay (D=30)\n") + " 1-Jan-2026 ";
        const std::string tail = p.mail ? "  (340 days old, limit B=30)\nKELDRAN completed.\n"
                                        : "  (340 days old, limit 30)\n" + summary(p, 1, 1);
        const std::string& out = verbose.out;
        EXPECT_EQ(out.rfind(head, 0), 0u) << p.name << ": " << out;
        EXPECT_TRUE(out.size() > head.size() + tail.size() && out.ends_with(tail)) << p.name << ": " << out;
        EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), p.mail ? 5 : 4) << p.name << ": " << out;
    }
}

// --check names each planted fault with its place (the record's number and
// offset, or the file), the first of each kind without --verbose and every
// one with it, and says on standard error that damage was found (status
// 15); on a sound tree it says so (status 0).  It never changes a byte of
// the tree, and never waits on a FIFO.
TEST(OperatorUse, CheckNamesEachPlantedFault)
{
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        const Planted planted(p);
        const std::string bin = "../system/bin/";
        const std::string data = bin + p.data;
        const auto at = [&](int number) {
            return data + ": record " + std::to_string(number) + " at byte " +
                   std::to_string((number - 1) * static_cast<int>(p.recordSize)) + ": ";
        };
        const std::string zero(p.recordSize, '\0');
        // A record with a date that is no date: 31 February, or a packed month index 13.
        std::string noDate = p.record({2026, 12, 1}, 3);
        const bool textDate = noDate.compare(p.dateOffset, 11, dateText(2026, 12, 1), 0, 11) == 0;
        if (textDate)
            noDate.replace(p.dateOffset, 12, std::string("31-Fev-2026", 12));
        else
            noDate[p.dateOffset] = static_cast<char>(noDate[p.dateOffset] | 0xA0);  // month 13 (or more)
        const auto append = [&](const std::string& bytes) {
            return [&, bytes](const Node& n) { writeFile(n.data(p.data), planted.all() + bytes); };
        };
        const auto put = [&](const char* file, const std::string& bytes) {
            return [&, file, bytes](const Node& n) { writeFile(n.data(file), bytes); };
        };
        const auto fifo = [&](const char* file) {
            return [&, file](const Node& n) { ASSERT_EQ(mkfifo(n.data(file).c_str(), 0644), 0); };
        };
        const struct {
            const char* name;
            std::function<void(const Node&)> plant;
            std::vector<std::string> found;  // each with --verbose, the first without
            std::string more = "";           // without --verbose, after the first
            bool mailOnly = false;
        } cases[] = {
            {"a sound tree", [](const Node&) {}, {data + ": 2 records of " + std::to_string(p.recordSize) + " bytes\n"}},
            {"zero-filled records", append(zero + zero), {at(3) + "all zero, no date", at(4) + "all zero"},
             "  and 1 more record all zero (--verbose lists every one)\n"},
            {"a torn part-record", append(std::string(40, 'x')), {at(3) + "a part-record of 40 bytes"}},
            {"a date that is no date", append(noDate),
             {at(3) + (textDate ? "date text \"31-Fev-2026\" is no day of the calendar"
                                : "packed date-time 0x")}},
            {"dated years ahead", append(p.record({2031, 1, 5}, 3)), {at(3) + "dated more than a day ahead of the clock"}},
            {"a torn backup", put(p.backup, planted.all() + "torn"),
             {bin + p.backup + ": 2 records of " + std::to_string(p.recordSize) + " bytes and a part-record of 4 bytes"}},
            {"a FIFO at the backup", fifo(p.backup), {bin + p.backup + ": a FIFO, not a regular file"}},
            {"a mark left empty", put(p.mark, std::string(64, '\0')),
             {bin + p.mark + ": marks an interrupted run that stopped before it changed"}},
            {"a torn mark", put(p.mark, std::string(p.name) + " is rewriting"),
             {bin + p.mark + ": the next run stops there with status 8, saying: " + bin + p.mark + " cannot be read"}},
            {"a FIFO at the mark", fifo(p.mark), {bin + p.mark + ": the next run stops there with status 8"}},
            {"a message file that no record names", [](const Node& n) { writeFile(n.message(777), "text"); },
             {"../mail/" + messageName(777) + ": no record names this message file"}, "", true},
            {"a message file that is missing", [](const Node& n) { unlink(n.message(2).c_str()); },
             {at(2) + "the file of message #2, ../mail/" + messageName(2) + ", is missing"}, "", true},
        };
        for (const auto& c : cases) {
            if (c.mailOnly && !p.mail)
                continue;
            Node node;
            writeFile(node.data(p.data), planted.all());
            for (uint32_t number : {1u, 2u})
                writeFile(node.message(number), "text");
            c.plant(node);
            const std::string tree = describeTree(node.dir.path());
            RunOptions options = node.at(kTestNow);
            options.timeoutSeconds = 20;
            const std::string what = std::string(p.name) + ": " + c.name;
            const bool sound = &c == &cases[0];  // the sound tree
            for (const bool verbose : {false, true}) {
                const RunResult result =
                    runProgram(p.path, verbose ? std::vector<std::string>{"--check", "--verbose"}
                                               : std::vector<std::string>{"--check"}, options);
                const std::string said = what + (verbose ? " --verbose\n" : "\n") + result.out + result.err;
                EXPECT_EQ(result.status, sound ? 0 : 15) << said;
                EXPECT_EQ(describeTree(node.dir.path()), tree) << said;
                for (size_t i = 0; i < c.found.size(); ++i)
                    EXPECT_EQ(contains(result.out, c.found[i]), verbose || i == 0) << c.found[i] << "\n" << said;
                EXPECT_EQ(!c.more.empty() && contains(result.out, c.more), !c.more.empty() && !verbose) << said;
                EXPECT_TRUE(contains(result.out, std::string(p.name) + (sound ? ": no damage found\n" : ": damage found: ")))
                    << said;
                if (sound) {
                    EXPECT_EQ(result.err, "") << said;
                } else {
                    EXPECT_EQ(result.err.rfind(std::string(p.name) + ": the check found damage beside " + data, 0), 0u)
                        << said;
                }
            }
        }
    }
}

// A message file that cannot be removed is named, the purge completes, and
// the status says that files remain; a mail directory that does not exist is
// named once, and its files pass as missing ones do.  A dry run says so
// beforehand, in the same words and with the same status.
TEST(OperatorUse, MessageFilesThatCannotBeRemoved)
{
    const struct {
        const char* name;
        const char* mail;
        int status;
        std::string err;
    } cases[] = {
        {"a mail directory closed to the user", "M=../mail/", 13,
         "KELDRAN: cannot remove ../mail/m0000042.msg: Permission denied\n"},
        {"no mail directory", "M=../nomail/", 0,
         "KELDRAN: the mail directory ../nomail/ does not exist: no message file to remove\n"},
    };
    for (const auto& c : cases) {
        Node node;
        const std::string records = mailRecord({'B', 'K', 42, dateText(2026, 12, 1), 0});
        writeFile(node.data(kKeldranTest.data), records);
        writeFile(node.message(42), "text");
        chmod(node.mail.c_str(), 0555);
        const RunOptions options = node.asNobody(kTestNow);
        // Its owner's, so that the run gets its lease.
        EXPECT_TRUE(geteuid() != 0 || chown(node.data(kKeldranTest.data).c_str(), 65534, 65534) == 0);
        const RunResult dry = runProgram(kKeldranTest.path, {"--dry-run", c.mail}, options);
        EXPECT_TRUE(readFile(node.data(kKeldranTest.data)) == records) << c.name;
        const RunResult real = runProgram(kKeldranTest.path, {c.mail}, options);
        chmod(node.mail.c_str(), 0755);
        EXPECT_EQ(real.status, c.status) << c.name << real.err;
        EXPECT_EQ(real.err, c.err) << c.name;
        EXPECT_EQ(real.out, creating(kKeldranTest) + "Deleting message #42 ...\nKELDRAN completed.\n");
        expectDryRunAlike(dry, real, "KELDRAN", c.name);
        EXPECT_TRUE(fileExists(node.message(42)));
        EXPECT_EQ(readFile(node.data(kKeldranTest.data)), "");
    }
}

// --- a run as root ----------------------------------------------------------

// A program that root starts in a tree that nobody owns: a purge, or
// dbindex on a database in the data directory.  Its files by their part in
// a run: the one it reads, the one it writes, and the one it works in.
struct RootTarget {
    const ProgramUnderTest* purge;  // null for dbindex
    std::string name, path, data, written, working;
};

std::vector<RootTarget> rootTargets()
{
    std::vector<RootTarget> targets;
    for (const ProgramUnderTest& p : kProgramsUnderTest)
        targets.push_back({&p, p.name, p.path, p.data, p.backup, p.mark});
    targets.push_back({nullptr, "dbindex", DBINDEX_PATH, "base.ful", "base.idx", "base.idx.tmp"});
    return targets;
}

// Started by root in a tree that nobody owns, a program works as nobody:
// what it creates belongs to nobody, without a set-id bit, nobody's next
// run works, and a dry run reads no more than nobody may.  A directory that
// its group or others can write, or a mail directory of another owner, is
// refused, touching nothing.  Whatever nobody planted in the tree, nothing
// outside it changes (a root-only directory beside the tree, holding a file
// that stands for /etc/shadow), and no run waits on a FIFO.  Run by nobody
// on a file of root's, a purge gets no lease, says so, and purges.
TEST(RunAsRoot, WorksAsTheOwnerOrRefuses)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root: runs as root in a tree that nobody (uid 65534) owns";
    TempDir secret(0700);
    const std::string shadow = secret / "shadow";
    writeFile(shadow, "root:secret\n");
    ASSERT_EQ(chmod(shadow.c_str(), 0600), 0);
    const std::string outside = describeTree(secret.path());
    // What nobody plants in the tree is nobody's.
    const auto nobodys = [](const std::string& path) { EXPECT_EQ(lchown(path.c_str(), 65534, 65534), 0); };
    const auto fifo = [&](const std::string& path) {
        unlink(path.c_str());
        ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
        nobodys(path);
    };
    const auto link = [&](const std::string& target, const std::string& path) {
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
        nobodys(path);
    };
    const auto text = [&](const std::string& path, const std::string& bytes) {
        writeFile(path, bytes);
        nobodys(path);
    };
    constexpr int kNotRun = -1;
    for (const RootTarget& t : rootTargets()) {
        const std::string name = t.name;
        const bool mail = t.purge && t.purge->mail;
        const std::string refused = name + ": refusing to run as root: ";
        const std::string failedOpen = name + " -> fopen in MAIN (f";
        // "@" stands for the data directory as dbindex names it.
        const std::string bin = t.purge ? "../system/bin/" : "@/";
        const std::string badMark = name + ": " + bin + t.working + " ";
        const std::string cannotOpen = name + ": cannot open " + bin;
        const std::string limit = t.purge ? std::string(1, t.purge->limitLetter) + "=" : "";
        const struct {
            const char* name;
            std::function<void(const Node&)> prepare;
            std::vector<std::string> arguments;
            int status;       // of a purge
            std::string err;  // how its standard error begins
            int indexStatus;  // of dbindex, or kNotRun
            std::string indexErr;
            bool asNobody = false;
        } cases[] = {
            {"the owner's identity", [](const Node&) {}, {}, 0, "", 0, ""},
            {"a group-writable directory", [](const Node& n) { chmod(n.bin.c_str(), 0775); }, {}, 14,
             refused + "../system/bin belongs to nobody (uid 65534) and its group or others can write it", 10,
             refused + "@ belongs to nobody"},
            {"a mail directory open to others", [](const Node& n) { chmod(n.mail.c_str(), 0757); }, {},
             mail ? 14 : 0, mail ? refused + "../mail/ belongs to nobody (uid 65534) and its group" : "",
             kNotRun, ""},
            {"a mail directory of root", [](const Node& n) { EXPECT_EQ(chown(n.mail.c_str(), 0, 0), 0); }, {},
             mail ? 14 : 0, mail ? refused + "../mail/ belongs to root (uid 0), not to nobody (uid 65534)" : "",
             kNotRun, ""},
            {"a mail directory linked to root's",
             [&](const Node& n) {
                 const std::string real = n.dir / "mail.real";
                 ASSERT_EQ(rename(n.mail.c_str(), real.c_str()), 0);
                 link(secret.path(), n.mail);
             },
             {}, mail ? 14 : 0, mail ? refused + "../mail/ belongs to root (uid 0)" : "", kNotRun, ""},
            {"a dry run reads as nobody",
             [&](const Node& n) {
                 EXPECT_EQ(chown(n.data(t.data).c_str(), 0, 0) | chmod(n.data(t.data).c_str(), 0600), 0);
             },
             {"--dry-run"}, 1, failedOpen, kNotRun, ""},
            {"a missing directory", [](const Node&) {},
             {std::string(1, t.purge ? t.purge->directoryLetter : '-') + "=none"}, 1, failedOpen, kNotRun, ""},
            {"a set-id data file", [&](const Node& n) { ASSERT_EQ(chmod(n.data(t.data).c_str(), 06755), 0); }, {},
             0, "", 0, ""},
            {"a link at the written file to a root-only file",
             [&](const Node& n) { link(shadow, n.data(t.written)); }, {}, 2, failedOpen, 3,
             cannotOpen + t.written + ": Permission denied\n"},
            {"a link at the working file into a root-only directory",
             [&](const Node& n) { link(secret / "made", n.data(t.working)); }, {}, 8,
             badMark + "is a symbolic link", 3, cannotOpen + t.working + ": a symbolic link, not a regular file"},
            {"a FIFO at the data file", [&](const Node& n) { fifo(n.data(t.data)); }, {}, 1,
             name + ": " + bin + t.data + " is a FIFO", 2, cannotOpen + t.data + ": a FIFO, not a regular file"},
            {"a FIFO at the data file, in a dry run", [&](const Node& n) { fifo(n.data(t.data)); },
             {"--dry-run"}, 1, name + ": " + bin + t.data + " is a FIFO", kNotRun, ""},
            {"a FIFO at the data file, in a check", [&](const Node& n) { fifo(n.data(t.data)); }, {"--check"}, 1,
             name + ": " + bin + t.data + " is a FIFO", kNotRun, ""},
            {"a link at the working file, in a check", [&](const Node& n) { link(secret / "made", n.data(t.working)); },
             {"--check"}, 15, name + ": the check found damage beside " + bin + t.data, kNotRun, ""},
            {"a FIFO at the written file", [&](const Node& n) { fifo(n.data(t.written)); }, {}, 2,
             name + ": " + bin + t.written + " is a FIFO", 3,
             cannotOpen + t.written + ": a FIFO, not a regular file"},
            {"a FIFO at the working file", [&](const Node& n) { fifo(n.data(t.working)); }, {}, 8,
             badMark + "is a FIFO", 3, cannotOpen + t.working + ": a FIFO, not a regular file"},
            {"a torn mark",
             [&](const Node& n) { text(n.data(t.working), name + " is rewriting a from b\nformat 3\nbackup 2"); },
             {}, 8, badMark + "cannot be read as a mark", kNotRun, ""},
            {"a mark of zero bytes", [&](const Node& n) { text(n.data(t.working), std::string(200, '\0')); }, {},
             0, "", kNotRun, ""},
            {"run by nobody on a file of root's, without the lease",
             [&](const Node& n) {
                 EXPECT_EQ(chown(n.data(t.data).c_str(), 0, 0) | chmod(n.data(t.data).c_str(), 0666), 0);
             },
             {}, 0, name + ": no lease on " + bin + t.data + " (", kNotRun, "", true},
        };
        for (const auto& c : cases) {
            const int status = t.purge ? c.status : c.indexStatus;
            if (status == kNotRun)
                continue;
            Node node;
            const auto inTree = [&](std::string said) {
                if (const size_t at = said.find('@'); at != std::string::npos)
                    said.replace(at, 1, node.bin);
                return said;
            };
            const std::string database = "Alpha\nfirst line\n&&\nBravo\nsecond\n&&\n";
            const Planted planted = t.purge ? Planted(*t.purge) : Planted{};
            writeFile(node.data(t.data), t.purge ? planted.all() : database);
            writeFile(node.message(1), "text");
            for (const std::string& path : {node.bin, node.mail, node.data(t.data), node.message(1)})
                nobodys(path);
            c.prepare(node);
            const std::string tree = describeTree(node.dir.path());
            const auto options = [&](bool asNobody) {
                RunOptions run = asNobody ? node.asNobody(kTestNow) : node.at(kTestNow);
                if (!t.purge)
                    run.directory = node.bin;
                run.timeoutSeconds = 20;
                return run;
            };
            const std::vector<std::string> arguments = t.purge ? c.arguments : std::vector<std::string>{"base"};
            const RunResult result = runProgram(t.path, arguments, options(c.asNobody));
            const std::string what = name + ": " + c.name;
            const std::string err = inTree(t.purge ? c.err : c.indexErr);
            EXPECT_FALSE(result.timedOut) << what;
            EXPECT_EQ(result.status, status) << what << result.err;
            EXPECT_EQ(result.err.rfind(err, 0), 0u) << what << ": " << result.err;
            EXPECT_EQ(describeTree(secret.path()), outside) << what;
            if (status != 0) {
                EXPECT_EQ(describeTree(node.dir.path()), tree) << what;
                continue;
            }
            struct stat data = {};
            struct stat written = {};
            ASSERT_EQ(stat(node.data(t.data).c_str(), &data), 0) << what;
            ASSERT_EQ(stat(node.data(t.written).c_str(), &written), 0) << what;
            EXPECT_EQ(written.st_uid, 65534u) << what;
            EXPECT_EQ(written.st_mode & 07777, data.st_mode & 0777)
                << what << ": the data file's mode, without a set-id bit";
            EXPECT_FALSE(fileExists(node.data(t.working))) << what;
            const std::string index = readFile(node.data(t.written));
            EXPECT_EQ(runProgram(t.path, arguments, options(true)).status, 0) << what << ": the owner's next run";
            if (t.purge) {
                EXPECT_TRUE(readFile(node.data(t.data)) == planted.today) << what;
            } else {
                EXPECT_EQ(readFile(node.data(t.written)), index) << what;
            }
        }
    }
}

}  // namespace
