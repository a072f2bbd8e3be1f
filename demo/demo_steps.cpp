// The steps of the demo that take the programs' own table: lists a record
// file as --verbose shows the records that a purge drops, and leaves the
// files of a DX spot purge as a kill halfway through its rewrite does.
//
//   demo_steps list PROGRAM BIN             the data file of PROGRAM in BIN
//   demo_steps interrupt-mirkos BIN DAYS    after MIRKOS D=DAYS ran whole on BIN
#include "purge_mark.hpp"
#include "purge_programs.hpp"
#include "sample_records.hpp"

#include <cstddef>
#include <cstdio>
#include <ctime>
#include <string>

namespace {

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

// Lists the whole records of a program's data file in bin, a line each, as
// its row describes them, after the file's name.
int list(const char* name, const std::string& bin)
{
    const PurgeProgram* program = findPurgeProgram(name);
    if (!program) {
        std::fprintf(stderr, "demo_steps: no purge named %s\n", name);
        return 2;
    }
    const ProgramFileName data = programFile(*program, ".bin");
    const std::string path = bin + "/" + data.text;
    std::printf("%s:\n", data.text);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        std::perror(path.c_str());
        return 1;
    }
    std::string record(program->recordSize, '\0');
    char line[256];
    while (std::fread(record.data(), record.size(), 1, file) == 1) {
        program->describe(reinterpret_cast<const unsigned char*>(record.data()), line, sizeof line);
        std::printf("  %s\n", line);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        std::perror(path.c_str());
    return failed ? 1 : 0;
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
        std::perror("demo_steps");
        return 1;
    }
    if (kept.size() > before.size()) {
        std::fprintf(stderr, "demo_steps: %s is longer than its backup: MIRKOS did not run whole\n",
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
        std::fprintf(stderr, "demo_steps: the mark of %s does not fit\n", data.c_str());
        return 1;
    }
    const size_t half = kept.size() / kMirkos.recordSize / 2 * kMirkos.recordSize;
    const std::string partial = kept.substr(0, half) + before.substr(half, kept.size() - half);
    // The mark is on disk before the data file is touched, as the tool has it.
    if (!writeFile(bin + "/" + programFile(kMirkos, ".purging").text, text, length) ||
        !writeFile(data, partial.data(), partial.size())) {
        std::perror("demo_steps");
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
    std::fprintf(stderr, "usage: demo_steps list PROGRAM BIN\n       demo_steps interrupt-mirkos BIN DAYS\n");
    return 2;
}
