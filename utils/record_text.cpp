#include "record_text.hpp"

#include "purgdate.hpp"
#include "records.hpp"

#include <cstring>
#include <string>

LineText& LineText::field(const void* field, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(field);
    const size_t length = strnlen(reinterpret_cast<const char*>(bytes), size);
    if (length == 0)
        put("-", 1);
    for (size_t i = 0; i < length; ++i) {
        char shown[5];
        const bool plain = bytes[i] >= 0x20 && bytes[i] < 0x7F && bytes[i] != '\\';
        const int width = plain ? std::snprintf(shown, sizeof shown, "%c", bytes[i])
                                : std::snprintf(shown, sizeof shown, "\\x%02X", bytes[i]);
        put(shown, static_cast<size_t>(width));
    }
    return *this;
}

LineText& LineText::text(const char* text)
{
    put(text, std::strlen(text));
    return *this;
}

// What does not fit is cut: the line is for reading.
void LineText::put(const char* bytes, size_t length)
{
    const size_t room = size_ - 1 - used_;
    const size_t taken = length < room ? length : room;
    std::memcpy(line_ + used_, bytes, taken);
    used_ += taken;
    line_[used_] = '\0';
}

void describeMail(const unsigned char* record, char* line, size_t size)
{
    const auto number = static_cast<int32_t>(loadLE32(record + offsetof(DirMesStruct, dwNumber)));
    LineText(line, size)
        .field(record + offsetof(DirMesStruct, szDate), sizeof DirMesStruct::szDate)
        .text("  #")
        .text(std::to_string(number).c_str())
        .text("  from ")
        .field(record + offsetof(DirMesStruct, szSender), sizeof DirMesStruct::szSender)
        .text("  to ")
        .field(record + offsetof(DirMesStruct, szRecipient), sizeof DirMesStruct::szRecipient);
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
