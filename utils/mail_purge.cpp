#include "mail_purge.hpp"

#include "numbers.hpp"
#include "record_text.hpp"
#include "records.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

MailArguments parseMailArguments(int argc, char* argv[], MailSettings& settings,
                                 const CommandLine& line)
{
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (isLongOption(argument))
            continue;
        if (const char* value = optionValue(argument, 'B')) {
            settings.nBullDelete = readDaysNoted(line, argument, value);
        } else if (const char* limit = optionValue(argument, 'P')) {
            settings.nPrivDelete = readDaysNoted(line, argument, limit);
        } else if (const char* directory = optionValue(argument, 'D')) {
            if (!copyText(settings.szBinPath, sizeof settings.szBinPath, directory))
                return MailArguments::PathTooLong;
        } else if (const char* mail = optionValue(argument, 'M')) {
            if (!copyText(settings.szMailPath, sizeof settings.szMailPath, mail))
                return MailArguments::PathTooLong;
        } else if (startsWith(argument, 'V')) {
            std::fputs(line.versionLine, line.out);
        } else {
            noteIgnored(line, argument);
        }
    }
    settings.nBullDelete = atLeastOneDay(settings.nBullDelete);
    settings.nPrivDelete = atLeastOneDay(settings.nPrivDelete);
    const size_t length = std::strlen(settings.szMailPath);
    char example[kPathSize];
    if ((length == 0 || settings.szMailPath[length - 1] != '/') &&
        longestMessagePath(settings.szMailPath) <= kPathSize &&
        buildMessagePath(example, sizeof example, settings.szMailPath, 42))
        std::fprintf(line.err, "%s: M=%s does not end with a slash: it is used as given, so the "
                               "file of message 42 is %s\n",
                     line.program, settings.szMailPath, example);
    return MailArguments::Run;
}

long mailNumber(const unsigned char* record)
{
    return static_cast<int32_t>(loadLE32(record + offsetof(DirMesStruct, dwNumber)));
}

bool mailRecordDropped(const unsigned char* record, const MailSettings& settings, time_t now,
                       DateCache& dates)
{
    const char cStatus = static_cast<char>(record[offsetof(DirMesStruct, cStatus)]);
    bool candidate = cStatus == 'K';
    if (!candidate) {
        const char* szDate = reinterpret_cast<const char*>(record + offsetof(DirMesStruct, szDate));
        const time_t tMsgTime = dates.fromText(szDate);
        const char cType = static_cast<char>(record[offsetof(DirMesStruct, cType)]);
        const int days = cType == 'P' ? settings.nPrivDelete : settings.nBullDelete;
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
    return !mailRecordDropped(record, settings_, now, dates_);
}

void MailRules::dropped(const unsigned char* record)
{
    const long number = mailNumber(record);
    if (out_) {
        lines_.add(out_, "Deleting message #%ld ...\n", number);
        if (verbose_) {
            char line[256];
            describeMail(record, line, sizeof line);
            lines_.add(out_, "%s\n", line);
        }
    }
    const auto message = static_cast<int32_t>(number);
    if (!listed_ || std::binary_search(found_.begin(), found_.end(), message))
        removals_.push_back(message);
}

// The mail prefix's directory part ("." without one); returns the part
// after it, with which the message files' names begin.
const char* MailRules::mailDirectory(char (&directory)[kPathSize]) const
{
    const char* slash = std::strrchr(settings_.szMailPath, '/');
    if (!slash) {
        std::strcpy(directory, ".");
        return settings_.szMailPath;
    }
    std::snprintf(directory, sizeof directory, "%.*s",
                  static_cast<int>(slash - settings_.szMailPath + 1), settings_.szMailPath);
    return slash + 1;
}

// The mail directory is read once, so that a run removes only the message
// files that are there; one that cannot be read leaves a removal to try for
// each dropped record.
void MailRules::prepare(FileIo& io)
{
    char directory[kPathSize];
    const char* stem = mailDirectory(directory);
    found_.clear();
    listed_ = io.listDirectory(directory, [&](const char* name) {
        int32_t number = 0;
        if (messageFileNumber(name, stem, number))
            found_.push_back(number);
    }) == 0;
    std::sort(found_.begin(), found_.end());
}

// The removals come only once the new directory is on disk: a run that fails
// before never leaves a kept record without its message file.  A file that
// is missing already passes without a word; one that cannot be removed is
// named.  A dry run asks whether the mail directory lets them go.
bool MailRules::afterRewrite(FileIo& io, bool dryRun)
{
    char directory[kPathSize];
    mailDirectory(directory);
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
            std::fprintf(stderr, "KELDRAN: cannot remove %s: %s\n", szMsg,
                         std::strerror(dryRun ? directoryError : errno));
        }
    }
    return all;
}

void MailRules::printSummary(FILE* out, long, long)
{
    if (!lines_.release(out))
        std::fprintf(stderr, "KELDRAN: the lines of the deleted messages were lost: %s\n",
                     std::strerror(errno));
    std::fputs("KELDRAN completed.\n", out);
}

// The mail prefix comes last, so that it may hold any character.
void MailRules::writeSettings(char* text, size_t size) const
{
    std::snprintf(text, size, "B=%d P=%d M=%s", settings_.nBullDelete, settings_.nPrivDelete,
                  settings_.szMailPath);
}

std::unique_ptr<PurgeRules> MailRules::fromSettings(const char* text) const
{
    MailSettings settings;
    int prefixAt = 0;
    if (std::sscanf(text, "B=%d P=%d M=%n", &settings.nBullDelete, &settings.nPrivDelete,
                    &prefixAt) != 2 ||
        prefixAt == 0 || !copyText(settings.szMailPath, sizeof settings.szMailPath, text + prefixAt))
        return nullptr;
    return std::make_unique<MailRules>(settings, nullptr, false);
}
