#include "mail_purge.hpp"

#include "numbers.hpp"
#include "record_text.hpp"
#include "records.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

long mailNumber(const unsigned char* record)
{
    return static_cast<int32_t>(loadLE32(record + offsetof(DirMesStruct, dwNumber)));
}

namespace {

bool hasStatusK(const unsigned char* record)
{
    return static_cast<char>(record[offsetof(DirMesStruct, cStatus)]) == 'K';
}

bool isPrivate(const unsigned char* record)
{
    return static_cast<char>(record[offsetof(DirMesStruct, cType)]) == 'P';
}

time_t messageDay(const unsigned char* record, DateCache& dates)
{
    return dates.fromText(reinterpret_cast<const char*>(record + offsetof(DirMesStruct, szDate)));
}

}  // namespace

bool mailRecordDropped(const unsigned char* record, const PurgeSettings& settings, time_t now,
                       DateCache& dates)
{
    bool candidate = hasStatusK(record);
    if (!candidate) {
        const time_t tMsgTime = messageDay(record, dates);
        const int days = isPrivate(record) ? settings.nPrivDelete : settings.nBullDelete;
        candidate = ageOver(now, tMsgTime) > limitSeconds(days);
    }
    return candidate && record[offsetof(DirMesStruct, byNoAutoDelete)] == 0;
}

bool buildMessagePath(char* buffer, size_t size, const char* mailPath, long number)
{
    const int built = std::snprintf(buffer, size, "%sm%07ld.msg", mailPath, number);
    return built >= 0 && static_cast<size_t>(built) < size;
}

bool messageFileNumber(const char* name, const char* stem, int32_t& number)
{
    const size_t stemLength = std::strlen(stem);
    if (std::strncmp(name, stem, stemLength) != 0 || name[stemLength] != 'm')
        return false;
    const char* digits = name + stemLength + 1;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(digits, &end, 10);
    if (end == digits || std::strcmp(end, ".msg") != 0 || errno != 0 || value < INT32_MIN ||
        value > INT32_MAX)
        return false;
    // Only the form the node gives the name: "m42.msg" is not message 42's.
    char canonical[32];
    std::snprintf(canonical, sizeof canonical, "%07ld.msg", value);
    if (std::strcmp(canonical, digits) != 0)
        return false;
    number = static_cast<int32_t>(value);
    return true;
}

size_t longestMessagePath(const char* mailPath)
{
    return std::strlen(mailPath) + std::strlen("m-2147483648.msg") + 1;
}

bool MailRules::keep(const unsigned char* record, time_t now)
{
    now_ = now;
    judged_ = true;
    return !mailRecordDropped(record, settings_, now, dates_);
}

void MailRules::holdCutOff()
{
    char privateDate[48];
    char otherDate[48];
    if (cutOffHeld_ || !judged_ ||
        !oldestDateKept(now_, settings_.nPrivDelete, true, privateDate, sizeof privateDate) ||
        !oldestDateKept(now_, settings_.nBullDelete, true, otherDate, sizeof otherDate))
        return;
    cutOffHeld_ = true;
    lines_.add(output_.out,
               "Cut-off: private mail dated %s or later stays (P=%d), other mail dated %s or "
               "later (B=%d)\n",
               privateDate, settings_.nPrivDelete, otherDate, settings_.nBullDelete);
}

// Status K goes whatever the date, which is then not read.
void MailRules::holdReason(const unsigned char* record)
{
    char line[256];
    describeMail(record, line, sizeof line);
    char reason[80] = "status K";
    if (!hasStatusK(record)) {
        const bool privateMail = isPrivate(record);
        ageReason(ageOver(now_, messageDay(record, dates_)), privateMail ? "P=" : "B=",
                  privateMail ? settings_.nPrivDelete : settings_.nBullDelete, true, reason,
                  sizeof reason);
    }
    lines_.add(output_.out, "%s  (%s)\n", line, reason);
}

void MailRules::dropped(const unsigned char* record)
{
    const long number = mailNumber(record);
    if (!output_.quiet) {
        if (output_.verbose)
            holdCutOff();
        lines_.add(output_.out, "Deleting message #%ld ...\n", number);
        if (output_.verbose)
            holdReason(record);
    }
    const auto message = static_cast<int32_t>(number);
    if (!listed_ || std::binary_search(found_.begin(), found_.end(), message))
        removals_.push_back(message);
}

const char* mailDirectory(const char* mailPath, char (&directory)[kPathSize])
{
    const char* slash = std::strrchr(mailPath, '/');
    if (!slash) {
        std::strcpy(directory, ".");
        return mailPath;
    }
    std::snprintf(directory, sizeof directory, "%.*s", static_cast<int>(slash - mailPath + 1),
                  mailPath);
    return slash + 1;
}

// The mail directory is read once, so that a run removes only the message
// files that are there; one that cannot be read leaves a removal to try for
// each dropped record.
void MailRules::prepare(FileIo& io)
{
    char directory[kPathSize];
    const char* stem = mailDirectory(settings_.szMailPath, directory);
    found_.clear();
    listed_ = io.listDirectory(directory, [&](const char* name) {
        int32_t number = 0;
        if (messageFileNumber(name, stem, number))
            found_.push_back(number);
    }) == 0;
    missing_ = !listed_ && errno == ENOENT;
    std::sort(found_.begin(), found_.end());
}

// The removals come only once the new directory is on disk: a run that fails
// before never leaves a kept record without its message file.  A file that
// is missing already passes without a word; one that cannot be removed is
// named.  A dry run asks whether the mail directory lets them go.  A mail
// directory that does not exist holds no file to remove, in a dry run as in
// a real one: it is named once.
bool MailRules::afterRewrite(FileIo& io, bool dryRun)
{
    char directory[kPathSize];
    mailDirectory(settings_.szMailPath, directory);
    if (missing_) {
        std::fprintf(output_.err,
                     "%s: the mail directory %s does not exist: no message file to remove\n",
                     output_.program, directory);
        return true;
    }
    const bool removable = !dryRun || io.access(directory, W_OK | X_OK) == 0;
    const int directoryError = errno;
    bool all = true;
    char szMsg[kPathSize];
    for (int32_t number : removals_) {
        if (!buildMessagePath(szMsg, sizeof szMsg, settings_.szMailPath, number))
            continue;
        const bool gone = dryRun ? removable : io.unlink(szMsg) == 0 || errno == ENOENT;
        if (!gone) {
            all = false;
            std::fprintf(output_.err, "%s: cannot remove %s: %s\n", output_.program, szMsg,
                         std::strerror(dryRun ? directoryError : errno));
        }
    }
    return all;
}

// A removal is durable once the directory's entries are: a power cut must
// not bring back the file of dropped mail once the mark is gone.
bool MailRules::syncRemovals(FileIo& io)
{
    if (missing_ || removals_.empty())
        return true;
    char directory[kPathSize];
    mailDirectory(settings_.szMailPath, directory);
    return syncDirectory(io, directory);
}

void MailRules::printSummary(FILE* out, long, long)
{
    if (output_.verbose)
        holdCutOff();
    if (!lines_.release(out))
        std::fprintf(output_.err, "%s: the lines of the deleted messages were lost: %s\n",
                     output_.program, std::strerror(errno));
    std::fprintf(out, "%s completed.\n", output_.program);
}

void MailRules::writeSettings(char* text, size_t size) const
{
    writeMarkSettings(kMailPurge.words, settings_, text, size);
}

std::unique_ptr<PurgeRules> MailRules::fromSettings(const char* text) const
{
    PurgeSettings settings;
    if (!readMarkSettings(kMailPurge.words, text, settings))
        return nullptr;
    return std::make_unique<MailRules>(settings, silenced(output_));
}

// --- the kind ----------------------------------------------------------------

namespace {

const OptionText kOptions[] = {
    {"B=days",
     "limit for every message that is not private (default 30)",
     "The limit for every message that is not private (default 30; below 1\n"
     "counts as 1).\n"},
    {"P=days",
     "limit for private messages, type P (default 30)",
     "The limit for private messages (default 30; below 1 counts as 1).\n"},
    {"D=directory",
     "directory of dirmes.bin (default ../system/bin/)",
     "The directory of\n"
     ".B dirmes.bin\n"
     "(default\n"
     ".BR ../system/bin/ ).\n"
     "A closing slash is optional.\n"},
    {"M=mail-prefix",
     "prefix of the message files, used as given, so it ends\n"
     "with a slash (default ../mail/): M=/var/mail/ removes\n"
     "/var/mail/m0000042.msg for message 42; a mail directory\n"
     "that does not exist is named, and the purge goes on",
     "The prefix of the message files, used exactly as given (default\n"
     ".BR ../mail/ ),\n"
     "so it ends with a slash:\n"
     ".B M=/var/mail\n"
     "would remove\n"
     ".B /var/mailm0000042.msg\n"
     "for message 42.\n"
     "A mail directory that does not exist is named once on standard error, in\n"
     "a dry run as in a real one, and its message files pass as missing ones do.\n"
     "Started by root,\n"
     ".B @NAME@\n"
     "also refuses, with status 14, a mail directory that belongs to another\n"
     "user than the directory of\n"
     ".BR dirmes.bin ,\n"
     "or that its group or others can write.\n"},
    {"V",
     "prints the version line; the purge still runs",
     "Prints the version line; the purge still runs.\n"},
};

constexpr StatusMeaning kStatuses[] = {
    {kMessageFilesRemain, "the purge is complete, but some message files could not be removed"},
    {kRefusedAsRoot,
     "run as root, the directory of dirmes.bin or the mail directory can be\n"
     "written by its group or by others, or the mail directory belongs to\n"
     "another user; nothing was touched"},
};

bool pathsFit(const PurgeSettings& settings)
{
    return longestMessagePath(settings.szMailPath) <= kPathSize;
}

// A mail prefix is used as given: one without its closing slash is named,
// with the file it gives.
void noteMailPrefix(const char* program, const PurgeSettings& settings, FILE* err)
{
    const size_t length = std::strlen(settings.szMailPath);
    char example[kPathSize];
    if ((length == 0 || settings.szMailPath[length - 1] != '/') && pathsFit(settings) &&
        buildMessagePath(example, sizeof example, settings.szMailPath, 42))
        std::fprintf(err, "%s: M=%s does not end with a slash: it is used as given, so the file of "
                          "message 42 is %s\n", program, settings.szMailPath, example);
}

Identity actAsMailOwner(const char* program, const char* dataDirectory,
                        const PurgeSettings& settings, FILE* err)
{
    char directory[kPathSize];
    mailDirectory(settings.szMailPath, directory);
    return actAsOwner(program, {dataDirectory, directory}, err);
}

std::unique_ptr<PurgeRules> makeRules(const PurgeProgram&, const PurgeSettings& settings,
                                      const RulesOutput& output)
{
    return std::make_unique<MailRules>(settings, output);
}

constexpr LetterWord kLetters[] = {{'B', Setting::BullDelete},
                                   {'P', Setting::PrivDelete},
                                   {'D', Setting::DataDirectory},
                                   {'M', Setting::MailPrefix}};

}  // namespace

// The mail prefix comes last in the mark, so that it may hold any character.
const PurgeKind kMailPurge = {
    .words = {kLetters, "BPM"},
    .usageIntro = "\n"
                  "Purges the mail directory dirmes.bin: drops the messages of status K and the\n"
                  "messages older than their limit, unless marked never to be deleted\n"
                  "automatically, and removes the message file of each message it drops.\n"
                  "A message is dropped once more than the limit times 86400 seconds have passed\n"
                  "since 00:00 local standard time of its date; a limit below 1 counts as 1.\n"
                  "\n",
    .options = {kOptions, 18},
    .pathTooLong = "D= takes at most 1023 characters, M= and every path built from them at most 255",
    .statuses = kStatuses,
    .pathsFit = pathsFit,
    .noteSettings = noteMailPrefix,
    .actAsOwner = actAsMailOwner,
    .openFailureNames = {"fDirMes 1", "fDirOld", "fDirMes 2", nullptr},
    .makeRules = makeRules,
    .checkBeside = checkMessageFiles,
    .pageTemplate = "mail-purge.8.in",
    .pageAfterRewrite = ", and the message files of the dropped mail are removed",
    .pageMarkSettings = " and the mail prefix, so that the message files of the dropped mail are "
                        "removed then",
    .pageCronOptions = " --quiet B=30 P=14",
    .pageCheckedToo = " and the mail directory",
    .pageCheckFaults = "; message files that no record names (no purge ever removes them), and "
                       "records whose message file is missing",
};
