// The record files of the node, as the node server writes them: fixed-size
// records, no header, little-endian integers.  Every field is a byte array,
// so no padding of the host can move an offset; the offsets and sizes are
// checked here at compile time.
#pragma once

#include <cstddef>
#include <cstdint>

inline uint32_t loadLE32(const unsigned char* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// dirmes.bin: one record per message of the mail directory.
struct DirMesStruct {
    char cType;
    char cStatus;
    unsigned char pad1[2];
    unsigned char dwNumber[4];
    char szDate[12];
    unsigned char byTi_Hour;
    unsigned char byTi_Min;
    char szRecipient[7];
    char szRoute[10];
    char szSender[7];
    char szTitle[61];
    char szStartNode[10];
    char szBid[13];
    char szRcvNode[10];
    unsigned char byNoAutoDelete;
    unsigned char szReserved[100];
    unsigned char pad2[3];
};
static_assert(sizeof(DirMesStruct) == 244);
static_assert(offsetof(DirMesStruct, dwNumber) == 4);
static_assert(offsetof(DirMesStruct, szDate) == 8);
static_assert(offsetof(DirMesStruct, szRecipient) == 22);
static_assert(offsetof(DirMesStruct, szTitle) == 46);
static_assert(offsetof(DirMesStruct, szRcvNode) == 130);
static_assert(offsetof(DirMesStruct, byNoAutoDelete) == 140);
static_assert(offsetof(DirMesStruct, szReserved) == 141);

// announce.bin
struct AnnounceStruct {
    char sFromNode[10];
    char sFromUser[10];
    char cFlag;
    char sString[81];
    char sToWho[21];
    unsigned char align;
    unsigned char lDateTime[4];
};
static_assert(sizeof(AnnounceStruct) == 128);
static_assert(offsetof(AnnounceStruct, sString) == 21);
static_assert(offsetof(AnnounceStruct, sToWho) == 102);
static_assert(offsetof(AnnounceStruct, lDateTime) == 124);

// wwv.bin
struct WwvSpotStruct {
    char sNodeCall[10];
    char sLogger[7];
    char sForecast[81];
    char sDate[12];
    char sTime[5];
    unsigned char align;
    unsigned char iSFI[4];
    unsigned char iA[4];
    unsigned char iK[4];
};
static_assert(sizeof(WwvSpotStruct) == 128);
static_assert(offsetof(WwvSpotStruct, sDate) == 98);
static_assert(offsetof(WwvSpotStruct, sTime) == 110);
static_assert(offsetof(WwvSpotStruct, iSFI) == 116);
static_assert(offsetof(WwvSpotStruct, iK) == 124);

// dx.bin
struct DxSpotStruct {
    char NodeCall[10];
    char Logger[10];
    char DxCall[15];
    char Comments[31];
    char Date[12];
    char Time[5];
    unsigned char align;
    unsigned char Frequency[4];
};
static_assert(sizeof(DxSpotStruct) == 88);
static_assert(offsetof(DxSpotStruct, Date) == 66);
static_assert(offsetof(DxSpotStruct, Time) == 78);
static_assert(offsetof(DxSpotStruct, Frequency) == 84);
