#include "record_text.hpp"

#include "date_cache.hpp"
#include "numbers.hpp"
#include "purgdate.hpp"
#include "records.hpp"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct CivilDate {
    int64_t year;
    int month;  // 1 to 12
    int day;
};

// Days since 1 January 1970 of a date of the proleptic Gregorian calendar,
// and back: whole days, so no time zone or mktime normalisation comes in.
int64_t daysFromCivil(CivilDate date)
{
    const int64_t year = date.year - (date.month <= 2);
    const int64_t era = (year >= 0 ? year : year - 399) / 400;
    const int64_t yearOfEra = year - era * 400;
    const int64_t dayOfYear = (153 * (date.month + (date.month > 2 ? -3 : 9)) + 2) / 5 + date.day - 1;
    const int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

CivilDate civilFromDays(int64_t days)
{
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const int month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    return {yearOfEra + era * 400 + (month <= 2), month, day};
}

// 00:00 local standard time of a date, made as the date module makes it of
// a date text.
time_t dayStart(CivilDate date)
{
    struct tm start = {};
    start.tm_mday = date.day;
    start.tm_mon = date.month - 1;
    start.tm_year = static_cast<int>(date.year - 1900);
    start.tm_isdst = 0;
    return mktime(&start);
}

}  // namespace

bool oldestDateKept(time_t now, int days, bool keptAtLimit, char* text, size_t size)
{
    const int64_t limit = limitSeconds(days);
    const auto kept = [&](int64_t day) {
        const int64_t age = ageOver(now, dayStart(civilFromDays(day)));
        return keptAtLimit ? age <= limit : age < limit;
    };
    // The clock's date a limit ago lies within a day of the answer, which
    // the rule itself then settles: summer time or not.
    const time_t edge = static_cast<time_t>(static_cast<int64_t>(now) - limit);
    struct tm clock;
    if (!localtime_r(&edge, &clock))
        return false;
    int64_t day = daysFromCivil({int64_t{clock.tm_year} + 1900, clock.tm_mon + 1, clock.tm_mday});
    for (int step = 0; step < 3 && kept(day - 1); ++step)
        --day;
    for (int step = 0; step < 3 && !kept(day); ++step)
        ++day;
    const CivilDate date = civilFromDays(day);
    // The month's name as the date module writes it: February is "Fev".
    char monthText[16];
    char timeText[16];
    DATE_dateTime_Long2Str(monthText, timeText, static_cast<uint32_t>(date.month - 1) << 5);
    std::snprintf(text, size, "%d-%.3s-%lld", date.day, monthText + 3,
                  static_cast<long long>(date.year));
    return true;
}

void ageReason(int64_t age, const char* limitName, int days, bool keptAtLimit, char* text,
               size_t size)
{
    const int64_t whole = age / 86400;
    std::snprintf(text, size, "%s%lld days old, limit %s%d",
                  keptAtLimit && whole == days ? "over " : "", static_cast<long long>(whole),
                  limitName, days);
}

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

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int daysInMonth(int month, int year)
{
    static const int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return kDays[month] + (month == 1 && leap ? 1 : 0);
}

void append(char* text, size_t size, const char* format, unsigned value)
{
    const size_t used = std::strlen(text);
    std::snprintf(text + used, size - used, format, used == 0 ? "" : ", ", value);
}

}  // namespace

DateFault textDateFault(const char* field)
{
    DateFault fault;
    const auto say = [&](const char* why) {
        char shown[64];
        LineText(shown, sizeof shown).field(field, DateCache::kTextSize);
        std::snprintf(fault.why, sizeof fault.why, "date text \"%s\" %s", shown, why);
        return fault;
    };
    if (field[0] == '\0')
        return say("is empty");
    const bool form = (field[0] == ' ' || isDigit(field[0])) && isDigit(field[1]) &&
                      field[2] == '-' && field[6] == '-' && isDigit(field[7]) &&
                      isDigit(field[8]) && isDigit(field[9]) && isDigit(field[10]) &&
                      field[11] == '\0';
    if (!form)
        return say("is not of the form dd-Mon-yyyy");
    int month = -1;
    for (int i = 0; i < 12 && month < 0; ++i)
        if (std::memcmp(field + 3, DATE_monthName(i), 3) == 0)
            month = i;
    // The purges read a name that is not in the node's table as January.
    if (month < 0)
        return say("names no month of the node's (the purges read it as January)");
    const int day = (field[0] == ' ' ? 0 : field[0] - '0') * 10 + field[1] - '0';
    const int year = std::atoi(field + 7);
    if (day < 1 || day > daysInMonth(month, year))
        return say("is no day of the calendar");
    return fault;
}

DateFault packedDateFault(uint32_t dateTime)
{
    const unsigned day = dateTime & 0x1Fu;
    const unsigned month = (dateTime >> 5) & 0x0Fu;
    const unsigned year = ((dateTime >> 9) & 0xFFFu) + 1980u;
    const unsigned minute = (dateTime >> 21) & 0x3Fu;
    const unsigned hour = dateTime >> 27;
    char fields[80] = "";
    if (month > 11)
        append(fields, sizeof fields, "%smonth index %u", month);
    else if (day < 1 || day > static_cast<unsigned>(daysInMonth(static_cast<int>(month),
                                                                 static_cast<int>(year))))
        append(fields, sizeof fields, "%sday %u", day);
    if (hour > 23)
        append(fields, sizeof fields, "%shour %u", hour);
    if (minute > 59)
        append(fields, sizeof fields, "%sminute %u", minute);
    DateFault fault;
    if (fields[0] != '\0')
        std::snprintf(fault.why, sizeof fault.why,
                      "packed date-time 0x%08" PRIX32 " has fields out of range (%s)", dateTime,
                      fields);
    return fault;
}
