#include "programs_under_test.hpp"

#include "purge_run.hpp"
#include "records.hpp"
#include "test_files.hpp"

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <sys/stat.h>
#include <stdexcept>

namespace {

void putLE32(std::string& record, size_t offset, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        record[offset + static_cast<size_t>(i)] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// A record's bytes that no two seeds share, so that a record moved or
// doubled shows.
std::string patterned(size_t size, uint32_t seed)
{
    std::string record(size, '\0');
    for (size_t i = 0; i < size; ++i)
        record[i] = static_cast<char>((seed * 31 + i * 7) & 0xFF);
    return record;
}

std::string mailOn(Day day, uint32_t seed) { return mailRecord({'B', 'N', seed, dateText(day), 0}); }

// The time of day in the packed date never counts: the seed picks it.
template <size_t Row>
std::string packedOn(Day day, uint32_t seed)
{
    const ProgramUnderTest& p = kProgramsUnderTest[Row];
    std::string record = patterned(p.recordSize, seed);
    const uint32_t packed = packedDateTime(day.year, day.month, day.day, static_cast<int>(seed % 24),
                                           static_cast<int>(seed % 60));
    putLE32(record, p.dateOffset, packed);
    return record;
}

template <size_t Row>
std::string textOn(Day day, uint32_t seed)
{
    const ProgramUnderTest& p = kProgramsUnderTest[Row];
    std::string record = patterned(p.recordSize, seed);
    record.replace(p.dateOffset, 12, dateText(day));
    return record;
}

const ProgramUnderTest kRows[] = {
    {"KELDRAN", KELDRAN_PATH, &kKeldran, "dirmes.bin", "dirmes.old", "dirmes.purging",
     sizeof(DirMesStruct), offsetof(DirMesStruct, szDate), true, nullptr, "KELDRAN v 1.1\n", 'B', 'D',
     {"fDirMes 1", "fDirOld", "fDirMes 2"}, mailOn},
    {"VOSKIL", VOSKIL_PATH, &kVoskil, "announce.bin", "announce.old", "announce.purging",
     sizeof(AnnounceStruct), offsetof(AnnounceStruct, lDateTime), false, "announcements", "VOSKIL v 1.0\n",
     'D', 'P', {"fBinFile 1", "fOldFile 1", "fBinOld 2"}, packedOn<1>},
    {"TRABEN", TRABEN_PATH, &kTraben, "wwv.bin", "wwv.old", "wwv.purging", sizeof(WwvSpotStruct),
     offsetof(WwvSpotStruct, sDate), false, "spots", "TRABEN v 1.0\n", 'D', 'P',
     {"fBinFile 1", "fOldFile 1", "fBinOld 2"}, textOn<2>},
    {"MIRKOS", MIRKOS_PATH, &kMirkos, "dx.bin", "dx.old", "dx.purging", sizeof(DxSpotStruct),
     offsetof(DxSpotStruct, Date), false, "spots", "MIRKOS v 1.0\n", 'D', 'P',
     {"fBinFile 1", "fOldFile 1", "fBinOld 2"}, textOn<3>},
};
static_assert(std::size(kRows) == std::size(kPurgePrograms),
              "a row for each purge program of cmake/programs.cmake");

}  // namespace

const std::span<const ProgramUnderTest> kProgramsUnderTest = kRows;

const ProgramUnderTest& programUnderTest(const char* name)
{
    for (const ProgramUnderTest& p : kProgramsUnderTest)
        if (std::strcmp(p.name, name) == 0)
            return p;
    throw std::invalid_argument(std::string("no program under test named ") + name);
}

const time_t kTestNow = utcTime(2026, 12, 7, 12);
time_t testClock() { return kTestNow; }

Day dayBefore(time_t when, int days)
{
    const time_t then = when - static_cast<time_t>(days) * 86400;
    struct tm broken;
    gmtime_r(&then, &broken);
    return {broken.tm_year + 1900, broken.tm_mon + 1, broken.tm_mday};
}

std::string dateText(Day day) { return dateText(day.year, day.month, day.day); }

std::string mailRecord(const MailRecord& fields)
{
    std::string record = patterned(kProgramsUnderTest[0].recordSize, fields.number);
    record[0] = fields.type;
    record[1] = fields.status;
    putLE32(record, 4, fields.number);
    record.replace(kProgramsUnderTest[0].dateOffset, 12, fields.date);
    record[140] = static_cast<char>(fields.noAutoDelete);
    return record;
}

std::string messageName(int32_t number)
{
    char name[32];
    std::snprintf(name, sizeof name, "m%07d.msg", number);
    return name;
}

NodeTree::NodeTree()
{
    for (const std::string& path : {dir.path(), dir / "system", bin, mail, dir / "run"}) {
        if (path != dir.path())
            makeDirectory(path);
        chmod(path.c_str(), 0755);
    }
}

std::vector<std::string> NodeTree::arguments(const ProgramUnderTest& p, int days) const
{
    std::vector<std::string> words = {std::string(1, p.directoryLetter) + "=" + bin};
    if (p.mail)
        words.push_back("M=" + mail + "/");
    words.push_back(std::string(1, p.limitLetter) + "=" + std::to_string(days));
    return words;
}

namespace {

std::string contents(FILE* file)
{
    std::string text;
    std::fflush(file);
    std::rewind(file);
    char block[8192];
    for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;)
        text.append(block, got);
    std::fclose(file);
    return text;
}

}  // namespace

InProcessRun runInProcess(const ProgramUnderTest& p, std::vector<std::string> words, FileIo& io,
                          time_t (*clock)())
{
    words.insert(words.begin(), p.name);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    const int status = answerCommandLine(*p.program, static_cast<int>(argv.size()), argv.data(),
                                         {io, clock, out, err});
    return {status, contents(out), contents(err)};
}
