// Writes a sample node tree, dated relative to today: the mail directory
// with its message files, the record file of each age purge and a text
// database.  Without DAYS, the demo's tree: mail of several kinds and ages,
// and records from today to 90 days ago.  With DAYS, the package's test
// tree: in each record file one record of each age, in their order, and a
// mail of each age, a bulletin that may be deleted.
//
//   sample_tree DIR [DAYS...]    creates DIR/system/bin, DIR/mail and DIR/run
//
// It needs no more than the headers of the records, so that the package's
// test builds it with one compiler call.
#include "records.hpp"
#include "sample_records.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

struct Mail {
    char type, status;
    int age;
    bool protect;
    std::string title;
};

const Mail kDemoMails[] = {
    {'B', 'N', 2, false, "Club meeting on Friday"},
    {'P', 'N', 45, false, "Old private note"},
    {'B', 'N', 40, false, "Contest results (old)"},
    {'B', 'N', 40, true, "Node rules (kept for ever)"},
    {'P', 'K', 1, false, "Killed by its reader"},
    {'P', 'N', 10, false, "Schedule for tonight"},
    {'B', 'K', 3, true, "Killed but protected"},
    {'B', 'N', 31, false, "Swap meet last month"},
};

bool writeMail(const std::string& root, const std::vector<Mail>& mails)
{
    std::string directory;
    uint32_t number = 101;
    for (const Mail& mail : mails) {
        unsigned char record[sizeof(DirMesStruct)] = {};
        record[offsetof(DirMesStruct, cType)] = static_cast<unsigned char>(mail.type);
        record[offsetof(DirMesStruct, cStatus)] = static_cast<unsigned char>(mail.status);
        putLE32(record + offsetof(DirMesStruct, dwNumber), number);
        putDate(record + offsetof(DirMesStruct, szDate), mail.age);
        putText(record + offsetof(DirMesStruct, szRecipient), sizeof DirMesStruct::szRecipient,
                mail.type == 'P' ? "G4ABC" : "ALL");
        putText(record + offsetof(DirMesStruct, szSender), sizeof DirMesStruct::szSender, "F6XYZ");
        putText(record + offsetof(DirMesStruct, szTitle), sizeof DirMesStruct::szTitle, mail.title.c_str());
        record[offsetof(DirMesStruct, byNoAutoDelete)] = mail.protect ? 1 : 0;
        directory.append(reinterpret_cast<char*>(record), sizeof record);
        char name[64];
        std::snprintf(name, sizeof name, "/mail/m%07u.msg", number);
        const std::string text = mail.title + "\n";
        if (!writeFile(root + name, text.data(), text.size()))
            return false;
        ++number;
    }
    return writeFile(root + "/system/bin/dirmes.bin", directory.data(), directory.size());
}

bool writeSpotFiles(const std::string& bin, const std::vector<int>& ages)
{
    for (const SampleFile& sample : kSampleFiles) {
        std::string records;
        for (int age : ages) {
            std::string record(sample.recordSize, '\0');
            sample.fill(reinterpret_cast<unsigned char*>(record.data()), age);
            records += record;
        }
        if (!writeFile(bin + "/" + sample.stem + ".bin", records.data(), records.size()))
            return false;
    }
    return true;
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

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: sample_tree DIR [DAYS...]\n");
        return 2;
    }
    const std::string root = argv[1];
    std::vector<Mail> mails(std::begin(kDemoMails), std::end(kDemoMails));
    std::vector<int> ages = {0, 1, 6, 13, 29, 30, 31, 45, 90};
    if (argc > 2) {
        mails.clear();
        ages.clear();
        for (int i = 2; i < argc; ++i) {
            const int days = std::atoi(argv[i]);
            ages.push_back(days);
            mails.push_back({'B', 'N', days, false, "Mail of " + std::to_string(days) + " days"});
        }
    }
    for (const char* sub : {"", "/system", "/system/bin", "/mail", "/run"})
        mkdir((root + sub).c_str(), 0777);
    if (!writeMail(root, mails) || !writeSpotFiles(root + "/system/bin", ages) ||
        !writeDatabase(root + "/system/bin")) {
        std::perror("sample_tree");
        return 1;
    }
    return 0;
}
