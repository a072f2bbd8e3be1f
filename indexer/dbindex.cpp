// dbindex: builds the .idx index of a .ful text database in one pass.
#include "console.hpp"
#include "index_builder.hpp"
#include "index_check.hpp"
#include "index_file.hpp"
#include "line_stream.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
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
    kUsageError = 9,
};

const char kBanner[] = "Halvik's Kavex DataBase indexation utility v2.0\n";

const char kSynopsis[] =
    "usage: dbindex [--quiet] NAME\n"
    "       dbindex [--quiet] --check NAME\n"
    "       dbindex --help | --version\n";

const char kUsage[] =
    "\n"
    "Builds NAME.idx, the index of the text database NAME.ful, in one pass.\n"
    "The new index is written to NAME.idx.tmp and renamed over NAME.idx once it\n"
    "is whole and on disk: a reader never sees it half-written.\n"
    "NAME is cut at its first full stop and folded to lower case, directory\n"
    "parts included: Base.FUL and base both index base.ful into base.idx.\n"
    "With --check, builds the index in memory and compares it with NAME.idx,\n"
    "writing nothing; where they differ it names the first record that does.\n"
    "With --quiet, nothing goes to standard output unless the run fails; then\n"
    "all of it does.  Each error is told on standard output, as \"*** Error : \",\n"
    "and on standard error with the path as the system saw it.\n"
    "\n"
    "Exit status:\n"
    "  0  the index was written\n"
    "  1  no database name was given\n"
    "  2  the .ful file cannot be opened for reading\n"
    "  3  the .idx file cannot be opened for writing\n"
    "  4  the name does not fit: more than 255 characters, or more than 251\n"
    "     once cut at its first full stop; no file is opened\n"
    "  5  the .ful file could not be read to its end; the index on disk is left\n"
    "     as it was\n"
    "  6  the .idx file could not be written or closed (the index on disk is left\n"
    "     as it was), or with --check could not be read\n"
    "  7  standard output could not be written\n"
    "  8  with --check: the index differs from the database\n"
    "  9  an option that begins with -- is unknown; no file is opened\n";

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

// With --quiet, standard output waits in a file of its own: a run that
// succeeds shows nothing, one that fails shows all of it, as without.
class HeldOutput {
public:
    bool hold()
    {
        std::fflush(stdout);
        file_ = std::tmpfile();
        saved_ = file_ ? dup(STDOUT_FILENO) : -1;
        if (saved_ < 0 || dup2(fileno(file_), STDOUT_FILENO) < 0) {
            std::fprintf(stderr, "dbindex: --quiet: %s\n", std::strerror(errno));
            return false;
        }
        return true;
    }

    bool holding() const { return saved_ >= 0; }

    // Puts standard output back, with what it held when show.
    bool release(bool show)
    {
        bool ok = std::fflush(stdout) == 0 && !std::ferror(stdout) &&
                  dup2(saved_, STDOUT_FILENO) >= 0 && close(saved_) == 0 &&
                  std::fseek(file_, 0, SEEK_SET) == 0;
        char block[4096];
        for (size_t got; ok && show && (got = std::fread(block, 1, sizeof block, file_)) > 0;)
            ok = std::fwrite(block, 1, got, stdout) == got;
        ok = std::fclose(file_) == 0 && ok;
        saved_ = -1;
        return ok;
    }

private:
    FILE* file_ = nullptr;
    int saved_ = -1;
};

// The output held with --quiet, shown before the first error goes to
// standard error, so that the two come in the order they happened.
HeldOutput gHeld;

// The error's line on standard error: the path as the system saw it, from
// the working directory.
void showHeldOutput()
{
    if (gHeld.holding())
        gHeld.release(true);
}

void tellError(const char* verb, const char* path, int error)
{
    showHeldOutput();
    char directory[4096];
    const bool relative = path[0] != '/' && getcwd(directory, sizeof directory);
    std::fprintf(stderr, "dbindex: %s %s%s%s: %s\n", verb, relative ? directory : "",
                 relative ? "/" : "", path, std::strerror(error));
}

int reportOpenFailure(char* path, int status)
{
    const int error = errno;
    char shown[kPathSize];
    std::strcpy(shown, path);
    std::printf("*** Error : Enable to open %s\n", STR_upper(shown));
    tellError("cannot open", path, error);
    return status;
}

int reportIoFailure(const char* verb, char* path, int error, int status, const char* after = "")
{
    char shown[kPathSize];
    std::strcpy(shown, path);
    std::printf("\n*** Error : can't %s %s: %s%s\n", verb, STR_upper(shown), std::strerror(error),
                after);
    char tried[64];
    std::snprintf(tried, sizeof tried, "cannot %s", verb);
    tellError(tried, path, error);
    return status;
}

// What a failure leaves: a new index is put in place only when it is whole.
const char* leftAsItWas(const IndexFile& index)
{
    return index.replacesWhole() ? "; the index on disk is left as it was" : "";
}

// 0, or the error of a failed close.
int closeError(int fd) { return close(fd) == 0 ? 0 : errno; }

// The failure to read the database to its end or to close it, or kDone.
int databaseFailure(Paths& paths, const LineStream& database, int closeError,
                    const char* after = "")
{
    if (database.failed())
        return reportIoFailure("read", paths.szDatabase, database.error(), kReadFailed, after);
    if (closeError != 0)
        return reportIoFailure("close", paths.szDatabase, closeError, kReadFailed, after);
    return kDone;
}

// Opens the database; the index is never touched when that fails.
int openDatabase(Paths& paths, int& ful)
{
    ful = open(paths.szDatabase, O_RDONLY);
    return ful < 0 ? reportOpenFailure(paths.szDatabase, kCannotOpenDatabase) : kDone;
}

int indexNotOpened(Paths& paths, int ful)
{
    close(ful);
    return reportOpenFailure(paths.szIndex, kCannotOpenIndex);
}

void announce(const char* work, const Paths& paths)
{
    char szShownIndex[kPathSize];
    std::strcpy(szShownIndex, paths.szIndex);
    std::printf("\n%s database index file %s ... ", work, STR_upper(szShownIndex));
    std::fflush(stdout);
}

int indexDatabase(Paths& paths)
{
    int ful = -1;
    if (const int status = openDatabase(paths, ful); status != kDone)
        return status;
    // A first index shows no more than its database does.
    struct stat databaseStatus;
    IndexFile index;
    const int idx =
        index.open(paths.szIndex, fstat(ful, &databaseStatus) == 0 ? databaseStatus.st_mode : 0600);
    if (idx < 0)
        return indexNotOpened(paths, ful);
    announce("Creating", paths);

    const int column = CON_column();
    const int row = CON_row();
    FdSource source(ful);
    LineStream database(source, LineStream::kDefaultBlock, ReadAhead::On);
    IndexWriter writer(idx);
    IDX_build(database, writer, column, row);
    writer.flush();
    const int databaseCloseError = closeError(ful);

    if (const int status = databaseFailure(paths, database, databaseCloseError, leftAsItWas(index));
        status != kDone) {
        index.abandon();
        return status;
    }
    if (writer.failed()) {
        index.abandon();
        return reportIoFailure("write", paths.szIndex, writer.error(), kWriteFailed,
                               leftAsItWas(index));
    }
    if (!index.commit()) {
        if (index.placed())
            return reportIoFailure("sync the directory of", paths.szIndex, errno, kWriteFailed,
                                   "; the new index is in place, but a crash may undo that");
        return reportIoFailure("write", paths.szIndex, errno, kWriteFailed, leftAsItWas(index));
    }
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
    showHeldOutput();
    std::fprintf(stderr, "dbindex: %s does not agree with %s\n", paths.szIndex, paths.szDatabase);
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
int checkIndex(Paths& paths)
{
    int ful = -1;
    if (const int status = openDatabase(paths, ful); status != kDone)
        return status;
    const int idx = open(paths.szIndex, O_RDONLY);
    if (idx < 0)
        return indexNotOpened(paths, ful);
    announce("Checking", paths);

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
            std::fprintf(stderr, "dbindex: unknown option %s: no file was opened\n%s", argument,
                         kSynopsis);
            return false;
        }
        if (options.name)
            std::fprintf(stderr, "dbindex: argument '%s' ignored\n", argument);
        else
            options.name = argument;
    }
    return true;
}

int run(const Options& options)
{
    IDX_spinInteractive(isatty(STDOUT_FILENO) == 1);
    std::printf("%s", kBanner);
    if (!options.name) {
        std::printf("\n*** Error : can't continue.\nYou must specified the database name\n");
        showHeldOutput();
        std::fprintf(stderr, "dbindex: no database name was given\n");
        return kNoName;
    }
    Paths paths;
    if (!buildPaths(options.name, paths)) {
        std::printf("*** Error : database name too long: at most 255 characters, 251 once cut\n");
        showHeldOutput();
        std::fprintf(stderr, "dbindex: the database name does not fit: %s\n", options.name);
        return kNameTooLong;
    }
    return options.check ? checkIndex(paths) : indexDatabase(paths);
}

}  // namespace

int main(int argc, char* argv[])
{
    // Each line goes out whole before anything that follows it on standard
    // error, so that a cron mail shows them in the order they happened.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    Options options;
    if (!readOptions(argc, argv, options))
        return finish(kUsageError);
    if (options.help) {
        std::fputs(kSynopsis, stdout);
        std::fputs(kUsage, stdout);
        return finish(kDone);
    }
    if (options.version) {
        std::fputs(kBanner, stdout);
        return finish(kDone);
    }
    if (options.quiet && !gHeld.hold())
        return finish(kOutputFailed);
    const int status = run(options);
    if (gHeld.holding() && !gHeld.release(status != kDone) && status == kDone)
        return finish(kOutputFailed);
    return finish(status);
}
