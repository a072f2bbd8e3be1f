// dbindex: builds the .idx index of a .ful text database in one pass.
#include "console.hpp"
#include "index_builder.hpp"
#include "line_stream.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

enum Status {
    kDone = 0,
    kNoName = 1,
    kCannotOpenDatabase = 2,
    kCannotOpenIndex = 3,
    kNameTooLong = 4,
    kReadFailed = 5,
    kWriteFailed = 6,
    kOutputFailed = 7,
    kIndexDiffers = 8,
};

const char kUsage[] =
    "usage: dbindex NAME\n"
    "       dbindex --check NAME\n"
    "       dbindex --help\n"
    "\n"
    "Builds NAME.idx, the index of the text database NAME.ful, in one pass.\n"
    "NAME is cut at its first full stop and folded to lower case, directory\n"
    "parts included: Base.FUL and base both index base.ful into base.idx.\n"
    "With --check, builds the index in memory and compares it with NAME.idx,\n"
    "writing nothing; where they differ it names the first record that does.\n"
    "\n"
    "Exit status:\n"
    "  0  the index was written\n"
    "  1  no database name was given\n"
    "  2  the .ful file cannot be opened for reading\n"
    "  3  the .idx file cannot be opened for writing\n"
    "  4  the name does not fit: more than 255 characters, or more than 251\n"
    "     once cut at its first full stop; no file is opened\n"
    "  5  the .ful file could not be read to its end; the index is partial\n"
    "  6  the .idx file could not be written or closed (the index is partial),\n"
    "     or with --check could not be read\n"
    "  7  standard output could not be written\n"
    "  8  with --check: the index differs from the database\n";

constexpr size_t kPathSize = 256;
constexpr size_t kSuffixLength = 4;  // ".ful", ".idx"

struct Paths {
    char szDatabase[kPathSize];
    char szIndex[kPathSize];
};

// The name is copied whole, cut at its first full stop and folded to lower
// case; the two paths get their suffixes.  False when it does not fit.
bool buildPaths(const char* argument, Paths& paths)
{
    if (std::strlen(argument) >= kPathSize)
        return false;
    std::strcpy(paths.szDatabase, argument);
    if (char* dot = std::strchr(paths.szDatabase, '.'))
        *dot = '\0';
    STR_lower(paths.szDatabase);
    // The cut name plus a four-character suffix and the terminator fit.
    if (std::strlen(paths.szDatabase) + kSuffixLength >= kPathSize)
        return false;
    std::strcpy(paths.szIndex, paths.szDatabase);
    std::strcat(paths.szDatabase, ".ful");
    std::strcat(paths.szIndex, ".idx");
    return true;
}

int reportOpenFailure(char* path, int status)
{
    std::printf("*** Error : Enable to open %s\n", STR_upper(path));
    return status;
}

int reportIoFailure(const char* verb, char* path, int error, int status)
{
    std::printf("\n*** Error : can't %s %s: %s\n", verb, STR_upper(path), std::strerror(error));
    return status;
}

// 0, or the error of a failed close.
int closeError(int fd) { return close(fd) == 0 ? 0 : errno; }

// The failure to read the database to its end or to close it, or kDone.
int databaseFailure(Paths& paths, const LineStream& database, int closeError)
{
    if (database.failed())
        return reportIoFailure("read", paths.szDatabase, database.error(), kReadFailed);
    if (closeError != 0)
        return reportIoFailure("close", paths.szDatabase, closeError, kReadFailed);
    return kDone;
}

// Opens the database, then the index with indexFlags (the index is never
// touched when the database cannot be opened), and announces the work; a
// status other than kDone when an open failed.
int openFiles(Paths& paths, int indexFlags, const char* work, int& ful, int& idx)
{
    ful = open(paths.szDatabase, O_RDONLY);
    if (ful < 0)
        return reportOpenFailure(paths.szDatabase, kCannotOpenDatabase);
    idx = open(paths.szIndex, indexFlags, 0666);
    if (idx < 0) {
        close(ful);
        return reportOpenFailure(paths.szIndex, kCannotOpenIndex);
    }
    char szShownIndex[kPathSize];
    std::strcpy(szShownIndex, paths.szIndex);
    std::printf("\n%s database index file %s ... ", work, STR_upper(szShownIndex));
    std::fflush(stdout);
    return kDone;
}

int indexDatabase(Paths& paths)
{
    int ful = -1;
    int idx = -1;
    if (const int status = openFiles(paths, O_WRONLY | O_CREAT | O_TRUNC, "Creating", ful, idx);
        status != kDone)
        return status;

    const int column = CON_column();
    const int row = CON_row();
    FdSource source(ful);
    LineStream database(source, LineStream::kDefaultBlock, ReadAhead::On);
    IndexWriter writer(idx);
    IDX_build(database, writer, column, row);
    writer.flush();
    const int indexCloseError = closeError(idx);
    const int databaseCloseError = closeError(ful);

    if (const int status = databaseFailure(paths, database, databaseCloseError); status != kDone)
        return status;
    if (writer.failed())
        return reportIoFailure("write", paths.szIndex, writer.error(), kWriteFailed);
    if (indexCloseError != 0)
        return reportIoFailure("close", paths.szIndex, indexCloseError, kWriteFailed);
    CON_moveTo(column, row);
    std::printf("Done.\n");
    return kDone;
}

// A key line as it can be shown on one line: bytes outside printable ASCII
// as \xNN.
void printKeyLine(const char* line)
{
    for (const char* p = line; *p != '\0'; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte >= 0x20 && byte < 0x7F && byte != '\\')
            std::putchar(byte);
        else
            std::printf("\\x%02X", byte);
    }
}

int reportDifference(const char* what, const IndexChecker& checker)
{
    std::printf("\n*** Error : %s offset %llu, key line \"", what,
                static_cast<unsigned long long>(checker.offset()));
    printKeyLine(checker.keyLine());
    std::printf("\"\n");
    return kIndexDiffers;
}

// Builds the index in memory and compares it with the one on disk; nothing
// is written.
int checkIndex(Paths& paths)
{
    int ful = -1;
    int idx = -1;
    if (const int status = openFiles(paths, O_RDONLY, "Checking", ful, idx); status != kDone)
        return status;

    FdSource source(ful);
    LineStream database(source, LineStream::kDefaultBlock, ReadAhead::On);
    FdSource indexSource(idx);
    IndexChecker checker(indexSource);
    IDX_build(database, checker, CON_column(), CON_row());
    const IndexChecker::Verdict verdict = checker.finish();
    const int indexCloseError = closeError(idx);
    const int databaseCloseError = closeError(ful);

    if (const int status = databaseFailure(paths, database, databaseCloseError); status != kDone)
        return status;
    if (indexCloseError != 0)
        return reportIoFailure("close", paths.szIndex, indexCloseError, kWriteFailed);
    switch (verdict) {
    case IndexChecker::Verdict::Agrees:
        std::printf("agrees with the database (%llu records).\n",
                    static_cast<unsigned long long>(checker.records()));
        return kDone;
    case IndexChecker::Verdict::RecordDiffers:
        return reportDifference("the index differs from the database at the record at", checker);
    case IndexChecker::Verdict::IndexEndsEarly:
        return reportDifference("the index ends before the record at", checker);
    case IndexChecker::Verdict::IndexRunsOn:
        std::printf("\n*** Error : the index holds entries after the last record (%llu records)\n",
                    static_cast<unsigned long long>(checker.records()));
        return kIndexDiffers;
    case IndexChecker::Verdict::ReadFailed:
        break;
    }
    return reportIoFailure("read", paths.szIndex, checker.error(), kWriteFailed);
}

// Standard output is checked to its final close: a full disk or a closed
// pipe must not pass for success.
int finish(int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || std::fclose(stdout) != 0) {
        std::fprintf(stderr, "dbindex: standard output: %s\n", std::strerror(errno));
        if (status == kDone)
            return kOutputFailed;
    }
    return status;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kUsage, stdout);
        return finish(kDone);
    }
    const bool check = argc >= 2 && std::strcmp(argv[1], "--check") == 0;
    const char* name = argv[check ? 2 : 1];
    IDX_spinInteractive(isatty(STDOUT_FILENO) == 1);
    std::printf("Halvik's Kavex DataBase indexation utility v2.0\n");
    if (argc < (check ? 3 : 2)) {
        std::printf("\n*** Error : can't continue.\nYou must specified the database name\n");
        return finish(kNoName);
    }
    Paths paths;
    if (!buildPaths(name, paths)) {
        std::printf("*** Error : database name too long: at most 255 characters, 251 once cut\n");
        return finish(kNameTooLong);
    }
    return finish(check ? checkIndex(paths) : indexDatabase(paths));
}
