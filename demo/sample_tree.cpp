// Writes a sample node tree for the demo: the mail directory with its
// message files, the announcement, WWV and DX spot files, and a text
// database, all dated relative to today; and lists a record file, a line a
// record, as --verbose shows the records that a purge drops; and leaves the
// files of a DX spot purge as a kill halfway through its rewrite does.
//
//   sample_tree DIR                              creates DIR/system/bin, DIR/mail and DIR/run
//   sample_tree list dirmes|announce|wwv|dx FILE
//   sample_tree interrupt-mirkos BIN DAYS        after MIRKOS D=DAYS ran whole on BIN
#include "purge_mark.hpp"
#include "purge_programs.hpp"
#include "records.hpp"
#include "sample_records.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>

namespace {

void putText(unsigned char* field, size_t size, const char* text)
{
    const size_t length = std::strlen(text);
    std::memcpy(field, text, length < size ? length : size - 1);
}

bool writeFile(const std::string& path, const void* bytes, size_t size)
{
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(bytes, 1, size, file) == size;
    return std::fclose(file) == 0 && written;
}

bool readFile(const std::string& path, std::string& bytes)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    char buffer[65536];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.append(buffer, got);
    const bool failed = std::ferror(file) != 0;
    return std::fclose(file) == 0 && !failed;
}

struct Mail {
    char type, status;
    int age;
    bool protect;
    const char* title;
};

bool writeMail(const std::string& root)
{
    const Mail mails[] = {
        {'B', 'N', 2, false, "Club meeting on Friday"},
        {'P', 'N', 45, false, "Old private note"},
        {'B', 'N', 40, false, "Contest results (old)"},
        {'B', 'N', 40, true, "Node rules (kept for ever)"},
        {'P', 'K', 1, false, "Killed by its reader"},
        {'P', 'N', 10, false, "Schedule for tonight"},
        {'B', 'K', 3, true, "Killed but protected"},
        {'B', 'N', 31, false, "Swap meet last month"},
    };
    std::string directory;
    uint32_t number = 101;
    for (const Mail& mail : mails) {
        unsigned char record[sizeof(DirMesStruct)] = {};
        record[offsetof(DirMesStruct, cType)] = static_cast<unsigned char>(mail.type);
        record[offsetof(DirMesStruct, cStatus)] = static_cast<unsigned char>(mail.status);
        putLE32(record + offsetof(DirMesStruct, dwNumber), number);
        putDate(record + offsetof(DirMesStruct, szDate), mail.age);
        putText(record + offsetof(DirMesStruct, szRecipient), 7, mail.type == 'P' ? "G4ABC" : "ALL");
        putText(record + offsetof(DirMesStruct, szSender), 7, "F6XYZ");
        putText(record + offsetof(DirMesStruct, szTitle), 61, mail.title);
        record[offsetof(DirMesStruct, byNoAutoDelete)] = mail.protect ? 1 : 0;
        directory.append(reinterpret_cast<char*>(record), sizeof record);
        char name[64];
        std::snprintf(name, sizeof name, "/mail/m%07u.msg", number);
        const std::string text = std::string(mail.title) + "\n";
        if (!writeFile(root + name, text.data(), text.size()))
            return false;
        ++number;
    }
    return writeFile(root + "/system/bin/dirmes.bin", directory.data(), directory.size());
}

template <typename Fill>
bool writeSpots(const std::string& path, size_t size, Fill fill)
{
    const int ages[] = {0, 1, 6, 13, 29, 30, 31, 45, 90};
    std::string records;
    for (int age : ages) {
        std::string record(size, '\0');
        fill(reinterpret_cast<unsigned char*>(record.data()), age);
        records += record;
    }
    return writeFile(path, records.data(), records.size());
}

bool writeSpotFiles(const std::string& bin)
{
    return writeSpots(bin + "/announce.bin", sizeof(AnnounceStruct),
                      [](unsigned char* r, int age) {
                          putText(r + offsetof(AnnounceStruct, sFromNode), 10, "F6KDX");
                          putText(r + offsetof(AnnounceStruct, sFromUser), 10, "F5NET");
                          putText(r + offsetof(AnnounceStruct, sToWho), 21, "ALL");
                          putText(r + offsetof(AnnounceStruct, sString), 81, "Net on 3.650 tonight");
                          putLE32(r + offsetof(AnnounceStruct, lDateTime), packedDaysAgo(age, 18, 30));
                      }) &&
           writeSpots(bin + "/wwv.bin", sizeof(WwvSpotStruct),
                      [](unsigned char* r, int age) {
                          putText(r + offsetof(WwvSpotStruct, sNodeCall), 10, "F6KDX");
                          putText(r + offsetof(WwvSpotStruct, sLogger), 7, "DK0WCY");
                          putText(r + offsetof(WwvSpotStruct, sForecast), 81, "SFI=142 A=8 K=2");
                          putDate(r + offsetof(WwvSpotStruct, sDate), age);
                          putText(r + offsetof(WwvSpotStruct, sTime), 5, "1800");
                      }) &&
           writeSpots(bin + "/dx.bin", sizeof(DxSpotStruct), [](unsigned char* r, int age) {
               putText(r + offsetof(DxSpotStruct, NodeCall), 10, "F6KDX");
               putText(r + offsetof(DxSpotStruct, Logger), 10, "EA8XYZ");
               putText(r + offsetof(DxSpotStruct, DxCall), 15, "VP8ABC");
               putText(r + offsetof(DxSpotStruct, Comments), 31, "CW up 2");
               putDate(r + offsetof(DxSpotStruct, Date), age);
               putText(r + offsetof(DxSpotStruct, Time), 5, "1230");
               putLE32(r + offsetof(DxSpotStruct, Frequency), 14025);
           });
}

bool writeDatabase(const std::string& bin)
{
    std::string text;
    const char* keys[] = {"F6ABC", "G4XYZ", "DL1ZZ", "VP8ABC", "JA1AA"};
    for (const char* key : keys)
        text += std::string(key) + "\nName: operator of " + key + "\nQTH: somewhere\n&&\n";
    // A long record: the record after it needs continuation entries.
    text += "Records\n" + std::string(1000, '.') + "\n&&\nZL2AB\nName: last one\n&&\n";
    return writeFile(bin + "/callbook.ful", text.data(), text.size());
}

// Lists the whole records of a program's file, a line each, as its row
// describes them.
int list(const std::string& stem, const char* path)
{
    for (const PurgeProgram* program : kPurgePrograms) {
        if (stem != program->fileStem)
            continue;
        FILE* file = std::fopen(path, "rb");
        if (!file) {
            std::perror(path);
            return 1;
        }
        std::string record(program->recordSize, '\0');
        char line[256];
        while (std::fread(record.data(), record.size(), 1, file) == 1) {
            program->describe(reinterpret_cast<const unsigned char*>(record.data()), line,
                              sizeof line);
            std::printf("  %s\n", line);
        }
        const bool failed = std::ferror(file) != 0;
        std::fclose(file);
        if (failed)
            std::perror(path);
        return failed ? 1 : 0;
    }
    std::fprintf(stderr, "sample_tree: no such kind of file: %s\n", stem.c_str());
    return 2;
}

// The files as MIRKOS leaves them when it is killed halfway through its
// rewrite, made from those of a whole run on bin: the backup as it was, the
// data file at the kept length with the first half of the kept spots
// written over the bytes it held before, and the mark that the tool itself
// writes, the truncation on disk.  A demo with a mark of its own making
// would show a recovery from a file that no run leaves.
int interruptMirkos(const std::string& bin, const char* days)
{
    const std::string data = bin + "/" + programFile(kMirkos, ".bin").text;
    const std::string backup = bin + "/" + programFile(kMirkos, ".old").text;
    std::string kept, before;
    if (!readFile(data, kept) || !readFile(backup, before)) {
        std::perror("sample_tree");
        return 1;
    }
    if (kept.size() > before.size()) {
        std::fprintf(stderr, "sample_tree: %s is longer than its backup: MIRKOS did not run whole\n",
                     data.c_str());
        return 1;
    }
    PurgeMark mark;
    mark.backupLength = before.size();
    mark.keptLength = kept.size();
    mark.judgementTime = std::time(nullptr);
    mark.truncationDurable = true;
    std::snprintf(mark.settings, sizeof mark.settings, "D=%s", days);
    char text[kMarkTextSize];
    size_t length = 0;
    size_t truncationAt = 0;
    if (!formatMark(mark, kMirkos.name, data.c_str(), backup.c_str(), text, sizeof text, length,
                    truncationAt)) {
        std::fprintf(stderr, "sample_tree: the mark of %s does not fit\n", data.c_str());
        return 1;
    }
    const size_t half = kept.size() / kMirkos.recordSize / 2 * kMirkos.recordSize;
    const std::string partial = kept.substr(0, half) + before.substr(half, kept.size() - half);
    // The mark is on disk before the data file is touched, as the tool has it.
    if (!writeFile(bin + "/" + programFile(kMirkos, ".purging").text, text, length) ||
        !writeFile(data, partial.data(), partial.size())) {
        std::perror("sample_tree");
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc == 4 && std::string(argv[1]) == "list")
        return list(argv[2], argv[3]);
    if (argc == 4 && std::string(argv[1]) == "interrupt-mirkos")
        return interruptMirkos(argv[2], argv[3]);
    if (argc != 2) {
        std::fprintf(stderr, "usage: sample_tree DIR\n       sample_tree list dirmes|announce|wwv|dx FILE\n"
                             "       sample_tree interrupt-mirkos BIN DAYS\n");
        return 2;
    }
    const std::string root = argv[1];
    for (const char* sub : {"", "/system", "/system/bin", "/mail", "/run"})
        mkdir((root + sub).c_str(), 0777);
    if (!writeMail(root) || !writeSpotFiles(root + "/system/bin") ||
        !writeDatabase(root + "/system/bin")) {
        std::perror("sample_tree");
        return 1;
    }
    return 0;
}
