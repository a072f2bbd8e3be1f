#include "purge_mark.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {
// The first line names the run for an operator; the parser looks for the
// fields after it, so that no path in that line can be taken for a field.
// The settings come last and run to the end of the text, so that a mail
// prefix may hold any byte.
const char kFields[] = "\nformat 2\nbackup ";
}  // namespace

bool formatMark(const PurgeMark& mark, const char* program, const char* data, const char* backup,
                char* text, size_t size, size_t& length)
{
    const int written = std::snprintf(
        text, size, "%s is rewriting %s from %s%s%" PRIu64 "\nkept %" PRIu64 "\ntime %" PRId64
                    "\nsettings %s\n",
        program, data, backup, kFields, mark.backupLength, mark.keptLength, mark.judgementTime,
        mark.settings);
    if (written < 0 || static_cast<size_t>(written) >= size)
        return false;
    length = static_cast<size_t>(written);
    return true;
}

MarkKind parseMark(const char* text, size_t length, const char* program, PurgeMark& mark)
{
    if (length == 0)
        return MarkKind::Empty;
    const char* end = text + length;
    const char* fields = std::search(text, end, kFields, kFields + sizeof kFields - 1);
    if (fields == end) {
        const size_t name = std::strlen(program);
        const bool earlier = length > name && std::memcmp(text, program, name) == 0 &&
                             std::strncmp(text + name, " is rewriting ", 14) == 0;
        return earlier ? MarkKind::EarlierVersion : MarkKind::Unreadable;
    }
    // The text ends at its length: copy the fields into a terminated buffer.
    char copy[sizeof mark.settings + 128];
    const size_t fieldLength = static_cast<size_t>(end - fields);
    if (fieldLength >= sizeof copy || end[-1] != '\n')
        return MarkKind::Unreadable;
    std::memcpy(copy, fields, fieldLength);
    copy[fieldLength - 1] = '\0';  // the final line end
    int settingsAt = 0;
    if (std::sscanf(copy, "\nformat 2\nbackup %" SCNu64 "\nkept %" SCNu64 "\ntime %" SCNd64
                          "\nsettings %n",
                    &mark.backupLength, &mark.keptLength, &mark.judgementTime, &settingsAt) != 3 ||
        settingsAt == 0 || mark.keptLength > mark.backupLength)
        return MarkKind::Unreadable;
    const size_t settingsLength = fieldLength - 1 - static_cast<size_t>(settingsAt);
    if (settingsLength >= sizeof mark.settings)
        return MarkKind::Unreadable;
    std::memcpy(mark.settings, copy + settingsAt, settingsLength + 1);
    return MarkKind::Current;
}
