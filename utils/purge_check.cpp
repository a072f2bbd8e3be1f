#include "purge_check.hpp"

#include "date_cache.hpp"
#include "held_lines.hpp"
#include "purge_guards.hpp"
#include "purge_recovery.hpp"
#include "purge_reports.hpp"
#include "record_copy.hpp"
#include "record_text.hpp"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <string>
#include <vector>

namespace {

// Each kind's name, for one finding and for more.
const char* const kFindingNames[kFindingKinds][2] = {
    {"record all zero", "records all zero"},
    {"record without a date", "records without a date"},
    {"record dated ahead", "records dated ahead"},
    {"record whose message file is missing", "records whose message file is missing"},
    {"part-record", "part-records"},
    {"backup fault", "backup faults"},
    {"mark of an interrupted run", "marks of an interrupted run"},
    {"mail directory fault", "mail directory faults"},
    {"message file that no record names", "message files that no record names"},
};

const char* findingName(int kind, uint64_t count) { return kFindingNames[kind][count == 1 ? 0 : 1]; }

}  // namespace

void Findings::add(Finding kind, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    if (verbose_) {
        std::vfprintf(out_, format, arguments);
        std::fputc('\n', out_);
    } else if (counts_[kind] == 0) {
        std::vsnprintf(first_[kind], sizeof first_[kind], format, arguments);
    }
    va_end(arguments);
    ++counts_[kind];
}

void Findings::printFirsts() const
{
    for (int kind = 0; kind < kFindingKinds && !verbose_; ++kind) {
        if (counts_[kind] == 0)
            continue;
        std::fprintf(out_, "%s\n", first_[kind]);
        if (counts_[kind] > 1)
            std::fprintf(out_, "  and %" PRIu64 " more %s (--verbose lists every one)\n",
                         counts_[kind] - 1, findingName(kind, counts_[kind] - 1));
    }
}

bool Findings::any() const
{
    return std::any_of(std::begin(counts_), std::end(counts_), [](uint64_t n) { return n > 0; });
}

void Findings::summary(char* text, size_t size) const
{
    text[0] = '\0';
    for (int kind = 0; kind < kFindingKinds; ++kind) {
        if (counts_[kind] == 0)
            continue;
        const size_t used = std::strlen(text);
        std::snprintf(text + used, size - used, "%s%" PRIu64 " %s", used == 0 ? "" : ", ",
                      counts_[kind], findingName(kind, counts_[kind]));
    }
}

namespace {

bool allZero(const unsigned char* record, size_t size)
{
    return std::all_of(record, record + size, [](unsigned char byte) { return byte == 0; });
}

class Check {
public:
    Check(const PurgeProgram& program, const PurgePaths& paths, const PurgeSettings& settings,
          const CheckContext& context)
        : program_(program), paths_(paths), settings_(settings),
          context_(context), reports_(program, paths, context.err, waits_),
          findings_(context.out, context.verbose), reader_(context.io, program.recordSize)
    {
        waits_.lockSeconds = context.lockSeconds;
    }
    ~Check()
    {
        if (data_ >= 0)
            context_.io.close(data_);
    }
    Check(const Check&) = delete;
    Check& operator=(const Check&) = delete;

    int run();

private:
    int checkRecords();
    void judgeRecord(const unsigned char* record, uint64_t number, uint64_t offset);
    void checkPartRecord(uint64_t size);
    void checkBackup();
    void checkMark();
    void tellMarkDecision(const Recovery& recovery);
    int verdict();
    FILE* out() const { return context_.out; }

    const PurgeProgram& program_;
    const PurgePaths& paths_;
    const PurgeSettings& settings_;
    const CheckContext& context_;
    PurgeWaits waits_;
    PurgeReports reports_;
    Findings findings_;
    RecordReader reader_;
    DateCache dates_;
    int data_ = -1;
    // What the kind checks beside the records; null where it checks nothing.
    std::unique_ptr<KindFilesCheck> beside_;
};

// A purge of the directory that runs now is waited for: its mark is no
// interrupted run's.  The lock is shared, so that checks run side by side,
// and a purge waits for the check in turn; it writes nothing.
int Check::run()
{
    DirectoryLock lock(context_.io);
    if (lock.acquire(paths_.szDirectory, context_.lockSeconds, true) == DirectoryLock::Outcome::Busy)
        return reports_.locked();
    const RegularFile data =
        openRegularFile(context_.io, paths_.szBin, O_RDONLY | O_NOFOLLOW | O_NOCTTY);
    if (data.notRegular != 0)
        return reports_.notRegular(paths_.szBin, data.notRegular, kCannotOpenData);
    if (data.fd < 0)
        return reports_.failedOpen(OpenStep::Data, paths_.szBin, kCannotOpenData);
    data_ = data.fd;
    if (program_.kind.checkBeside)
        beside_ = program_.kind.checkBeside(context_.io, settings_, paths_.szBin, findings_);
    if (const int status = checkRecords(); status != kPurged)
        return status;
    checkBackup();
    checkMark();
    if (beside_)
        beside_->end();
    return verdict();
}

// The records are streamed in large blocks: memory stays the same however
// long the file.  A record that the node appends meanwhile lies past the
// length read at the start, and is left for the next check.
int Check::checkRecords()
{
    struct stat status;
    if (context_.io.fstat(data_, status) != 0)
        return reports_.unchanged("fstat", paths_.szBin);
    const auto size = static_cast<uint64_t>(status.st_size);
    const size_t recordSize = program_.recordSize;
    std::fprintf(out(), "%s: %" PRIu64 " records of %zu bytes\n", paths_.szBin, size / recordSize,
                 recordSize);
    uint64_t records = 0;
    reader_.start(data_, 0, size - size % recordSize);
    for (ssize_t got; (got = reader_.next()) != 0;) {
        if (got < 0)
            return reports_.unchanged("read", paths_.szBin);
        for (size_t at = 0; at < static_cast<size_t>(got); at += recordSize, ++records)
            judgeRecord(reader_.data() + at, records + 1, records * recordSize);
    }
    checkPartRecord(size);
    return kPurged;
}

void Check::judgeRecord(const unsigned char* record, uint64_t number, uint64_t offset)
{
    // A record of zeros holds no date either: only then is it looked at whole.
    const DateFault fault = program_.dateFault(record);
    if (fault.found() && allZero(record, program_.recordSize)) {
        findings_.add(kAllZero, "%s: record %" PRIu64 " at byte %" PRIu64 ": all zero, no date "
                                "(what a power cut leaves of an append)",
                      paths_.szBin, number, offset);
        return;
    }
    const time_t day = fault.found() ? 0 : program_.recordDay(record, dates_);
    if (fault.found() || day > context_.now + 86400) {
        char line[256];
        program_.describe(record, line, sizeof line);
        if (fault.found())
            findings_.add(kNoDate, "%s: record %" PRIu64 " at byte %" PRIu64 ": %s: %s",
                          paths_.szBin, number, offset, fault.why, line);
        else
            findings_.add(kAhead, "%s: record %" PRIu64 " at byte %" PRIu64 ": dated more than "
                                  "a day ahead of the clock: %s",
                          paths_.szBin, number, offset, line);
    }
    if (beside_)
        beside_->record(record, number, offset);
}

// A part-record that grew meanwhile was an append under way.
void Check::checkPartRecord(uint64_t size)
{
    const size_t part = static_cast<size_t>(size % program_.recordSize);
    if (part == 0)
        return;
    struct stat status;
    if (context_.io.fstat(data_, status) == 0 && static_cast<uint64_t>(status.st_size) > size) {
        std::fprintf(out(), "%s: the node appended to it during the check: its end is left for "
                            "the next check\n", paths_.szBin);
        return;
    }
    findings_.add(kPartRecord, "%s: record %" PRIu64 " at byte %" PRIu64 ": a part-record of "
                               "%zu bytes, a torn append (the purges drop it)",
                  paths_.szBin, size / program_.recordSize + 1, size - part, part);
}

// A purge copies whole records only, and syncs the copy before it changes
// the data file: a backup of a whole number of records is a whole earlier
// state as far as its length tells, and one that ends in a part-record is
// not.
void Check::checkBackup()
{
    const RegularFile backup =
        openRegularFile(context_.io, paths_.szOld, O_RDONLY | O_NOFOLLOW | O_NOCTTY);
    const char* path = paths_.szOld;
    if (backup.notRegular != 0) {
        findings_.add(kBackup, "%s: %s, not a regular file: the next purge refuses it (status 2)",
                      path, fileTypeName(backup.notRegular));
        return;
    }
    if (backup.fd < 0 && errno == ENOENT) {
        std::fprintf(out(), "%s: none: no purge has run here yet, or it was removed\n", path);
        return;
    }
    if (backup.fd < 0) {
        findings_.add(kBackup, "%s: %s: it cannot be judged%s", path, std::strerror(errno),
                      errno == ELOOP ? " (a symbolic link: the next purge refuses it, status 2)"
                                     : "");
        return;
    }
    context_.io.close(backup.fd);
    const auto size = static_cast<uint64_t>(backup.status.st_size);
    const uint64_t records = size / program_.recordSize;
    const auto part = static_cast<size_t>(size % program_.recordSize);
    if (part != 0)
        findings_.add(kBackup, "%s: %" PRIu64 " records of %zu bytes and a part-record of %zu "
                               "bytes at byte %" PRIu64 ": no whole earlier state (a purge "
                               "copies whole records only: this copy was cut short, or changed "
                               "since)",
                      path, records, program_.recordSize, part, size - part);
    else
        std::fprintf(out(), "%s: %" PRIu64 " records of %zu bytes, a whole number: a whole "
                            "earlier state, as far as its length tells (a purge copies whole "
                            "records only, and syncs them before it changes %s)\n",
                     path, records, program_.recordSize, programFile(program_, ".bin").text);
}

// The recovery of a real run decides, reading only; what it would say of a
// mark that stops it is caught and quoted.
void Check::checkMark()
{
    char* said = nullptr;
    size_t saidLength = 0;
    FILE* saying = open_memstream(&said, &saidLength);
    const RulesOutput silent = {program_.name, out(), saying ? saying : context_.err, true, false};
    const std::unique_ptr<PurgeRules> rules = program_.kind.makeRules(program_, settings_, silent);
    const PurgeReports reports(program_, paths_, saying ? saying : context_.err, waits_);
    RecordCopier records(context_.io, program_.recordSize);
    HeldSignals signals(out());
    Recovery recovery({context_.io, program_, paths_, data_, 0, *rules, reports, records, signals,
                       out(), false, 0, [] { return false; }, true});
    const Recovery::Outcome outcome = recovery.run();
    if (saying)
        std::fclose(saying);
    if (outcome == Recovery::Outcome::NoMark) {
        std::fprintf(out(), "%s: none: no run was interrupted\n", paths_.szMark);
    } else if (outcome == Recovery::Outcome::Judged) {
        tellMarkDecision(recovery);
    } else {
        std::string text = said ? said : "";
        const std::string prefix = std::string(program_.name) + ": ";
        if (text.rfind(prefix, 0) == 0)
            text.erase(0, prefix.size());
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        findings_.add(kMark, "%s: the next run stops there with status %d, saying: %s",
                      paths_.szMark, recovery.status(), text.c_str());
    }
    std::free(said);
}

void Check::tellMarkDecision(const Recovery& recovery)
{
    const char* mark = paths_.szMark;
    switch (recovery.decision()) {
    case Recovery::Decision::Forget:
        findings_.add(kMark, "%s: marks an interrupted run that %s %s: the next run removes the "
                             "mark, then purges as usual",
                      mark, recovery.forgetWhy(), paths_.szBin);
        break;
    case Recovery::Decision::Undo:
        findings_.add(kMark, "%s: marks an interrupted run whose truncation of %s never reached "
                             "the disk: the next run restores that file from %s below the "
                             "backup's length, keeping what the node appended since, then purges "
                             "as usual",
                      mark, paths_.szBin, paths_.szOld);
        break;
    case Recovery::Decision::Complete:
        findings_.add(kMark, "%s: marks an interrupted run that truncated %s: until the next "
                             "run completes the rewrite from %s (as that run judged the records, "
                             "keeping what the node appended since), %s may lack records that it "
                             "kept; then the next run purges as usual",
                      mark, paths_.szBin, paths_.szOld, paths_.szBin);
        break;
    case Recovery::Decision::None:
        break;
    }
}

int Check::verdict()
{
    findings_.printFirsts();
    if (!findings_.any()) {
        std::fprintf(out(), "%s: no damage found\n", program_.name);
        return kPurged;
    }
    char summary[1024];
    findings_.summary(summary, sizeof summary);
    std::fprintf(out(), "%s: damage found: %s\n", program_.name, summary);
    std::fprintf(context_.err, "%s: the check found damage beside %s: %s\n", program_.name,
                 paths_.szBin, summary);
    return kDamageFound;
}

}  // namespace

int runCheck(const PurgeProgram& program, const PurgePaths& paths, const PurgeSettings& settings,
             const CheckContext& context)
{
    Check check(program, paths, settings, context);
    return check.run();
}
