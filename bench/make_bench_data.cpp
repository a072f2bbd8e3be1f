// Writes the large files of the benchmark, dated relative to today.
//   make_bench_data ful MB PATH        a text database of MB megabytes, in
//                                      records of about 330 bytes
//   make_bench_data ful-long MB PATH   the same in records of about 64 KB
//   make_bench_data ful-short MB PATH  the same in records of 64 bytes on
//                                      average: a key, one body line, "&&"
//   make_bench_data dirmes MB DIR      DIR/dirmes.bin, oldest first, and
//                                      DIR/mail/ with the message files of 1
//                                      in 40 of the records that a purge drops
//   make_bench_data PROGRAM MB PATH    the data file of an age purge at PATH,
//                                      oldest first, half of it older than 30
//                                      days; prints the file's own name
#include "records.hpp"
#include "sample_records.hpp"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/stat.h>

namespace {

bool put(FILE* file, const std::string& bytes)
{
    return std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
}

// Each record has bodyLines plus 0 to varying - 1 body lines.
bool writeDatabase(FILE* file, size_t bytes, int bodyLines, int varying, const char* lineText)
{
    std::string block;
    for (int i = 0; block.size() < (size_t{1} << 20); ++i) {
        block.append("K").append(std::to_string(i * 7919 % 1000003)).append("CALL\n");
        for (int line = 0; line < bodyLines + i % varying; ++line)
            block.append("Body line ").append(std::to_string(line)).append(lineText);
        block += "&&\n";
    }
    for (size_t written = 0; written < bytes; written += block.size())
        if (!put(file, block))
            return false;
    return true;
}

// As the node writes it, oldest first over 60 days: a purge with the
// default limits drops the older half, and the records of status K.  Only
// one dropped record in 40 still has its message file, as on a node whose
// old messages were removed before.
bool writeMail(FILE* file, size_t bytes, const std::string& mailDir)
{
    char record[sizeof(DirMesStruct)] = {};
    const size_t records = bytes / sizeof record + (bytes % sizeof record != 0);
    uint32_t droppedCount = 0;
    for (uint32_t number = 0; number < records; ++number) {
        std::memset(record, 'x', sizeof record);
        const int age = 59 - static_cast<int>(uint64_t{number} * 60 / records);
        const bool killed = number % 20 == 0;
        record[offsetof(DirMesStruct, cType)] = number % 3 ? 'B' : 'P';
        record[offsetof(DirMesStruct, cStatus)] = killed ? 'K' : 'N';
        putLE32(record + offsetof(DirMesStruct, dwNumber), number);
        putDate(record + offsetof(DirMesStruct, szDate), age);
        record[offsetof(DirMesStruct, byNoAutoDelete)] = 0;
        if (std::fwrite(record, 1, sizeof record, file) != sizeof record)
            return false;
        if ((killed || age > 30) && droppedCount++ % 40 == 0) {
            char name[64];
            std::snprintf(name, sizeof name, "/m%07u.msg", number);
            FILE* message = std::fopen((mailDir + name).c_str(), "w");
            if (!message || std::fclose(message) != 0)
                return false;
        }
    }
    return true;
}

// The sample record of an age purge, oldest first: the dates run from 59
// days ago to today over the file, so half of it is older than 30 days.
bool writeSpots(FILE* file, size_t bytes, const SampleFile& sample)
{
    constexpr size_t kBlock = size_t{1} << 20;
    const size_t blocks = bytes / kBlock + (bytes % kBlock != 0);
    std::string record(sample.recordSize, '\0');
    std::string block;
    for (size_t b = 0; b < blocks; ++b) {
        sample.fill(reinterpret_cast<unsigned char*>(record.data()), 59 - static_cast<int>(b * 60 / blocks));
        block.clear();
        while (block.size() + record.size() <= kBlock)
            block += record;
        if (!put(file, block))
            return false;
    }
    return true;
}

const SampleFile* sampleOf(const std::string& program)
{
    for (const SampleFile& sample : kSampleFiles)
        if (program == sample.program)
            return &sample;
    return nullptr;
}

}  // namespace

int main(int argc, char* argv[])
{
    const std::string kind = argc == 4 ? argv[1] : "";
    const SampleFile* sample = sampleOf(kind);
    if (!sample && kind != "ful" && kind != "ful-long" && kind != "ful-short" && kind != "dirmes") {
        std::fprintf(stderr, "usage: make_bench_data ful|ful-long|ful-short|dirmes|AGE-PURGE MB PATH\n");
        return 2;
    }
    const size_t bytes = std::strtoul(argv[2], nullptr, 10) << 20;
    std::string path = argv[3];
    std::string mailDir;
    if (kind == "dirmes") {
        mailDir = path + "/mail";
        if (mkdir(mailDir.c_str(), 0777) != 0 && errno != EEXIST) {
            std::perror(mailDir.c_str());
            return 1;
        }
        path += "/dirmes.bin";
    }
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) {
        std::perror(path.c_str());
        return 1;
    }
    const char* const kLine = " of a record, with some text & more text\n";
    // Keys average 12 bytes: with the separator, a 49-byte body line makes 64.
    const char* const kShortLine = " of a short record, with text & more.\n";
    const bool written = kind == "ful"         ? writeDatabase(file, bytes, 3, 5, kLine)
                         : kind == "ful-long"  ? writeDatabase(file, bytes, 1000, 5, kLine)
                         : kind == "ful-short" ? writeDatabase(file, bytes, 1, 1, kShortLine)
                         : kind == "dirmes"    ? writeMail(file, bytes, mailDir)
                                               : writeSpots(file, bytes, *sample);
    if (std::fclose(file) != 0 || !written) {
        std::perror(path.c_str());
        return 1;
    }
    if (sample)
        std::printf("%s.bin\n", sample->stem);
    return 0;
}
