// KELDRAN: purges the mail directory dirmes.bin and removes the message
// files of the mail it drops.
#include "mail_purge.hpp"
#include "purge_args.hpp"
#include "records.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const PurgeProgram kKeldran = {
    "KELDRAN",
    "dirmes.bin",
    "dirmes.old",
    sizeof(DirMesStruct),
    "KELDRAN -> fopen in MAIN (fDirMes 1)",
    "KELDRAN -> fopen in MAIN (fDirOld)",
    "KELDRAN -> fopen in MAIN (fDirMes 2)",
    nullptr,
};

void printUsage(FILE* out, bool whole)
{
    std::fputs("usage: KELDRAN [B=days] [P=days] [D=directory] [M=mail-prefix] [V] [--dry-run]\n"
               "               [--quiet] [--verbose] [--lease-wait=SECONDS] [--without-lease]\n"
               "               [--lock-wait=SECONDS]\n"
               "       KELDRAN --help | --version\n",
               out);
    if (!whole)
        return;
    std::fputs(
        "\n"
        "Purges the mail directory dirmes.bin: drops the messages of status K and the\n"
        "messages older than their limit, unless marked never to be deleted\n"
        "automatically, and removes the message file of each message it drops.\n"
        "A message is dropped once more than the limit times 86400 seconds have passed\n"
        "since 00:00 local standard time of its date; a limit below 1 counts as 1.\n"
        "\n"
        "  B=days          limit for every message that is not private (default 30)\n"
        "  P=days          limit for private messages, type P (default 30)\n"
        "  D=directory     directory of dirmes.bin (default ../system/bin/)\n"
        "  M=mail-prefix   prefix of the message files, used as given, so it ends\n"
        "                  with a slash (default ../mail/): M=/var/mail/ removes\n"
        "                  /var/mail/m0000042.msg for message 42\n"
        "  V               prints the version line; the purge still runs\n",
        out);
    printPurgeUsageTail(out, kKeldran.dataFileName, kKeldran.backupFileName);
}

time_t currentTime() { return time(nullptr); }

int purge(int argc, char* argv[], const PurgeOptions& options, FILE* out)
{
    MailSettings settings;
    PurgePaths paths;
    const CommandLine line = {"KELDRAN", "KELDRAN v 1.1\n", out, stderr};
    if (parseMailArguments(argc, argv, settings, line) != MailArguments::Run ||
        !buildPurgePaths(settings.szBinPath, kKeldran.dataFileName, paths) ||
        longestMessagePath(settings.szMailPath) > kPathSize) {
        std::fprintf(stderr, "KELDRAN: path too long: D= takes at most 1023 characters, "
                             "M= and every path built from them at most 255\n");
        return kPathTooLong;
    }
    FileIo io;
    MailRules rules(settings, options.quiet ? nullptr : out, options.verbose);
    const PurgeContext context = {io, out, stderr, currentTime, options.dryRun, options.waits};
    return runPurge(kKeldran, paths, rules, context);
}

}  // namespace

int main(int argc, char* argv[])
{
    return runPurgeProgram("KELDRAN", "KELDRAN v 1.1\n", argc, argv, printUsage,
                           [&](const PurgeOptions& options, FILE* out) {
                               return purge(argc, argv, options, out);
                           });
}
