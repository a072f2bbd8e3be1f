#include "programs_under_test.hpp"

#include "records.hpp"
#include "test_files.hpp"

#include <cstddef>
#include <cstring>
#include <iterator>
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
