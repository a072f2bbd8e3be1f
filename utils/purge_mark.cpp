#include "purge_mark.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// The first line names the run for an operator, with every control byte and
// backslash written as \xNN, so that no path can begin a line of its own.
// The settings come last and run to the end of the text, so that a mail
// prefix may hold any byte.
const char kFields[] = "\nformat 3\nbackup ";
const char kEarlierFields[] = "\nformat 2\nbackup ";

size_t escape(const char* text, char* to, size_t size)
{
    size_t used = 0;
    for (const auto* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
        const bool plain = *p >= 0x20 && *p != 0x7f && *p != '\\';
        const int written = plain ? std::snprintf(to + used, size - used, "%c", *p)
                                  : std::snprintf(to + used, size - used, "\\x%02x", *p);
        if (written < 0 || used + static_cast<size_t>(written) >= size)
            return size;
        used += static_cast<size_t>(written);
    }
    return used;
}

bool allZero(const char* text, size_t length)
{
    return std::all_of(text, text + length, [](char c) { return c == '\0'; });
}

// The fields after the first line, from "\nformat"; terminated in place of
// their final line end.
bool readFields(char* fields, bool earlier, PurgeMark& mark)
{
    char word[sizeof kPendingWord] = {};
    int settingsAt = 0;
    int matched = 0;
    if (earlier) {
        matched = std::sscanf(fields, "\nformat 2\nbackup %" SCNu64 "\nkept %" SCNu64
                                      "\ntime %" SCNd64 "\nsettings %n",
                              &mark.backupLength, &mark.keptLength, &mark.judgementTime,
                              &settingsAt);
        matched = matched == 3 ? 4 : 0;
    } else {
        matched = std::sscanf(fields, "\nformat 3\nbackup %" SCNu64 "\nkept %" SCNu64
                                      "\ntime %" SCNd64 "\ntruncation %7[a-z]\nsettings %n",
                              &mark.backupLength, &mark.keptLength, &mark.judgementTime, word,
                              &settingsAt);
    }
    if (matched != 4 || settingsAt == 0)
        return false;
    if (!earlier && std::strcmp(word, kPendingWord) != 0 && std::strcmp(word, kDurableWord) != 0)
        return false;
    mark.truncationDurable = !earlier && std::strcmp(word, kDurableWord) == 0;
    const size_t settingsLength = std::strlen(fields + settingsAt);
    if (settingsLength >= sizeof mark.settings)
        return false;
    std::memcpy(mark.settings, fields + settingsAt, settingsLength + 1);
    return true;
}

}  // namespace

bool formatMark(const PurgeMark& mark, const char* program, const char* data, const char* backup,
                char* text, size_t size, size_t& length, size_t& truncationAt)
{
    char escapedData[kMarkTextSize];
    char escapedBackup[kMarkTextSize];
    if (escape(data, escapedData, sizeof escapedData) >= sizeof escapedData ||
        escape(backup, escapedBackup, sizeof escapedBackup) >= sizeof escapedBackup)
        return false;
    int wordAt = 0;
    const int written = std::snprintf(
        text, size,
        "%s is rewriting %s from %s%s%" PRIu64 "\nkept %" PRIu64 "\ntime %" PRId64
        "\ntruncation %n%s\nsettings %s\n",
        program, escapedData, escapedBackup, kFields, mark.backupLength, mark.keptLength,
        mark.judgementTime, &wordAt, mark.truncationDurable ? kDurableWord : kPendingWord,
        mark.settings);
    if (written < 0 || static_cast<size_t>(written) >= size)
        return false;
    length = static_cast<size_t>(written);
    truncationAt = static_cast<size_t>(wordAt);
    return true;
}

MarkKind parseMark(const char* text, size_t length, PurgeMark& mark)
{
    if (allZero(text, length))
        return MarkKind::Empty;
    const char* end = text + length;
    const char* fields = std::search(text, end, kFields, kFields + sizeof kFields - 1);
    const bool earlier = fields == end;
    if (earlier)
        fields = std::search(text, end, kEarlierFields, kEarlierFields + sizeof kEarlierFields - 1);
    // A mark is written whole, to its final line end: anything short of that
    // is torn.
    if (fields == end || end[-1] != '\n')
        return MarkKind::Unreadable;
    char copy[sizeof mark.settings + 128];
    const size_t fieldLength = static_cast<size_t>(end - fields);
    if (fieldLength >= sizeof copy || std::memchr(fields, '\0', fieldLength) != nullptr)
        return MarkKind::Unreadable;
    std::memcpy(copy, fields, fieldLength);
    copy[fieldLength - 1] = '\0';
    return readFields(copy, earlier, mark) ? MarkKind::Current : MarkKind::Unreadable;
}
