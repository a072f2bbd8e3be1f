#include "purge_args.hpp"

#include "numbers.hpp"
#include "purge_engine.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

bool startsWith(const char* argument, char letter)
{
    return std::toupper(static_cast<unsigned char>(argument[0])) == letter;
}

const char* optionValue(const char* argument, char letter)
{
    if (!startsWith(argument, letter) || argument[1] != '=')
        return nullptr;
    return argument + 2;
}

int readDays(const char* text) { return readInteger(text); }

int atLeastOneDay(int days) { return days < 1 ? 1 : days; }

bool copyText(char* buffer, size_t size, const char* text)
{
    const size_t length = std::strlen(text);
    if (length >= size)
        return false;
    std::memcpy(buffer, text, length + 1);
    return true;
}

bool hasArgument(int argc, char* argv[], const char* exact)
{
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], exact) == 0)
            return true;
    return false;
}

void printPurgeUsageTail(FILE* out, const char* dataFileName, const char* backupFileName)
{
    char stem[64];
    std::snprintf(stem, sizeof stem, "%.*s", static_cast<int>(std::strlen(dataFileName) - 4),
                  dataFileName);
    std::fprintf(out,
                 "\n"
                 "Files:\n"
                 "  %-16s the data file, rewritten in place\n"
                 "  %-16s the backup, made durable before the data file is emptied\n"
                 "  %s%-*s the mark of a rewrite under way\n"
                 "A run stopped midway leaves the mark; the next run restores the data file\n"
                 "from the backup, says so, and then purges as usual.  SIGINT, SIGTERM and\n"
                 "SIGHUP are held off while the data file is rewritten.\n"
                 "\n"
                 "Exit status:\n"
                 "  0  the purge is complete\n"
                 "  1  the data file cannot be opened for reading; nothing was changed\n"
                 "  2  the backup cannot be created, or opened again for reading; the data\n"
                 "     file is unchanged\n"
                 "  3  the data file cannot be opened for writing; it is unchanged\n"
                 "  4  a directory, or a path built from it, is too long; nothing was touched\n"
                 "  5  a read, write or sync failed before the data file was emptied; it is\n"
                 "     unchanged\n"
                 "  6  a step failed after the data file was emptied; it was restored from\n"
                 "     the backup\n"
                 "  7  a step failed after the data file was emptied and it could not be\n"
                 "     restored, or the mark could not be removed: the mark stays, and the\n"
                 "     next run restores the data file from the backup first\n"
                 "  8  the mark of an interrupted run was found, and restoring the data file\n"
                 "     from the backup failed; nothing else was done\n"
                 "  9  standard output could not be written\n",
                 dataFileName, backupFileName, stem,
                 static_cast<int>(16 - std::strlen(stem)), kMarkSuffix);
}

int finishOutput(const char* program, int status)
{
    if (std::fflush(stdout) != 0 || std::ferror(stdout) || std::fclose(stdout) != 0) {
        std::fprintf(stderr, "%s -> standard output: %s\n", program, std::strerror(errno));
        if (status == kPurged)
            return kOutputFailed;
    }
    return status;
}
