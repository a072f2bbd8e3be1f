#include "purge_programs.hpp"

#include "record_text.hpp"
#include "records.hpp"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

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

}  // namespace

// KELDRAN judges each mail by its status, type and date (MailRules).
const PurgeProgram kKeldran = {
    .name = "KELDRAN",
    .kind = PurgeKind::Mail,
    .version = "1.1",
    .fileStem = "dirmes",
    .recordSize = sizeof(DirMesStruct),
    .recordsName = "messages",
    .countedAs = nullptr,
    .recordDay = nullptr,
    .describe = describeMail,
};

const PurgeProgram kVoskil = {
    .name = "VOSKIL",
    .kind = PurgeKind::Age,
    .version = "1.0",
    .fileStem = "announce",
    .recordSize = sizeof(AnnounceStruct),
    .recordsName = "announcements",
    .countedAs = "announcements",
    .recordDay = announcementDay,
    .describe = describeAnnouncement,
};

const PurgeProgram kTraben = {
    .name = "TRABEN",
    .kind = PurgeKind::Age,
    .version = "1.0",
    .fileStem = "wwv",
    .recordSize = sizeof(WwvSpotStruct),
    .recordsName = "WWV propagation reports",
    .countedAs = "spots",
    .recordDay = reportDay,
    .describe = describeReport,
};

const PurgeProgram kMirkos = {
    .name = "MIRKOS",
    .kind = PurgeKind::Age,
    .version = "1.0",
    .fileStem = "dx",
    .recordSize = sizeof(DxSpotStruct),
    .recordsName = "DX spots",
    .countedAs = "spots",
    .recordDay = spotDay,
    .describe = describeSpot,
};

const PurgeProgram* const kPurgePrograms[] = {&kKeldran, &kVoskil, &kTraben, &kMirkos};
const size_t kPurgeProgramCount = std::size(kPurgePrograms);

const PurgeProgram* findPurgeProgram(const char* name)
{
    for (const PurgeProgram* program : kPurgePrograms)
        if (std::strcmp(program->name, name) == 0)
            return program;
    return nullptr;
}

ProgramFileName programFile(const PurgeProgram& program, const char* suffix)
{
    ProgramFileName name;
    std::snprintf(name.text, sizeof name.text, "%s%s", program.fileStem, suffix);
    return name;
}

const char* openFailureName(PurgeKind kind, OpenStep step)
{
    static const char* const kMail[] = {"fDirMes 1", "fDirOld", "fDirMes 2", nullptr};
    static const char* const kAge[] = {"fBinFile 1", "fOldFile 1", "fBinOld 2", "fOldFile 2"};
    return (kind == PurgeKind::Mail ? kMail : kAge)[static_cast<int>(step)];
}
