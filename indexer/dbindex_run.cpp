// A run of dbindex: the options, the names, the identity a run started by
// root takes, then the build or the check of the index.
#include "dbindex_run.hpp"

#include "dbindex_output.hpp"

#include "console.hpp"
#include "index_builder.hpp"
#include "index_check.hpp"
#include "index_file.hpp"
#include "line_stream.hpp"
#include "owner_identity.hpp"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char kBanner[] = "Halvik's Kavex DataBase indexation utility v2.0\n";

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

// What a failure leaves: a new index is put in place only when it is whole.
const char kLeftAsItWas[] = "; the index on disk is left as it was";

// 0, or the error of a failed close.
int closeError(FileIo& io, int fd) { return io.close(fd) == 0 ? 0 : errno; }

// The failure to read the database to its end or to close it, or kDone.
int databaseFailure(const Paths& paths, const LineStream& database, int closeError,
                    const char* after = "")
{
    if (database.failed())
        return reportIoFailure("read", paths.szDatabase, database.error(), kReadFailed, after);
    if (closeError != 0)
        return reportIoFailure("close", paths.szDatabase, closeError, kReadFailed, after);
    return kDone;
}

// Opens the database: a regular file alone, never waited on.  The index is
// never touched when that fails.
int openToRead(FileIo& io, const char* path, int status, RegularFile& file)
{
    file = openRegularFile(io, path, O_RDONLY);
    return file.fd < 0 ? reportOpenFailure(path, status, file.notRegular) : kDone;
}

int indexNotOpened(FileIo& io, int ful, const char* path, mode_t notRegular)
{
    const int error = errno;
    io.close(ful);  // only read: nothing to lose
    errno = error;
    return reportOpenFailure(path, kCannotOpenIndex, notRegular);
}

void announce(const char* work, const Paths& paths)
{
    std::printf("\n%s database index file %s ... ", work, ShownPath(paths.szIndex).text);
    std::fflush(stdout);
}

// The new index is put in place, or the failure is told with what it left.
int placeIndex(IndexFile& index, const Paths& paths)
{
    if (index.commit())
        return kDone;
    if (!index.placed())
        return reportIoFailure("write", paths.szIndex, errno, kWriteFailed, kLeftAsItWas);
    return reportIoFailure(index.failedStep(), paths.szIndex, errno, kWriteFailed,
                           index.durable() ? "; the new index is in place"
                                           : "; the new index is in place, but a crash may undo that");
}

int indexDatabase(FileIo& io, const Paths& paths, ReadAhead readAhead)
{
    RegularFile ful;
    if (const int status = openToRead(io, paths.szDatabase, kCannotOpenDatabase, ful); status != kDone)
        return status;
    // A first index shows no more than its database does.
    IndexFile index(io);
    const int idx = index.open(paths.szIndex, ful.status.st_mode);
    if (idx < 0)
        return indexNotOpened(io, ful.fd, index.failedPath(), index.notRegular());
    announce("Creating", paths);

    const int column = CON_column();
    const int row = CON_row();
    FdSource source(io, ful.fd);
    LineStream database(source, LineStream::kDefaultBlock, readAhead);
    IndexWriter writer(io, idx);
    IDX_build(database, writer, column, row);
    writer.flush();
    const int databaseCloseError = closeError(io, ful.fd);

    if (const int status = databaseFailure(paths, database, databaseCloseError, kLeftAsItWas);
        status != kDone) {
        index.abandon();
        return status;
    }
    if (writer.failed()) {
        index.abandon();
        return reportIoFailure("write", paths.szIndex, writer.error(), kWriteFailed, kLeftAsItWas);
    }
    if (const int status = placeIndex(index, paths); status != kDone)
        return status;
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

void tellDifference(const Paths& paths)
{
    std::fprintf(errors(), "dbindex: %s does not agree with %s\n", paths.szIndex, paths.szDatabase);
}

int reportDifference(const char* what, const IndexChecker& checker, const Paths& paths)
{
    std::printf("\n*** Error : %s offset %llu, key line \"", what,
                static_cast<unsigned long long>(checker.offset()));
    printKeyLine(checker.keyLine());
    std::printf("\"\n");
    tellDifference(paths);
    return kIndexDiffers;
}

// Builds the index in memory and compares it with the one on disk; nothing
// is written.
int checkIndex(FileIo& io, const Paths& paths, ReadAhead readAhead)
{
    RegularFile ful;
    if (const int status = openToRead(io, paths.szDatabase, kCannotOpenDatabase, ful); status != kDone)
        return status;
    const RegularFile idx = openRegularFile(io, paths.szIndex, O_RDONLY);
    if (idx.fd < 0)
        return indexNotOpened(io, ful.fd, paths.szIndex, idx.notRegular);
    announce("Checking", paths);

    FdSource source(io, ful.fd);
    LineStream database(source, LineStream::kDefaultBlock, readAhead);
    FdSource indexSource(io, idx.fd);
    IndexChecker checker(indexSource);
    IDX_build(database, checker, CON_column(), CON_row());
    const IndexChecker::Verdict verdict = checker.finish();
    const int indexCloseError = closeError(io, idx.fd);
    const int databaseCloseError = closeError(io, ful.fd);

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
        return reportDifference("the index differs from the database at the record at", checker,
                                paths);
    case IndexChecker::Verdict::IndexEndsEarly:
        return reportDifference("the index ends before the record at", checker, paths);
    case IndexChecker::Verdict::IndexRunsOn:
        std::printf("\n*** Error : the index holds entries after the last record (%llu records)\n",
                    static_cast<unsigned long long>(checker.records()));
        tellDifference(paths);
        return kIndexDiffers;
    case IndexChecker::Verdict::ReadFailed:
        break;
    }
    return reportIoFailure("read", paths.szIndex, checker.error(), kWriteFailed);
}

// Standard output is checked: a full disk or a closed pipe must not pass
// for success.
int finish(int status)
{
    const bool flushed = std::fflush(stdout) == 0;
    if (!flushed || std::ferror(stdout)) {
        // A write that failed earlier left no error to tell.
        std::fprintf(stderr, "dbindex: standard output: %s\n",
                     flushed ? "a write failed" : std::strerror(errno));
        if (status == kDone)
            return kOutputFailed;
    }
    return status;
}

struct Options {
    bool check = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    const char* name = nullptr;  // the first argument that is no option
};

// The options may stand anywhere; an unknown word that begins with -- is
// refused, and the arguments after the name are ignored, each with a note.
bool readOptions(int argc, char* argv[], Options& options)
{
    const struct {
        const char* word;
        bool* flag;
    } known[] = {{"--check", &options.check}, {"--quiet", &options.quiet},
                 {"--help", &options.help}, {"--version", &options.version}};
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        bool taken = false;
        for (const auto& option : known) {
            if (std::strcmp(argument, option.word) == 0) {
                *option.flag = true;
                taken = true;
            }
        }
        if (taken)
            continue;
        if (argument[0] == '-' && argument[1] == '-') {
            std::fprintf(stderr, "dbindex: unknown option %s: no file was opened\n", argument);
            printDbindexSynopsis(stderr);
            return false;
        }
        if (options.name)
            std::fprintf(stderr, "dbindex: argument '%s' ignored\n", argument);
        else
            options.name = argument;
    }
    return true;
}

// Started by root, the run takes the identity of the database directory's
// owner before it opens any file there; its refusal names the directory as
// the system saw it.
int actAsDatabaseOwner(const Paths& paths)
{
    char directory[kPathSize];
    directoryOf(paths.szDatabase, directory, sizeof directory);
    const Identity identity = actAsOwner("dbindex", {SeenPath(directory).text}, errors());
    if (identity == Identity::Missing)
        return reportOpenFailure(paths.szDatabase, kCannotOpenDatabase);
    return identity == Identity::Refused ? kRefusedAsRoot : kDone;
}

int run(const Options& options, FileIo& io, ReadAhead readAhead)
{
    IDX_spinInteractive(isatty(STDOUT_FILENO) == 1);
    std::printf("%s", kBanner);
    if (!options.name) {
        std::printf("\n*** Error : can't continue.\nYou must specified the database name\n");
        std::fprintf(errors(), "dbindex: no database name was given\n");
        return kNoName;
    }
    Paths paths;
    if (!buildPaths(options.name, paths)) {
        std::printf("*** Error : database name too long: at most 255 characters, 251 once cut\n");
        std::fprintf(errors(), "dbindex: the database name does not fit: %s\n", options.name);
        return kNameTooLong;
    }
    if (const int status = actAsDatabaseOwner(paths); status != kDone)
        return status;
    return options.check ? checkIndex(io, paths, readAhead) : indexDatabase(io, paths, readAhead);
}

}  // namespace

int runDbindex(int argc, char* argv[], FileIo& io, ReadAhead readAhead)
{
    Options options;
    if (!readOptions(argc, argv, options))
        return finish(kUsageError);
    if (options.help) {
        printDbindexUsage(stdout);
        return finish(kDone);
    }
    if (options.version) {
        std::fputs(kBanner, stdout);
        return finish(kDone);
    }
    if (options.quiet && !holdOutput())
        return finish(kOutputFailed);
    const int status = run(options, io, readAhead);
    if (holdingOutput() && !releaseOutput(status != kDone) && status == kDone)
        return finish(kOutputFailed);
    return finish(status);
}

int dbindexMain(int argc, char* argv[])
{
    // Each line goes out whole before anything that follows it on standard
    // error, so that a cron mail shows them in the order they happened.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    FileIo io;
    const int status = runDbindex(argc, argv, io);
    // Checked to its final close; an error seen before was told already.
    const bool told = std::ferror(stdout);
    if (std::fclose(stdout) != 0 && !told) {
        std::fprintf(stderr, "dbindex: standard output: %s\n", std::strerror(errno));
        return status == kDone ? kOutputFailed : status;
    }
    return status;
}
