// A power cut at any instant of a run loses nothing and doubles nothing.
// Each program runs once, in this process, on a small node tree, through a
// FileIo that records its calls; from the record, every tree that a power
// cut after any call can leave is built (power_cut.hpp), and the real
// program runs again there with the same clock.  It must then end where one
// uninterrupted run ends.
#include "age_purge.hpp"
#include "mail_purge.hpp"
#include "power_cut.hpp"
#include "records.hpp"
#include "run_program.hpp"
#include "test_files.hpp"
#include "test_emulator.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const time_t kNow = utcTime(2026, 12, 7, 12);
time_t frozenClock() { return kNow; }

time_t announcementDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromPacked(loadLE32(record + offsetof(AnnounceStruct, lDateTime)));
}
time_t reportDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromText(reinterpret_cast<const char*>(record + offsetof(WwvSpotStruct, sDate)));
}
time_t spotDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromText(reinterpret_cast<const char*>(record + offsetof(DxSpotStruct, Date)));
}

AgeProgram ageProgram(const char* name, const char* data, const char* backup, size_t size,
                      time_t (*day)(const unsigned char*, DateCache&))
{
    return {{name, data, backup, size, "open data", "open backup", "reopen data", "reopen backup"},
            "", "%ld left, %ld deleted\n", "records", day, nullptr};
}

const AgeProgram kVoskil = ageProgram("VOSKIL", "announce.bin", "announce.old", 128, announcementDay);
const AgeProgram kTraben = ageProgram("TRABEN", "wwv.bin", "wwv.old", 128, reportDay);
const AgeProgram kMirkos = ageProgram("MIRKOS", "dx.bin", "dx.old", 88, spotDay);
const PurgeProgram kKeldran = {"KELDRAN", "dirmes.bin", "dirmes.old", 244,
                               "open data", "open backup", "reopen data", nullptr};

// The n-th record of a program's file, days old; a mail record has its
// message file where number % 4 == 0.
std::string recordOf(const char* program, int days, uint32_t n)
{
    const time_t day = kNow - static_cast<time_t>(days) * 86400;
    const std::string date = dateTextDaysBefore(kNow, days);
    switch (program[0]) {
    case 'K':
        return mailRecord({n % 2 ? 'P' : 'B', n % 20 == 7 ? 'K' : 'N', n, date, 0});
    case 'V': {
        struct tm broken;
        gmtime_r(&day, &broken);
        return packedRecord(packedDateTime(broken.tm_year + 1900, broken.tm_mon + 1, broken.tm_mday, 9,
                                           static_cast<int>(n % 60)),
                            static_cast<int>(n));
    }
    case 'T':
        return datedRecord(128, 98, date, static_cast<int>(n));
    default:
        return datedRecord(88, 66, date, static_cast<int>(n));
    }
}

std::string messageName(uint32_t number)
{
    char name[32];
    std::snprintf(name, sizeof name, "mail/m%07u.msg", number);
    return name;
}

struct Program {
    const char* name;
    const char* binary;
    const char* data;
    const char* backup;
    int count;  // records, oldest first: half of them past the limit of 20 days
    std::vector<std::string> arguments;
    std::function<int(FileIo&)> run;  // the run in this process, in the tree
};

int runAge(const AgeProgram& program, FileIo& io)
{
    PurgePaths paths;
    buildPurgePaths("bin", program.files.dataFileName, paths);
    FILE* out = std::tmpfile();
    AgeRules rules(program, 20, {program.files.name, out, out, false, false});
    const PurgeContext context = {io, out, out, frozenClock, false, {0.2, 1, false}};
    const int status = runPurge(program.files, paths, rules, context);
    std::fclose(out);
    return status;
}

int runMail(FileIo& io)
{
    PurgePaths paths;
    buildPurgePaths("bin", "dirmes.bin", paths);
    MailSettings settings;
    settings.nBullDelete = settings.nPrivDelete = 20;
    std::strcpy(settings.szMailPath, "mail/");
    FILE* out = std::tmpfile();
    MailRules rules(settings, {"KELDRAN", out, out, false, false});
    const PurgeContext context = {io, out, out, frozenClock, false, {0.2, 1, false}};
    const int status = runPurge(kKeldran, paths, rules, context);
    std::fclose(out);
    return status;
}

const Program kPrograms[] = {
    {"KELDRAN", KELDRAN_PATH, "bin/dirmes.bin", "bin/dirmes.old", 120,
     {"D=bin", "M=mail/", "B=20", "P=20"}, runMail},
    {"VOSKIL", VOSKIL_PATH, "bin/announce.bin", "bin/announce.old", 200, {"P=bin", "D=20"},
     [](FileIo& io) { return runAge(kVoskil, io); }},
    {"TRABEN", TRABEN_PATH, "bin/wwv.bin", "bin/wwv.old", 200, {"P=bin", "D=20"},
     [](FileIo& io) { return runAge(kTraben, io); }},
    {"MIRKOS", MIRKOS_PATH, "bin/dx.bin", "bin/dx.old", 303, {"P=bin", "D=20"},
     [](FileIo& io) { return runAge(kMirkos, io); }},
};

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
    std::string kept;
    std::string fresh;  // the node's record
    std::set<std::string> messagesKept;
    std::set<std::string> messagesDropped;
};

Expected plant(const Program& p)
{
    Expected e;
    std::string data;
    for (int i = 0; i < p.count; ++i) {
        const int days = 40 - 40 * i / p.count;  // oldest first
        const auto n = static_cast<uint32_t>(i);
        const std::string record = recordOf(p.name, days, n);
        data += record;
        const bool dropped = days >= 20 || (p.name[0] == 'K' && n % 20 == 7);
        if (p.name[0] != 'K' || n % 4 != 0)
            continue;
        e.before[messageName(n)] = "text";
        (dropped ? e.messagesDropped : e.messagesKept).insert(messageName(n));
    }
    e.before[p.data] = data;
    e.fresh = recordOf(p.name, 0, 900000);
    return e;
}

// The node's record as a cut may leave it: whole, or with bytes zeroed.
bool tornOf(const std::string& bytes, const std::string& record)
{
    if (bytes.size() != record.size())
        return false;
    for (size_t i = 0; i < bytes.size(); ++i)
        if (bytes[i] != record[i] && bytes[i] != '\0')
            return false;
    return true;
}

// The file is start followed by nothing, or by the node's record.
bool startsWithThenNode(const std::string& file, const std::string& start, const std::string& fresh)
{
    return file.compare(0, start.size(), start) == 0 &&
           (file.size() == start.size() || tornOf(file.substr(start.size()), fresh));
}

struct Count {
    size_t crashPoints = 0;
    size_t states = 0;
    size_t violations = 0;
};

// The checks on one tree that a cut left, once the program ran again there.
void checkRerun(const Program& p, const Expected& e, const FileTree& cut, NodeAppends node,
                Count& count)
{
    TempDir dir;
    FileTree state = cut;
    if (node == NodeAppends::OnceThePowerIsBack)
        state[p.data] += e.fresh;
    writeTree(dir.path(), state);
    for (const char* directory : {"bin", "mail"})
        mkdir((dir / directory).c_str(), 0755);  // where a cut left it empty
    RunOptions options;
    options.directory = dir.path();
    options.frozenClock = kNow;
    const RunResult rerun = runProgram(p.binary, p.arguments, options);
    const FileTree after = readTree(dir.path());
    const std::string data = after.count(p.data) ? after.at(p.data) : "(none)";
    const std::string backup = after.count(p.backup) ? after.at(p.backup) : "(none)";
    const std::string original = e.before.at(p.data);
    std::vector<std::string> wrong;
    if (rerun.status != 0)
        wrong.push_back("status " + std::to_string(rerun.status) + ": " + rerun.err);
    if (!startsWithThenNode(data, e.kept, e.fresh) ||
        (node == NodeAppends::OnceThePowerIsBack && data != e.kept + e.fresh))
        wrong.push_back("the data file is not what one run keeps (" + std::to_string(data.size()) +
                        " bytes, " + std::to_string(e.kept.size()) + " kept)");
    if (!startsWithThenNode(backup, e.kept, e.fresh) && !startsWithThenNode(backup, original, e.fresh))
        wrong.push_back("the backup is not a copy of the data file");
    for (const auto& [path, bytes] : after)
        if (path.ends_with(".purging"))
            wrong.push_back("the mark stays");
    for (const std::string& message : e.messagesKept)
        if (!after.count(message))
            wrong.push_back(message + " of kept mail is gone");
    for (const std::string& message : e.messagesDropped)
        if (after.count(message))
            wrong.push_back(message + " of dropped mail is there");
    ++count.states;
    if (!wrong.empty() && ++count.violations <= 3) {
        std::string all;
        for (const std::string& w : wrong)
            all += "\n  " + w;
        ADD_FAILURE() << p.name << ":" << all << "\n  rerun said: " << rerun.out.substr(0, 200)
                      << rerun.err;
    }
}

// Under an emulator each rerun is slow: a fixed share of the states.
bool sampled(size_t state) { return kTestEmulator[0] == nullptr || state % 8 == 0; }

class PowerCut : public testing::TestWithParam<Program> {};

TEST_P(PowerCut, EveryStateACutCanLeaveEndsAsOneRun)
{
    setenv("TZ", "UTC", 1);
    tzset();
    const Program& p = GetParam();
    {
        for (const Scenario& scenario : kScenarios) {
            const Expected planted = plant(p);
            TempDir dir;
            writeTree(dir.path(), planted.before);
            char previous[4096];
            ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
            ASSERT_EQ(chdir(dir.path().c_str()), 0);
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
            const int status = p.run(io);
            Expected e = planted;
            e.kept = readFile(p.data);
            if (appended)
                e.kept.resize(e.kept.size() - e.fresh.size());
            ASSERT_EQ(chdir(previous), 0);
            ASSERT_EQ(status, 0) << p.name;
            EXPECT_EQ(appended, scenario.node != NodeAppends::Never) << p.name;
            ASSERT_LT(e.kept.size(), planted.before.at(p.data).size()) << p.name;
            for (DiskModel model : {DiskModel::Ext4Ordered, DiskModel::Strict}) {
                Count count;
                count.crashPoints = io.calls.size() + 1;
                size_t seen = 0;
                forEachCrashState(planted.before, io.calls, model, [&](size_t, const FileTree& state) {
                    if (sampled(seen++))
                        checkRerun(p, e, state, scenario.node, count);
                    return true;
                });
                std::printf("%s, %s, %s: %zu crash points, %zu states, %zu violations\n", p.name,
                            model == DiskModel::Ext4Ordered ? "ext4 ordered" : "strict", scenario.name,
                            count.crashPoints, count.states, count.violations);
                EXPECT_GT(count.states, 0u) << p.name;
                EXPECT_EQ(count.violations, 0u) << p.name << ", " << scenario.name;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, PowerCut, testing::ValuesIn(kPrograms),
                         [](const testing::TestParamInfo<Program>& program) { return program.param.name; });

}  // namespace
