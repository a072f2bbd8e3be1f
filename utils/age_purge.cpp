#include "age_purge.hpp"

#include "numbers.hpp"
#include "record_text.hpp"

#include <cerrno>
#include <cstring>

bool keptByAge(time_t recordDay, time_t now, int nDelDays)
{
    return ageOver(now, recordDay) < limitSeconds(nDelDays);
}

bool AgeRules::keep(const unsigned char* record, time_t now)
{
    now_ = now;
    judged_ = true;
    return keptByAge(program_.recordDay(record, dates_), now, nDelDays_);
}

void AgeRules::holdCutOff()
{
    char date[48];
    if (cutOffHeld_ || !judged_ || !oldestDateKept(now_, nDelDays_, false, date, sizeof date))
        return;
    cutOffHeld_ = true;
    lines_.add(output_.out, "Cut-off: records dated %s or later stay (D=%d)\n", date, nDelDays_);
}

void AgeRules::dropped(const unsigned char* record)
{
    if (!output_.verbose)
        return;
    holdCutOff();
    char line[256];
    program_.describe(record, line, sizeof line);
    char reason[80];
    ageReason(ageOver(now_, program_.recordDay(record, dates_)), "", nDelDays_, false, reason,
              sizeof reason);
    lines_.add(output_.out, "%s  (%s)\n", line, reason);
}

void AgeRules::printSummary(FILE* out, long kept, long dropped)
{
    if (output_.verbose)
        holdCutOff();
    if (!lines_.release(out))
        std::fprintf(output_.err, "%s: the lines of the deleted records were lost: %s\n",
                     output_.program, std::strerror(errno));
    std::fprintf(out, "%s completed : %ld %s left, %ld deleted.\n", program_.name, kept,
                 program_.countedAs, dropped);
}

void AgeRules::writeSettings(char* text, size_t size) const
{
    std::snprintf(text, size, "D=%d", nDelDays_);
}

std::unique_ptr<PurgeRules> AgeRules::fromSettings(const char* text) const
{
    int days = 0;
    if (std::sscanf(text, "D=%d", &days) != 1)
        return nullptr;
    return std::make_unique<AgeRules>(program_, days, silenced(output_));
}
