// The sample records of the node's files, as the node server writes them,
// dated relative to today: for the sample tree of the demo and of the
// package's test (sample_tree), and the files of the benchmark.
#pragma once

#include "records.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>

// Writes a file of the sample tree whole; false where a step failed.
inline bool writeFile(const std::string& path, const void* bytes, size_t size)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

inline struct tm daysAgo(int days)
{
    const time_t then = time(nullptr) - static_cast<time_t>(days) * 86400;
    struct tm local;
    localtime_r(&then, &local);
    return local;
}

// The date text dd-Mon-yyyy, with its terminator, of the day days ago.
inline void putDate(void* field, int days)
{
    static const char* const months[] = {"Jan", "Fev", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const struct tm day = daysAgo(days);
    char text[32];
    std::snprintf(text, sizeof text, "%2d-%s-%04d", day.tm_mday, months[day.tm_mon],
                  day.tm_year + 1900);
    std::memcpy(field, text, 12);
}

inline void putLE32(void* field, uint32_t value)
{
    auto* bytes = static_cast<unsigned char*>(field);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The packed date-time of the day days ago, at hour:minute.
inline uint32_t packedDaysAgo(int days, unsigned hour, unsigned minute)
{
    const struct tm day = daysAgo(days);
    return static_cast<uint32_t>(day.tm_mday) | static_cast<uint32_t>(day.tm_mon) << 5 |
           static_cast<uint32_t>(day.tm_year + 1900 - 1980) << 9 | minute << 21 | hour << 27;
}

// text in a field of size bytes, cut to leave its terminator.
inline void putText(unsigned char* field, size_t size, const char* text)
{
    const size_t length = std::strlen(text);
    std::memcpy(field, text, length < size ? length : size - 1);
}

inline void fillAnnouncement(unsigned char* r, int days)
{
    putText(r + offsetof(AnnounceStruct, sFromNode), sizeof AnnounceStruct::sFromNode, "F6KDX");
    putText(r + offsetof(AnnounceStruct, sFromUser), sizeof AnnounceStruct::sFromUser, "F5NET");
    putText(r + offsetof(AnnounceStruct, sToWho), sizeof AnnounceStruct::sToWho, "ALL");
    putText(r + offsetof(AnnounceStruct, sString), sizeof AnnounceStruct::sString, "Net on 3.650 tonight");
    putLE32(r + offsetof(AnnounceStruct, lDateTime), packedDaysAgo(days, 18, 30));
}

inline void fillWwvReport(unsigned char* r, int days)
{
    putText(r + offsetof(WwvSpotStruct, sNodeCall), sizeof WwvSpotStruct::sNodeCall, "F6KDX");
    putText(r + offsetof(WwvSpotStruct, sLogger), sizeof WwvSpotStruct::sLogger, "DK0WCY");
    putText(r + offsetof(WwvSpotStruct, sForecast), sizeof WwvSpotStruct::sForecast, "SFI=142 A=8 K=2");
    putDate(r + offsetof(WwvSpotStruct, sDate), days);
    putText(r + offsetof(WwvSpotStruct, sTime), sizeof WwvSpotStruct::sTime, "1800");
}

inline void fillDxSpot(unsigned char* r, int days)
{
    putText(r + offsetof(DxSpotStruct, NodeCall), sizeof DxSpotStruct::NodeCall, "F6KDX");
    putText(r + offsetof(DxSpotStruct, Logger), sizeof DxSpotStruct::Logger, "EA8XYZ");
    putText(r + offsetof(DxSpotStruct, DxCall), sizeof DxSpotStruct::DxCall, "VP8ABC");
    putText(r + offsetof(DxSpotStruct, Comments), sizeof DxSpotStruct::Comments, "CW up 2");
    putDate(r + offsetof(DxSpotStruct, Date), days);
    putText(r + offsetof(DxSpotStruct, Time), sizeof DxSpotStruct::Time, "1230");
    putLE32(r + offsetof(DxSpotStruct, Frequency), 14025);
}

// The file of each age purge, and a record of it dated days ago: the
// record is all zero bytes before.
struct SampleFile {
    const char* program;  // "MIRKOS"
    const char* stem;     // "dx": dx.bin
    size_t recordSize;
    void (*fill)(unsigned char* record, int days);
};

inline const SampleFile kSampleFiles[] = {
    {"VOSKIL", "announce", sizeof(AnnounceStruct), fillAnnouncement},
    {"TRABEN", "wwv", sizeof(WwvSpotStruct), fillWwvReport},
    {"MIRKOS", "dx", sizeof(DxSpotStruct), fillDxSpot},
};
