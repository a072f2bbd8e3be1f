#include "purge_settings.hpp"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// An optional sign, then digits, in the range of an int: "D=", "D= 7",
// "D=3O" or a directory given to the wrong letter are slips, not limits.
bool wholeNumber(const char* text, int& number)
{
    const char* digits = text + (text[0] == '-' || text[0] == '+');
    if (*digits == '\0')
        return false;
    for (const char* p = digits; *p != '\0'; ++p)
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
    errno = 0;
    const long value = std::strtol(text, nullptr, 10);
    if (errno != 0 || value < INT_MIN || value > INT_MAX)
        return false;
    number = static_cast<int>(value);
    return true;
}

int* limitOf(PurgeSettings& settings, Setting setting)
{
    switch (setting) {
    case Setting::DelDays:
        return &settings.nDelDays;
    case Setting::BullDelete:
        return &settings.nBullDelete;
    case Setting::PrivDelete:
        return &settings.nPrivDelete;
    default:
        return nullptr;
    }
}

char* textOf(PurgeSettings& settings, Setting setting, size_t& size)
{
    size = setting == Setting::DataDirectory ? sizeof settings.szBinPath
                                             : sizeof settings.szMailPath;
    return setting == Setting::DataDirectory ? settings.szBinPath : settings.szMailPath;
}

// A limit below 1 counts as 1.
LettersRead setLetter(Setting setting, const char* word, const char* value,
                      PurgeSettings& settings, std::vector<LetterNote>& notes)
{
    if (int* limit = limitOf(settings, setting)) {
        int number = 0;
        if (!wholeNumber(value, number)) {
            notes.push_back({LetterNote::NotALimit, word});
            return LettersRead::Refused;
        }
        if (number < 1)
            notes.push_back({LetterNote::BelowOne, word});
        *limit = number < 1 ? 1 : number;
        return LettersRead::Run;
    }
    size_t size = 0;
    char* text = textOf(settings, setting, size);
    return copyText(text, size, value) ? LettersRead::Run : LettersRead::PathTooLong;
}

const LetterWord* letterOf(const LetterWords& words, char letter)
{
    for (const LetterWord& word : words.letters)
        if (word.letter == letter)
            return &word;
    return nullptr;
}

}  // namespace

LettersRead readLetterWord(const LetterWords& words, const char* word, PurgeSettings& settings,
                           std::vector<LetterNote>& notes)
{
    for (const LetterWord& letter : words.letters)
        if (const char* value = optionValue(word, letter.letter))
            return setLetter(letter.setting, word, value, settings, notes);
    const bool version = std::toupper(static_cast<unsigned char>(word[0])) == 'V';
    notes.push_back({version ? LetterNote::Version : LetterNote::Ignored, word});
    return LettersRead::Run;
}

void writeMarkSettings(const LetterWords& words, const PurgeSettings& settings, char* text,
                       size_t size)
{
    PurgeSettings values = settings;
    size_t used = 0;
    for (const char* letter = words.inMark; *letter != '\0' && used < size; ++letter) {
        const Setting setting = letterOf(words, *letter)->setting;
        size_t textSize = 0;
        const int* limit = limitOf(values, setting);
        const int written =
            limit ? std::snprintf(text + used, size - used, "%s%c=%d", used ? " " : "", *letter,
                                  *limit)
                  : std::snprintf(text + used, size - used, "%s%c=%s", used ? " " : "", *letter,
                                  textOf(values, setting, textSize));
        used += written < 0 ? size : static_cast<size_t>(written);
    }
}

bool readMarkSettings(const LetterWords& words, const char* text, PurgeSettings& settings)
{
    std::vector<LetterNote> notes;
    for (const char* letter = words.inMark; *letter != '\0'; ++letter) {
        if (letter != words.inMark && *text++ != ' ')
            return false;
        const bool limit = limitOf(settings, letterOf(words, *letter)->setting) != nullptr;
        const size_t length = limit ? std::strcspn(text, " ") : std::strlen(text);
        const std::string word(text, length);
        if (!optionValue(word.c_str(), *letter) ||
            readLetterWord(words, word.c_str(), settings, notes) != LettersRead::Run)
            return false;
        for (const LetterNote& note : notes)
            if (note.kind != LetterNote::BelowOne)
                return false;
        text += length;
    }
    return *text == '\0';
}

const char* optionValue(const char* word, char letter)
{
    if (std::toupper(static_cast<unsigned char>(word[0])) != letter || word[1] != '=')
        return nullptr;
    return word + 2;
}

bool copyText(char* buffer, size_t size, const char* text)
{
    const size_t length = std::strlen(text);
    if (length >= size)
        return false;
    std::memcpy(buffer, text, length + 1);
    return true;
}
