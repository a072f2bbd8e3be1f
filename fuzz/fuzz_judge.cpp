// Arbitrary argument lists and record bytes through the options and the
// judgement of the purges: no crash, no read outside a record.
#include "age_purge.hpp"
#include "mail_purge.hpp"
#include "purge_command_line.hpp"
#include "records.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    setenv("TZ", "UTC", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Up to the first 0xFF byte: arguments separated by NUL bytes; the rest:
    // records.
    const uint8_t* split = static_cast<const uint8_t*>(std::memchr(data, 0xFF, size));
    const size_t argumentBytes = split ? static_cast<size_t>(split - data) : size;
    std::vector<std::string> arguments = {"PROGRAM"};
    std::string current;
    for (size_t i = 0; i < argumentBytes; ++i) {
        if (data[i] == 0) {
            arguments.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    arguments.push_back(current);
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());

    const PurgeCommand mailCommand =
        readCommandLine(kMailPurge, static_cast<int>(argv.size()), argv.data());
    const PurgeCommand ageCommand =
        readCommandLine(kAgePurge, static_cast<int>(argv.size()), argv.data());
    const PurgeSettings& mail = mailCommand.settings;
    const bool mailRuns = mailCommand.letters == LettersRead::Run;
    if (mail.nBullDelete < 1 || mail.nPrivDelete < 1 || ageCommand.settings.nDelDays < 1)
        std::abort();

    const uint8_t* records = split ? split + 1 : data + size;
    const size_t recordBytes = static_cast<size_t>(data + size - records);
    DateCache* dates = new DateCache;
    for (size_t at = 0; at + sizeof(DirMesStruct) <= recordBytes; at += sizeof(DirMesStruct)) {
        auto* record = static_cast<unsigned char*>(std::malloc(sizeof(DirMesStruct)));
        std::memcpy(record, records + at, sizeof(DirMesStruct));
        mailRecordDropped(record, mail, 1796644800, *dates);
        char path[kPathSize];
        if (mailRuns && longestMessagePath(mail.szMailPath) <= kPathSize &&
            !buildMessagePath(path, sizeof path, mail.szMailPath, mailNumber(record)))
            std::abort();
        std::free(record);
    }
    for (size_t at = 0; at + sizeof(DxSpotStruct) <= recordBytes; at += sizeof(DxSpotStruct)) {
        auto* record = static_cast<unsigned char*>(std::malloc(sizeof(DxSpotStruct)));
        std::memcpy(record, records + at, sizeof(DxSpotStruct));
        const char* date = reinterpret_cast<const char*>(record + offsetof(DxSpotStruct, Date));
        keptByAge(dates->fromText(date), 1796644800, ageCommand.settings.nDelDays);
        keptByAge(dates->fromPacked(loadLE32(record)), 1796644800, ageCommand.settings.nDelDays);
        std::free(record);
    }
    delete dates;
    return 0;
}
