// KELDRAN: purges the mail directory dirmes.bin and removes the message
// files of the mail it drops.
#include "mail_purge.hpp"
#include "purge_args.hpp"
#include "records.hpp"

#include <cstdio>
#include <cstring>

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
constexpr char kVersionLine[] = "KELDRAN v 1.1\n";

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
        "                  /var/mail/m0000042.msg for message 42; a mail directory\n"
        "                  that does not exist is named, and the purge goes on\n"
        "  V               prints the version line; the purge still runs\n",
        out);
    printPurgeUsageTail(
        out, kKeldran,
        " 13  the purge is complete, but some message files could not be removed\n"
        " 14  run as root, the directory of dirmes.bin or the mail directory can be\n"
        "     written by its group or by others, or the mail directory belongs to\n"
        "     another user; nothing was touched\n");
}

int purge(int argc, char* argv[], const PurgeOptions& options, FILE* out)
{
    MailSettings settings;
    PurgePaths paths;
    const CommandLine line = {kKeldran.name, kVersionLine, out, stderr};
    const LetterOptions read = parseMailArguments(argc, argv, settings, line);
    if (read == LetterOptions::Refused)
        return kUsageError;
    if (read == LetterOptions::PathTooLong ||
        !buildPurgePaths(settings.szBinPath, kKeldran.dataFileName, paths) ||
        longestMessagePath(settings.szMailPath) > kPathSize) {
        std::fprintf(stderr, "%s: path too long: D= takes at most 1023 characters, "
                             "M= and every path built from them at most 255\n",
                     kKeldran.name);
        return kPathTooLong;
    }
    char directory[kPathSize];
    mailDirectory(settings.szMailPath, directory);
    MailRules rules(settings, rulesOutput(kKeldran, options, out));
    return runEngine(kKeldran, paths, directory, rules, options, out);
}

}  // namespace

int main(int argc, char* argv[])
{
    return runPurgeProgram(kKeldran, kVersionLine, argc, argv, printUsage,
                           [&](const PurgeOptions& options, FILE* out) {
                               return purge(argc, argv, options, out);
                           });
}
