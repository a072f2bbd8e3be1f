// A power cut at any instant of a run loses nothing and doubles nothing.
// Each program runs once, in this process, on a small node tree, through a
// FileIo that records its calls; from the record, every tree that a power
// cut after any call can leave is built (power_cut.hpp), and the real
// program runs again there with the same clock.  It must then end where one
// uninterrupted run ends.
#include "dbindex_run.hpp"
#include "purge_run.hpp"
#include "power_cut.hpp"
#include "programs_under_test.hpp"
#include "records.hpp"
#include "run_program.hpp"
#include "test_files.hpp"
#include "test_emulator.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The n-th record of a program's file, days old; the mail is private or
// not, some of it killed, and has its message file where n % 4 == 0.
std::string recordOf(const ProgramUnderTest& p, int days, uint32_t n)
{
    const Day day = dayBefore(kTestNow, days);
    if (p.mail)
        return mailRecord({n % 2 ? 'P' : 'B', n % 20 == 7 ? 'K' : 'N', n, dateText(day), 0});
    return p.record(day, n);
}

struct Program {
    std::string name;
    const char* binary;
    std::string data;    // the file it reads, and a purge rewrites
    std::string result;  // the file it rewrites: the data file, or the index
    std::string backup;
    int count;  // records, oldest first: half of them past the limit of 20 days
    std::vector<std::string> arguments;
    std::function<int(FileIo&)> run;  // the run in this process, in the tree
    const ProgramUnderTest* purge;    // null for dbindex
};
// The runs in this process take their paths from the current directory:
// run there, then come back.
template <typename Run>
auto inDirectory(const std::string& directory, Run run)
{
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(directory);
    const auto result = run();
    std::filesystem::current_path(previous);
    return result;
}

int runIndex(FileIo& io)
{
    char program[] = "dbindex";
    char quiet[] = "--quiet";
    char name[] = "bin/callbook";
    char* argv[] = {program, quiet, name, nullptr};
    return runDbindex(3, argv, io);
}

// Each purge on its files in bin/, and dbindex on a call book there.
std::vector<Program> programs()
{
    std::vector<Program> all;
    for (const ProgramUnderTest& p : kProgramsUnderTest) {
        // A spot file of 25 KB; fewer mails, as some have message files.
        const int count = p.mail ? 80 : static_cast<int>(25600 / p.recordSize);
        const std::string data = std::string("bin/") + p.data;
        const std::vector<std::string> arguments =
            p.mail ? std::vector<std::string>{"D=bin", "M=mail/", "B=20", "P=20"}
                   : std::vector<std::string>{"P=bin", "D=20"};
        all.push_back({p.name, p.path, data, data, std::string("bin/") + p.backup, count, arguments,
                       [&p, arguments](FileIo& io) {
                           std::vector<std::string> words = arguments;
                           words.insert(words.end(), {"--lease-wait=0.2", "--lock-wait=1"});
                           return runInProcess(p, words, io, testClock).status;
                       }, &p});
    }
    all.push_back({"dbindex", DBINDEX_PATH, "bin/callbook.ful", "bin/callbook.idx", "", 400,
                   {"--quiet", "bin/callbook"}, runIndex, nullptr});
    return all;
}

// When the node appends a record of its own: never, just before or just
// after the data file's sync once the lease is gone (not synced), or once
// the power is back, before the program runs again.
enum class NodeAppends { Never, BeforeTheSync, AfterTheSync, OnceThePowerIsBack };

struct Scenario {
    const char* name;
    NodeAppends node;
};

const Scenario kScenarios[] = {
    {"alone", NodeAppends::Never},
    {"the node appends before the sync", NodeAppends::BeforeTheSync},
    {"the node appends after the sync", NodeAppends::AfterTheSync},
    {"the node appends once the power is back", NodeAppends::OnceThePowerIsBack},
};

// The tree before the run, and what one uninterrupted run makes of it.
struct Expected {
    FileTree before;
    std::string result;  // the data file that one run keeps, or the new index
    std::string fresh;   // the node's record
    std::set<std::string> messagesKept;
    std::set<std::string> messagesDropped;
};

// A call book of count records, the later ones longer in the second version.
std::string callBook(int count, int version)
{
    std::string text;
    for (int i = 0; i < count; ++i)
        text += "CALL" + std::to_string(i) + "\n" + std::string(static_cast<size_t>(20 + i % 7 + version * (i % 3)), 'b') + "\n&&\n";
    return text;
}

// The index of the first version, as a run made it before.
std::string oldIndex(const Program& p)
{
    TempDir dir(0755);
    mkdir((dir / "bin").c_str(), 0755);
    writeFile(dir / p.data, callBook(p.count, 0));
    EXPECT_EQ(runProgram(p.binary, p.arguments, {.directory = dir.path()}).status, 0);
    return readFile(dir / p.result);
}

Expected plant(const Program& p)
{
    Expected e;
    if (!p.purge) {
        e.before[p.result] = oldIndex(p);
        e.before[p.data] = callBook(p.count, 1);
        e.before[p.result + ".tmp"] = "the part of an index that a killed run left";
        return e;
    }
    std::string data;
    for (int i = 0; i < p.count; ++i) {
        const int days = 40 - 40 * i / p.count;  // oldest first
        const auto n = static_cast<uint32_t>(i);
        data += recordOf(*p.purge, days, n);
        const bool dropped = days >= 20 || (p.purge->mail && n % 20 == 7);
        if (!p.purge->mail || n % 4 != 0)
            continue;
        const std::string message = "mail/" + messageName(static_cast<int32_t>(n));
        e.before[message] = "text";
        (dropped ? e.messagesDropped : e.messagesKept).insert(message);
    }
    e.before[p.data] = data;
    e.fresh = recordOf(*p.purge, 0, 900000);
    return e;
}

// The node's record as a cut may leave it: whole, or with bytes zeroed.
bool tornOf(const std::string& bytes, const std::string& record)
{
    return bytes.size() == record.size() &&
           std::equal(bytes.begin(), bytes.end(), record.begin(), [](char b, char r) { return b == r || b == '\0'; });
}

// The file is start followed by nothing, or by the node's record.
bool startsWithThenNode(const std::string& file, const std::string& start, const std::string& fresh)
{
    return file.starts_with(start) && (file.size() == start.size() || tornOf(file.substr(start.size()), fresh));
}

// What is wrong with the files of a purge that ran again after a cut.
void checkPurge(const Program& p, const Expected& e, const FileTree& after, NodeAppends node,
                std::vector<std::string>& wrong)
{
    const std::string data = after.count(p.data) ? after.at(p.data) : "(none)";
    const std::string backup = after.count(p.backup) ? after.at(p.backup) : "(none)";
    if (!startsWithThenNode(data, e.result, e.fresh) ||
        (node == NodeAppends::OnceThePowerIsBack && data != e.result + e.fresh))
        wrong.push_back("the data file is not what one run keeps (" + std::to_string(data.size()) +
                        " bytes, " + std::to_string(e.result.size()) + " kept)");
    if (!startsWithThenNode(backup, e.result, e.fresh) &&
        !startsWithThenNode(backup, e.before.at(p.data), e.fresh))
        wrong.push_back("the backup is not a copy of the data file");
    for (const std::string& message : e.messagesKept)
        if (!after.count(message))
            wrong.push_back(message + " of kept mail is gone");
    for (const std::string& message : e.messagesDropped)
        if (after.count(message))
            wrong.push_back(message + " of dropped mail is there");
}

// The index that a cut left is the old one or the new one, whole; the run
// again leaves the new one and no temporary file.
void checkIndex(const Program& p, const Expected& e, const FileTree& cut, const FileTree& after,
                std::vector<std::string>& wrong)
{
    const std::string index = cut.count(p.result) ? cut.at(p.result) : "(none)";
    if (index != e.before.at(p.result) && index != e.result)
        wrong.push_back("the cut left an index that is neither the old one nor the new one");
    if (!after.count(p.result) || after.at(p.result) != e.result)
        wrong.push_back("the index is not the new one");
}

struct Count {
    size_t states = 0;
    size_t violations = 0;
    size_t completed = 0;  // reruns that completed an interrupted rewrite
    size_t restored = 0;   // and that restored the data file, its truncation lost
    size_t forgotten = 0;  // and that found the data file untouched, and removed the mark
};

// The checks on one tree that a cut left, once the program ran again there.
void checkRerun(const Program& p, const Expected& e, const FileTree& cut, NodeAppends node,
                Count& count)
{
    TempDir dir(0755);
    FileTree state = cut;
    if (node == NodeAppends::OnceThePowerIsBack)
        state[p.data] += e.fresh;
    writeTree(dir.path(), state);
    for (const char* directory : {"bin", "mail"})
        mkdir((dir / directory).c_str(), 0755);  // where a cut left it empty
    std::vector<std::string> wrong;
    const RunOptions options = {.directory = dir.path(), .frozenClock = kTestNow};
    // A check first, in this process, in every other state: it changes
    // nothing, and tells the way that the rerun takes.
    std::string check;
    const bool checked = p.purge && count.states % 2 == 0;
    if (checked) {
        std::vector<std::string> checking = p.arguments;
        checking.push_back("--check");
        const FileTree before = readTree(dir.path());
        FileIo disk;
        check = inDirectory(dir.path(), [&] { return runInProcess(*p.purge, checking, disk, testClock).out; });
        if (readTree(dir.path()) != before)
            wrong.push_back("the check changed the tree");
    }
    const RunResult rerun = runProgram(p.binary, p.arguments, options);
    const FileTree after = readTree(dir.path());
    if (rerun.status != 0)
        wrong.push_back("status " + std::to_string(rerun.status) + ": " + rerun.err);
    if (p.purge)
        checkPurge(p, e, after, node, wrong);
    else
        checkIndex(p, e, cut, after, wrong);
    for (const auto& [path, bytes] : after)
        if (path.ends_with(".purging") || path.ends_with(".tmp"))
            wrong.push_back(path + " stays");
    ++count.states;
    const auto said = [](const std::string& out, const char* words) {
        return out.find(words) != std::string::npos;
    };
    const bool completed = said(rerun.out, "completed the rewrite");
    const bool restored = said(rerun.out, "never reached the disk");
    const bool forgotten = said(rerun.out, "stopped before it changed");
    if (checked && (said(check, "marks an interrupted run that truncated") != completed ||
                    said(check, "whose truncation of") != restored ||
                    said(check, "stopped before it changed") != forgotten ||
                    said(check, "none: no run was interrupted") != (!completed && !restored && !forgotten)))
        wrong.push_back("the check told another way than the rerun took: " + check);
    count.completed += completed;
    count.restored += restored;
    count.forgotten += forgotten;
    if (!wrong.empty() && ++count.violations <= 3)
        ADD_FAILURE() << p.name << ": " << testing::PrintToString(wrong)
                      << "\n  rerun said: " << rerun.out.substr(0, 200) << rerun.err;
}

// Under an emulator each rerun is slow: a fixed share of the states.
bool sampled(size_t state) { return kTestEmulator[0] == nullptr || state % 8 == 0; }

void PrintTo(const Program& program, std::ostream* out) { *out << program.name; }

class PowerCut : public testing::TestWithParam<Program> {};

TEST_P(PowerCut, EveryStateACutCanLeaveEndsAsOneRun)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const Program& p = GetParam();
    for (const Scenario& scenario : kScenarios) {
        // The node appends to the purges' files, not to the call book.
        if (!p.purge && scenario.node != NodeAppends::Never)
            continue;
        const Expected planted = plant(p);
        TempDir dir(0755);
        writeTree(dir.path(), planted.before);
        RecordingIo io;
        bool appended = false;
        io.aroundSync = [&](const std::string& path, bool leased, bool after) {
            const bool now = after ? scenario.node == NodeAppends::AfterTheSync
                                   : scenario.node == NodeAppends::BeforeTheSync;
            if (path == p.data && !leased && now && !appended) {
                appended = true;
                io.recordAppend(p.data, planted.fresh);
            }
        };
        ASSERT_EQ(inDirectory(dir.path(), [&] { return p.run(io); }), 0) << p.name;
        Expected e = planted;
        e.result = readFile(dir / p.result);
        if (appended)
            e.result.resize(e.result.size() - e.fresh.size());
        EXPECT_EQ(appended, scenario.node == NodeAppends::BeforeTheSync ||
                                scenario.node == NodeAppends::AfterTheSync)
            << p.name;
        ASSERT_NE(e.result, planted.before.at(p.result)) << p.name;
        for (DiskModel model : {DiskModel::Ext4Ordered, DiskModel::Strict}) {
            Count count;
            size_t seen = 0;
            forEachCrashState(planted.before, io.calls, model, [&](size_t, const FileTree& state) {
                if (sampled(seen++))
                    checkRerun(p, e, state, scenario.node, count);
                return true;
            });
            std::printf("%s, %s, %s: %zu crash points, %zu states, %zu violations; %zu "
                        "rewrites completed, %zu lost truncations restored, %zu marks of untouched "
                        "files removed\n",
                        p.name.c_str(), model == DiskModel::Ext4Ordered ? "ext4 ordered" : "strict",
                        scenario.name, io.calls.size() + 1, count.states, count.violations,
                        count.completed, count.restored, count.forgotten);
            EXPECT_GT(count.states, 0u) << p.name;
            // Every way of the recovery is taken where a cut can lead to it.
            if (p.purge && kTestEmulator[0] == nullptr) {
                EXPECT_GT(count.completed, 0u) << p.name;
                EXPECT_GT(count.restored, 0u) << p.name;
                EXPECT_GT(count.forgotten, 0u) << p.name;
            }
            EXPECT_EQ(count.violations, 0u) << p.name << ", " << scenario.name;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, PowerCut, testing::ValuesIn(programs()),
                         [](const testing::TestParamInfo<Program>& program) { return program.param.name; });

}  // namespace
