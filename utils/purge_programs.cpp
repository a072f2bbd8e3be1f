#include "purge_programs.hpp"

#include "purgdate.hpp"
#include "record_text.hpp"
#include "records.hpp"

#include <cstdio>
#include <cstring>
#include <iterator>

namespace {

time_t mailDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromText(reinterpret_cast<const char*>(record + offsetof(DirMesStruct, szDate)));
}

DateFault mailDateFault(const unsigned char* record)
{
    return textDateFault(reinterpret_cast<const char*>(record + offsetof(DirMesStruct, szDate)));
}

time_t announcementDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromPacked(loadLE32(record + offsetof(AnnounceStruct, lDateTime)));
}

DateFault announcementDateFault(const unsigned char* record)
{
    return packedDateFault(loadLE32(record + offsetof(AnnounceStruct, lDateTime)));
}

time_t reportDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromText(reinterpret_cast<const char*>(record + offsetof(WwvSpotStruct, sDate)));
}

DateFault reportDateFault(const unsigned char* record)
{
    return textDateFault(reinterpret_cast<const char*>(record + offsetof(WwvSpotStruct, sDate)));
}

time_t spotDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromText(reinterpret_cast<const char*>(record + offsetof(DxSpotStruct, Date)));
}

DateFault spotDateFault(const unsigned char* record)
{
    return textDateFault(reinterpret_cast<const char*>(record + offsetof(DxSpotStruct, Date)));
}

void describeAnnouncement(const unsigned char* record, char* line, size_t size)
{
    char szDate[12];
    char szTime[5];
    DATE_dateTime_Long2Str(szDate, szTime, loadLE32(record + offsetof(AnnounceStruct, lDateTime)));
    LineText(line, size)
        .text(szDate)
        .text(" ")
        .text(szTime)
        .text("  from ")
        .field(record + offsetof(AnnounceStruct, sFromUser), sizeof AnnounceStruct::sFromUser)
        .text(" at ")
        .field(record + offsetof(AnnounceStruct, sFromNode), sizeof AnnounceStruct::sFromNode)
        .text("  to ")
        .field(record + offsetof(AnnounceStruct, sToWho), sizeof AnnounceStruct::sToWho);
}

void describeReport(const unsigned char* record, char* line, size_t size)
{
    LineText(line, size)
        .field(record + offsetof(WwvSpotStruct, sDate), sizeof WwvSpotStruct::sDate)
        .text(" ")
        .field(record + offsetof(WwvSpotStruct, sTime), sizeof WwvSpotStruct::sTime)
        .text("  by ")
        .field(record + offsetof(WwvSpotStruct, sLogger), sizeof WwvSpotStruct::sLogger)
        .text(" at ")
        .field(record + offsetof(WwvSpotStruct, sNodeCall), sizeof WwvSpotStruct::sNodeCall);
}

void describeSpot(const unsigned char* record, char* line, size_t size)
{
    LineText(line, size)
        .field(record + offsetof(DxSpotStruct, Date), sizeof DxSpotStruct::Date)
        .text(" ")
        .field(record + offsetof(DxSpotStruct, Time), sizeof DxSpotStruct::Time)
        .text("  DX ")
        .field(record + offsetof(DxSpotStruct, DxCall), sizeof DxSpotStruct::DxCall)
        .text("  by ")
        .field(record + offsetof(DxSpotStruct, Logger), sizeof DxSpotStruct::Logger)
        .text(" at ")
        .field(record + offsetof(DxSpotStruct, NodeCall), sizeof DxSpotStruct::NodeCall);
}

}  // namespace

// KELDRAN judges each mail by its status, type and date (MailRules); its
// day is the check's.
const PurgeProgram kKeldran = {
    .name = "KELDRAN",
    .kind = kMailPurge,
    .version = "1.1",
    .fileStem = "dirmes",
    .recordSize = sizeof(DirMesStruct),
    .recordsName = "messages",
    .countedAs = nullptr,
    .recordDay = mailDay,
    .dateFault = mailDateFault,
    .describe = describeMail,
};

const PurgeProgram kVoskil = {
    .name = "VOSKIL",
    .kind = kAgePurge,
    .version = "1.0",
    .fileStem = "announce",
    .recordSize = sizeof(AnnounceStruct),
    .recordsName = "announcements",
    .countedAs = "announcements",
    .recordDay = announcementDay,
    .dateFault = announcementDateFault,
    .describe = describeAnnouncement,
};

const PurgeProgram kTraben = {
    .name = "TRABEN",
    .kind = kAgePurge,
    .version = "1.0",
    .fileStem = "wwv",
    .recordSize = sizeof(WwvSpotStruct),
    .recordsName = "WWV propagation reports",
    .countedAs = "spots",
    .recordDay = reportDay,
    .dateFault = reportDateFault,
    .describe = describeReport,
};

const PurgeProgram kMirkos = {
    .name = "MIRKOS",
    .kind = kAgePurge,
    .version = "1.0",
    .fileStem = "dx",
    .recordSize = sizeof(DxSpotStruct),
    .recordsName = "DX spots",
    .countedAs = "spots",
    .recordDay = spotDay,
    .dateFault = spotDateFault,
    .describe = describeSpot,
};

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
